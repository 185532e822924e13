#pragma once
// Shared pieces of the bad-input tests: the scale of big inputs and the process's memory
// figures.

#include <sys/resource.h>

#ifndef VYX_ASSETS_DIR
#define VYX_ASSETS_DIR ""
#endif

// Big inputs shrink under the address sanitizer, where every byte costs several times
// more time and memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VYX_ROBUSTNESS_SANITIZED 1
#else
#define VYX_ROBUSTNESS_SANITIZED 0
#endif

// Peak resident memory of this process so far, in MiB.
inline long peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}
