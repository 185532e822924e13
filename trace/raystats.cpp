#include "trace/raystats.h"

#include <mutex>

// The total is touched once per worker per frame, so a plain mutex costs nothing measurable.
static std::mutex totalMutex;
static vyxRayStats total{};

void vyxRayStatsFlushThread() {
#ifdef VYX_RAY_STATS
    std::lock_guard<std::mutex> lock(totalMutex);
    total.primary += vyxThreadRayStats.primary;
    total.shadow += vyxThreadRayStats.shadow;
    total.reflection += vyxThreadRayStats.reflection;
    total.transparency += vyxThreadRayStats.transparency;
    vyxThreadRayStats = vyxRayStats{};
#endif
}

vyxRayStats vyxRayStatsTotal() {
    vyxRayStatsFlushThread();
    std::lock_guard<std::mutex> lock(totalMutex);
    return total;
}

void vyxRayStatsReset() {
#ifdef VYX_RAY_STATS
    vyxThreadRayStats = vyxRayStats{};
#endif
    std::lock_guard<std::mutex> lock(totalMutex);
    total = vyxRayStats{};
}
