#include "util/large_alloc.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

static const size_t kHugePage = size_t{2} << 20;
static const size_t kHugeFrom = 2 * kHugePage;

// Large allocations left before the one made to fail; negative: none is.
static std::atomic<int64_t> allocationsBeforeFailure{-1};

void vyxFailLargeAllocation(int64_t after) { allocationsBeforeFailure.store(after < 0 ? -1 : after); }

bool vyxLargeAllocationFailurePending() { return allocationsBeforeFailure.load() >= 0; }

void* vyxAllocLarge(size_t bytes) {
    if (allocationsBeforeFailure.load(std::memory_order_relaxed) >= 0 && allocationsBeforeFailure.fetch_sub(1) == 0)
        return nullptr;
    void* memory = nullptr;
    if (posix_memalign(&memory, bytes < kHugeFrom ? 64 : kHugePage, bytes > 0 ? bytes : 1) != 0)
        return nullptr;
    if (bytes < kHugeFrom)
        return memory;
    // Only whole huge pages inside the block can be backed by one; the advice is a hint
    // and its failure changes nothing but speed.
    size_t whole = bytes / kHugePage * kHugePage;
    madvise(memory, whole, MADV_HUGEPAGE);
    return memory;
}

void* vyxAllocLargeZeroed(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    size_t bytes = count * size;
    void* memory = vyxAllocLarge(bytes);
    if (memory)
        std::memset(memory, 0, bytes);
    return memory;
}

void vyxKeepFreedMemory() {
    // The largest threshold the library takes; setting it also stops the library from
    // adjusting it by itself.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_ARENA_MAX, 1);
}

void vyxReleaseWholePages(const void* begin, const void* end) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(begin) + page - 1) / page * page;
    const uintptr_t to = reinterpret_cast<uintptr_t>(end) / page * page;
    if (from < to)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

uint64_t vyxPhysicalMemoryBytes() {
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return uint64_t{8} << 30;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}
