// The public queries of the hierarchy: 4-wide trees are walked here with SSE (baseline
// x86-64), 8-wide ones by the AVX2 build of the same walks in bvh_query_avx2.cpp.

#include "geometry/bvh_walk.h"

static_assert(offsetof(vyxBVHNode4, lower) == 0 && offsetof(vyxBVHNode4, upper) == 3 * 4 * sizeof(float),
              "the box tests read the planes at fixed offsets");
static_assert(offsetof(vyxBVHNode8, lower) == 0 && offsetof(vyxBVHNode8, upper) == 3 * 8 * sizeof(float),
              "the box tests read the planes at fixed offsets");

vyxTraceResult vyxTraverseBVH(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    if (bvh.width == 8)
        return vyxBVHNearest8(bvh, origin, direction, maxDistance, nullptr);
    return nearestOne<4>(bvh, origin, direction, maxDistance, nullptr);
}

vyxTraceResult vyxTraverseBVHCounted(const vyxBVH& bvh, const float origin[3], const float direction[3],
                                     float maxDistance, vyxBVHVisits& visits) {
    if (bvh.width == 8)
        return vyxBVHNearest8(bvh, origin, direction, maxDistance, &visits);
    return nearestOne<4>(bvh, origin, direction, maxDistance, &visits);
}

vyxOcclusion vyxOccludedBVH(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    if (bvh.width == 8)
        return vyxBVHOccluded8(bvh, origin, direction, maxDistance);
    return occludedOne<4>(bvh, origin, direction, maxDistance);
}

void vyxTraverseBVHPacket(const vyxBVH& bvh, const vyxRayPacket& rays, vyxTraceResult* results) {
    if (bvh.width == 8)
        vyxBVHNearestPacket8(bvh, rays, results);
    else
        nearestPacket<4>(bvh, rays, results);
}

void vyxOccludedBVHPacket(const vyxBVH& bvh, const vyxRayPacket& rays, vyxOcclusion* results) {
    if (bvh.width == 8)
        vyxBVHOccludedPacket8(bvh, rays, results);
    else
        occludedPacket<4>(bvh, rays, results);
}
