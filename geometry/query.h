#pragma once
// Nearest-hit ray queries: the whole scene, one mesh, one hierarchy, and the traversal.
// Ray directions are never normalised; t is in units of the caller's direction.
// maxDistance < 0 means unlimited, otherwise only hits with t < maxDistance count (0 or
// NaN: none). (The surface-area hierarchy's own queries in geometry/bvh.h take the walk's
// limit instead, a positive float with FLT_MAX for none; the queries here map one to the
// other in a single place.)
// All queries keep their state on the caller's stack and may run on many threads at
// once, provided the mesh transforms were prepared (vyxTransformPrepare) beforehand.

#include "geometry/bih.h"
#include "geometry/mesh.h"
#include "geometry/scene.h"
#include "geometry/triangle.h"

// Nearest hit over the scene's mesh list; object = list index. Ties keep the earlier mesh
// (within a mesh, every query keeps the lower triangle index at equal distances).
vyxTraceResult vyxTraceScene(const vyxScene& scene, const vyxVec3& origin, const vyxVec3& direction, float maxDistance);

// The same for count rays (1 .. vyxPacketSize): results[i] is exactly what vyxTraceScene
// gives origins[i], directions[i]. Rays whose directions share an octant and lie close
// together walk each mesh's structure together, which costs less than one walk each.
void vyxTraceScenePacket(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                         float maxDistance, vyxTraceResult* results);

// For shadow rays, what vyxTraceScene's nearest hit tells about the meshes marked opaque,
// found faster (an opaque mesh is searched only until any hit): OcclusionBeyond when the
// scene's nearest hit lies on an opaque mesh at some t > 0, OcclusionAtZero when it is at
// t = 0 (on any mesh), OcclusionNone otherwise. nearest receives the nearest hit over the
// meshes not marked opaque, which with OcclusionNone is the scene's nearest hit.
vyxOcclusion vyxOccludedScene(const vyxScene& scene, const vyxVec3& origin, const vyxVec3& direction, float maxDistance,
                              vyxTraceResult& nearest);
// The same for count rays (1 .. vyxPacketSize): occlusion[i] and nearest[i] are exactly
// what vyxOccludedScene gives for origins[i], directions[i]. Rays whose directions share
// an octant and lie close together walk each mesh's structure together, which costs less
// than one walk each.
void vyxOccludedScenePacket(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                            float maxDistance, vyxOcclusion* occlusion, vyxTraceResult* nearest);

// One mesh: the ray is carried into object space through the mesh transform's inverse.
vyxTraceResult vyxTraceMesh(vyxMesh& mesh, vyxVec3 origin, vyxVec3 direction, float maxDistance);
// One hierarchy: its own transform, the bounds test, then the traversal.
vyxTraceResult vyxTraceBIH(vyxBIH& bih, vyxVec3 origin, vyxVec3 direction, float maxDistance);
// Front-to-back stack traversal from root over [tnear, tfar].
vyxTraceResult vyxTraverseBIH(const vyxVec3& origin, const vyxVec3& direction, float tnear, float tfar,
                              const vyxTriangle* triangles, float maxDistance, const vyxBIHNode& root);
// Slab test; axes with a zero direction component are skipped. An origin inside the box
// gives tnear = 0 and true.
bool vyxIntersectBox(const float boxMin[3], const float boxMax[3], const float origin[3], const float direction[3],
                     float& tnear, float& tfar);
