#pragma once
// Memory for the large arrays built at load time (triangles, hierarchy nodes, textures).

#include <cstddef>

// Returns uninitialised memory for `bytes` bytes, aligned to at least 64 bytes and
// released with std::free, or null when memory runs out. Requests of 4 MB and more are aligned to 2 MB and marked for the
// kernel's transparent huge pages, so that first touching them costs one page fault per
// 2 MB instead of one per 4 KB: on the virtual machines the program runs on, a fault
// costs about 10 us and the scene's loading touches some 150 MB. Any thread.
void* vyxAllocLarge(size_t bytes);

// The same, zero-filled, for count elements of size bytes each (null on overflow).
void* vyxAllocLargeZeroed(size_t count, size_t size);
