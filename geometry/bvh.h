#pragma once
// vyxBVH: the structure the ray queries walk. A bounding volume hierarchy over one mesh's
// set-up triangles, built with the surface area heuristic: each node holds the boxes of
// up to eight children where the processor has AVX2 (four elsewhere), which a ray tests
// side by side, and each leaf the test data of up to four triangles, also tested side by
// side. Read-only once built.
//
// Every query returns the nearest hit, and at equal t the lower triangle index, so the
// order of the walk never changes a result: it is exactly what testing every triangle
// with vyxTestTrace would give (t, triangle and weights, bit for bit).
//
// For that the boxes must never cut away a hit the triangle test accepts. The test works
// in floats, so a point it accepts can lie a little outside the triangle: each box bounds
// every point the test can accept for its triangles (the corners, the triangle that the
// rounded edge coefficients describe, and the rounded plane over it), widened by a small
// fraction of the box's own coordinates and, at query time, of the ray's origin. The
// widening of a box depends only on the box and the ray, so a huge or far-away triangle
// in a mesh costs nothing to rays that never come near it.

#include <cfloat>
#include <cstdint>

#include "geometry/triangle.h"

constexpr int vyxBVHMaxWidth = 8; // children per node: 4, or 8 with 256-bit vectors
constexpr int vyxBVHLeafSize = 4; // triangles per leaf
// Node levels the surface area heuristic may use; below them ranges are split evenly in
// list order, which needs at most 16 more levels for 2^31 triangles (4^16 > 2^31).
constexpr int vyxBVHHeuristicDepth = 64;
constexpr int vyxBVHMaxDepth = vyxBVHHeuristicDepth + 16;
static_assert(2 * (vyxBVHMaxDepth - vyxBVHHeuristicDepth) >= 31, "halving four ways covers 2^31 triangles");
// Boxes are widened by this fraction of the largest coordinate magnitude of the box (at
// build time) and of the ray's origin (at query time). The triangle test finds its hit
// point from rounded products of coordinates of that size, so a point it accepts can lie
// some units in the last place outside the exact region; this is about 170 such units.
constexpr float vyxBVHMarginFraction = 1e-5f;
// Deferred entries a walk can hold: a node defers at most all children but one.
constexpr int vyxBVHStackSize = (vyxBVHMaxWidth - 1) * vyxBVHMaxDepth + 1;

// A node of W children (4 or 8).
template <int W>
struct alignas(64) vyxBVHNodeOf {
    float lower[3][W]; // per axis, per child slot: widened box minimum; +inf in an empty slot
    float upper[3][W]; // per axis, per child slot: widened box maximum; -inf in an empty slot
    int32_t child[W];  // >= 0: node index; < 0: vyxBVHLeafRef(leaf index); empty slot: 0
};
using vyxBVHNode4 = vyxBVHNodeOf<4>;
using vyxBVHNode8 = vyxBVHNodeOf<8>;

// Up to four triangles' test data, lane by lane (the fields of vyxTriangle that
// vyxTestTrace reads). An unused lane has a NaN normal, which never hits.
struct alignas(64) vyxBVHLeaf {
    float normal[3][4];
    float d[4];
    float c[4][4];        // c0, c1, c2, c3
    float p0u[4], p0v[4]; // p0 on the two projection axes
    int32_t k[4];         // dominant normal axis: projection axes (k+1)%3, (k+2)%3
    int32_t triangle[4];  // index in the mesh's triangle array; -1 in an unused lane
};

struct vyxBVH {
    vyxBVHNode4* nodes4; // owned; the nodes when width is 4, else null
    vyxBVHNode8* nodes8; // owned; the nodes when width is 8, else null
    int32_t nodeCount;
    int32_t width;      // children per node, 4 or 8
    vyxBVHLeaf* leaves; // owned, in the order a depth-first walk reaches them
    int32_t leafCount;
    int32_t root;             // node index, or a leaf reference; meaningless without leaves
    int32_t depth;            // node levels on the deepest path (a leaf root: 0)
    uint8_t built;            // 1 once vyxBuildBVH succeeded (with no leaves every query misses)
    float lower[3], upper[3]; // the widened box of everything (empty without leaves)
    float leafSize;           // a typical leaf's extent: the box's diagonal over the cube root of the leaves
};

