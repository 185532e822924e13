// The walks of 8-wide trees, compiled for AVX2 (this file alone; see CMakeLists.txt).
// Only trees built 8 wide come here, and only processors with AVX2 get those.

#include "geometry/bvh_walk.h"

#ifndef __AVX2__
#error "geometry/bvh_query_avx2.cpp must be compiled for AVX2"
#endif

vyxTraceResult vyxBVHNearest8(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                              vyxBVHVisits* visits) {
    return nearestOne<8>(bvh, origin, direction, maxDistance, visits);
}

vyxOcclusion vyxBVHOccluded8(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    return occludedOne<8>(bvh, origin, direction, maxDistance);
}

void vyxBVHNearestPacket8(const vyxBVH& bvh, const vyxRayPacket& rays, vyxTraceResult* results) {
    nearestPacket<8>(bvh, rays, results);
}

void vyxBVHOccludedPacket8(const vyxBVH& bvh, const vyxRayPacket& rays, vyxOcclusion* results) {
    occludedPacket<8>(bvh, rays, results);
}
