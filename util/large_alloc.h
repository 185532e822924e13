#pragma once
// Memory for the large arrays built at load time (triangles, hierarchy nodes, textures).

#include <cstddef>
#include <cstdint>

// Returns uninitialised memory for `bytes` bytes, aligned to at least 64 bytes and
// released with std::free, or null when memory runs out. Requests of 4 MB and more are aligned to 2 MB and marked for
// the kernel's transparent huge pages, so that first touching them costs one page fault per 2 MB instead of one per 4
// KB: on the virtual machines the program runs on, a fault costs about 10 us and the scene's loading touches some 150
// MB. Any thread.
void* vyxAllocLarge(size_t bytes);

// The same, zero-filled, for count elements of size bytes each (null on overflow).
void* vyxAllocLargeZeroed(size_t count, size_t size);

// Hands the whole pages inside [begin, end) back to the system (MADV_DONTNEED): private
// memory there reads as zeros if touched again, a private file mapping as the file. Any
// thread.
void vyxReleaseWholePages(const void* begin, const void* end);

// For tests of what the program does when memory runs out: the large allocation `after`
// allocations from now (0: the next) returns null, once; a negative value cancels it.
// vyxLargeAllocationFailurePending tells whether it is still to come. Any thread.
void vyxFailLargeAllocation(int64_t after);
bool vyxLargeAllocationFailurePending();

// Makes the C library keep freed blocks of up to 32 MB in its heap for the next request
// instead of handing each back to the kernel: a frame, the smoothing copy and the
// hierarchy build's scratch arrays are then reused without their pages being faulted in
// afresh (some 900 faults of ~10 us each per 640 x 480 frame). All threads share one
// heap, so that memory one thread frees serves the next request whichever thread makes
// it (the pool's threads take turns at loading and rendering). Call once at start-up,
// before any thread starts; it changes the whole process's allocator.
void vyxKeepFreedMemory();

// The machine's physical memory in bytes (8 GiB when the system does not say). Any thread.
uint64_t vyxPhysicalMemoryBytes();