// A leaf's reference in a child slot.
inline int32_t vyxBVHLeafRef(int32_t leaf) { return ~leaf; }

// Builds bvh over triangles[0, count) (set up by vyxSetupTriangle); triangles the test can
// never report (a field it reads not finite) are left out. The nodes are 8 wide when the
// processor has 256-bit vectors (AVX2), the environment variable VYX_NO_AVX2 is unset (or
// "0") and vyxBVHSetWidth has not said otherwise, else 4 wide. The build runs on as many
// threads as vyxWorkerCores() allows (inside a parallel loop, on the pool's threads that
// are free) and makes the same nodes and leaves, byte for byte, whatever their number.
// Returns false and leaves bvh zeroed when memory runs out; the caller then walks another
// structure. Any thread, one build per record.
bool vyxBuildBVH(vyxBVH& bvh, const vyxTriangle* triangles, int32_t count);

// The node width later builds use: 4, 8 (only where the processor has AVX2 and
// VYX_NO_AVX2 is unset; otherwise 4 is used) or 0 for the best the processor allows (the
// default). For tests and measurements; set it while no build runs. Returns the width
// builds will now use.
int vyxBVHSetWidth(int width);

// Frees the arrays and zeroes the record. Safe on a zeroed or already freed record.
void vyxFreeBVH(vyxBVH& bvh);

// The queries. A ray is origin + t direction, in the tree's space, with a finite origin
// and a finite, non-zero direction. Its limit, maxDistance, is positive: hits count for t
// in [0, maxDistance), FLT_MAX for no limit (the walk's one convention; the scene
// queries of geometry/query.h map their callers' "< 0: none" to it). Any thread, many
// at once.

// The smallest positive float as a limit: only hits at exactly t = 0 count. Once an
// occlusion query knows of a hit beyond 0, only such hits can still change its answer.
constexpr float vyxBVHOnlyZero = FLT_TRUE_MIN;

// Nearest hit; object = -1; t = -1 when none.
vyxTraceResult vyxTraverseBVH(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance);

// What an occlusion query learns about the nearest hit, without finding it.
enum vyxOcclusion : uint8_t {
    OcclusionNone = 0,   // no hit in [0, maxDistance)
    OcclusionAtZero = 1, // the nearest hit is at t = 0 (the origin lies on a triangle)
    OcclusionBeyond = 2, // the nearest hit is at some t > 0
};
// Stops at the first hit with t > 0 once no hit at t = 0 remains possible.
vyxOcclusion vyxOccludedBVH(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance);

// Up to this many rays are walked together by the packet queries.
constexpr int vyxPacketSize = 8;

// The rays of a packet query, component by component: ray r (0 .. count - 1) starts at
// (origin[0][r], origin[1][r], origin[2][r]), goes along direction likewise and has the
// limit limit[r], each under the conditions above. Lanes from count on are not read.
struct vyxRayPacket {
    alignas(32) float origin[3][vyxPacketSize];
    alignas(32) float direction[3][vyxPacketSize];
    alignas(32) float limit[vyxPacketSize];
    int32_t count; // 1 .. vyxPacketSize
};

// The same queries for the rays of a packet at once: results[r] is exactly what the
// single query gives ray r. The rays share the walk when they point the same way and
// start close together (the soft-shadow rays of one point, or the shadow rays toward one
// light of neighbouring points); otherwise each walks alone.
void vyxTraverseBVHPacket(const vyxBVH& bvh, const vyxRayPacket& rays, vyxTraceResult* results);
void vyxOccludedBVHPacket(const vyxBVH& bvh, const vyxRayPacket& rays, vyxOcclusion* results);

// Work counts of one nearest-hit query, for tests and benchmarks: the query walks the
// same way as vyxTraverseBVH and returns the same result.
struct vyxBVHVisits {
    int64_t nodes;     // nodes whose boxes were tested
    int64_t leaves;    // leaves whose triangles were tested
    int64_t triangles; // triangles in those leaves
};
vyxTraceResult vyxTraverseBVHCounted(const vyxBVH& bvh, const float origin[3], const float direction[3],
                                     float maxDistance, vyxBVHVisits& visits);
