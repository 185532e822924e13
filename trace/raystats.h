#pragma once
// Ray counters by kind. Each thread counts into its own thread-local record; the frame
// dispatch adds the workers' counts into the global total after joining them, so
// counting costs no shared writes. Compiled out unless VYX_RAY_STATS is defined.

#include <cstdint>

struct vyxRayStats {
    uint64_t primary;
    uint64_t shadow;
    uint64_t reflection;
    uint64_t transparency;
};

#ifdef VYX_RAY_STATS
// Inline with a constant initializer, so every use sees that the record needs no dynamic
// initialisation and reads it straight from thread storage (an extern declaration goes
// through an initialisation wrapper on each use, which GCC's null-pointer sanitizer
// miscompiles into a false report).
inline thread_local vyxRayStats vyxThreadRayStats{};
#define VYX_COUNT_RAY(kind) (++vyxThreadRayStats.kind)
#else
#define VYX_COUNT_RAY(kind) ((void)0)
#endif

// Adds the calling thread's counts into the global total and clears them.
void vyxRayStatsFlushThread();
// The global total (after flushing the calling thread), and its reset. Main thread.
vyxRayStats vyxRayStatsTotal();
void vyxRayStatsReset();
