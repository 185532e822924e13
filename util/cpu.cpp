#include "util/cpu.h"

#include <cstdlib>
#include <cstring>

bool vyxWideVectorsAllowed() {
    static const bool wide = [] {
        const char* off = std::getenv("VYX_NO_AVX2");
        return __builtin_cpu_supports("avx2") && (!off || !*off || std::strcmp(off, "0") == 0);
    }();
    return wide;
}
