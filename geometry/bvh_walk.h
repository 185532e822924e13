#pragma once
// The walks of the hierarchy, written once for both node widths. Included only by
// geometry/bvh_query.cpp (4-wide nodes, SSE) and geometry/bvh_query_avx2.cpp (8-wide
// nodes, compiled for AVX2): everything here has internal linkage, so each file keeps
// its own copy compiled for its own instruction set, and the plain one never runs code
// built for wider vectors.

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "geometry/bvh.h"
#include "util/assert.h"

// The walks of 8-wide trees, in geometry/bvh_query_avx2.cpp; called only for trees built
// 8 wide, which only processors with AVX2 get. Same contracts as the public queries.
vyxTraceResult vyxBVHNearest8(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                              vyxBVHVisits* visits);
vyxOcclusion vyxBVHOccluded8(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance);
void vyxBVHNearestPacket8(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                          const float* maxDistances, vyxTraceResult* results);
void vyxBVHOccludedPacket8(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                           const float* maxDistances, vyxOcclusion* results);

namespace {

// W floats side by side, and the few operations the box tests need on them.
template <int W>
struct Lanes;

template <>
struct Lanes<4> {
    using V = __m128;
    static V set1(float x) { return _mm_set1_ps(x); }
    static V load(const float* p) { return _mm_load_ps(p); }
    static void store(float* p, V v) { _mm_store_ps(p, v); }
    static V zero() { return _mm_setzero_ps(); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V min(V a, V b) { return _mm_min_ps(a, b); }
    static V max(V a, V b) { return _mm_max_ps(a, b); }
    static unsigned lessEqual(V a, V b) { return static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(a, b))); }
};

#ifdef __AVX2__
template <>
struct Lanes<8> {
    using V = __m256;
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load(const float* p) { return _mm256_load_ps(p); }
    static void store(float* p, V v) { _mm256_store_ps(p, v); }
    static V zero() { return _mm256_setzero_ps(); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    static unsigned lessEqual(V a, V b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LE_OQ)));
    }
};
#endif

// The miss record of vyxMissResult, here again so that this file uses no inline function from elsewhere
// that the build for wider vectors could compile differently.
inline vyxTraceResult missResult() {
    vyxTraceResult result;
    result.t = -1.0f;
    result.triangle = -1;
    result.object = -1;
    result.w0 = result.w1 = result.w2 = 0.0f;
    return result;
}

// lanes ? a : b, bit for bit.
inline __m128 select(__m128 lanes, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(lanes, a), _mm_andnot_ps(lanes, b));
}

// The nodes of a tree W wide.
template <int W>
const vyxBVHNodeOf<W>* nodesOf(const vyxBVH& bvh);
template <>
inline const vyxBVHNode4* nodesOf<4>(const vyxBVH& bvh) {
    return bvh.nodes4;
}
template <>
inline const vyxBVHNode8* nodesOf<8>(const vyxBVH& bvh) {
    return bvh.nodes8;
}

// What the triangle tests of one ray need: its origin and direction, each component
// broadcast to four lanes.
struct LeafRay {
    __m128 origin[3], direction[3];
};

// What the box tests of one ray need against nodes W wide. A direction component with its
// sign bit set makes the ray enter a box through its upper plane on that axis; a node
// keeps the lower planes of axis a at float W a and the upper ones at W (3 + a). The
// origin is moved by the ray's share of the widening so that both planes move outward
// (entry toward the ray, exit away). A zero component gives an infinite inverse: the slab
// then either holds the origin (no constraint) or not (no entry).
template <int W>
struct BoxRay {
    using V = typename Lanes<W>::V;
    int nearOffset[3], farOffset[3]; // in floats from the node's start
    V inv[3], nearOrigin[3], farOrigin[3];
};

template <int W>
struct RaySetup {
    BoxRay<W> box;
    LeafRay leaf;
};

inline void setUpLeafRay(const float origin[3], const float direction[3], LeafRay& ray) {
    for (int a = 0; a < 3; ++a) {
        ray.origin[a] = _mm_set1_ps(origin[a]);
        ray.direction[a] = _mm_set1_ps(direction[a]);
    }
}

// The ray's share of the widening: the fraction of its origin's largest coordinate.
inline float rayMargin(const float origin[3]) {
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
        float size = std::fabs(origin[a]);
        largest = size > largest ? size : largest;
    }
    return largest * vyxBVHMarginFraction;
}

template <int W>
void setUpBoxRay(const float origin[3], const float direction[3], BoxRay<W>& ray) {
    const float margin = rayMargin(origin);
    for (int a = 0; a < 3; ++a) {
        // The sign bit, not a comparison: a negative zero has an inverse of -inf, which
        // meets the planes the other way round from +inf.
        const bool negative = std::signbit(direction[a]);
        ray.nearOffset[a] = (negative ? 3 * W : 0) + W * a;
        ray.farOffset[a] = (negative ? 0 : 3 * W) + W * a;
        ray.inv[a] = Lanes<W>::set1(1.0f / direction[a]);
        ray.nearOrigin[a] = Lanes<W>::set1(negative ? origin[a] - margin : origin[a] + margin);
        ray.farOrigin[a] = Lanes<W>::set1(negative ? origin[a] + margin : origin[a] - margin);
    }
}

template <int W>
void setUpRay(const float origin[3], const float direction[3], RaySetup<W>& ray) {
    setUpBoxRay(origin, direction, ray.box);
    setUpLeafRay(origin, direction, ray.leaf);
}

// The ray's entry distances into the node's boxes (clamped to 0 from below) into dist,
// and the mask of boxes it meets before limit. A NaN product (a zero distance times an
// infinite inverse) is passed over by putting it first in min and max.
template <int W>
inline unsigned meetBoxes(const vyxBVHNodeOf<W>& node, const BoxRay<W>& ray, float limit, float* dist) {
    using L = Lanes<W>;
    const float* base = &node.lower[0][0];
    typename L::V tnear = L::zero(), tfar = L::set1(limit);
    for (int a = 0; a < 3; ++a) {
        typename L::V tn = L::mul(L::sub(L::load(base + ray.nearOffset[a]), ray.nearOrigin[a]), ray.inv[a]);
        typename L::V tf = L::mul(L::sub(L::load(base + ray.farOffset[a]), ray.farOrigin[a]), ray.inv[a]);
        tnear = L::max(tn, tnear);
        tfar = L::min(tf, tfar);
    }
    L::store(dist, tnear);
    return L::lessEqual(tnear, tfar);
}

// The triangle test of vyxTestTrace on the leaf's four lanes: the same operations in the
// same order, so the same bits. Returns the mask of lanes hit with t <= limit, and t and
// the weights of every lane.
inline unsigned testLeaf(const vyxBVHLeaf& leaf, const LeafRay& ray, float limit, __m128& t, __m128& w0, __m128& w1,
                         __m128& w2) {
    const __m128 n0 = _mm_load_ps(leaf.normal[0]), n1 = _mm_load_ps(leaf.normal[1]), n2 = _mm_load_ps(leaf.normal[2]);
    const __m128 nd = _mm_add_ps(_mm_add_ps(_mm_mul_ps(n1, ray.direction[1]), _mm_mul_ps(n0, ray.direction[0])),
                                 _mm_mul_ps(n2, ray.direction[2]));
    const __m128 distance =
        _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(n0, ray.origin[0]), _mm_mul_ps(n1, ray.origin[1])),
                              _mm_mul_ps(n2, ray.origin[2])),
                   _mm_load_ps(leaf.d));
    t = _mm_xor_ps(_mm_div_ps(distance, nd), _mm_set1_ps(-0.0f));

    // The projection axes per lane: k = 0 projects onto (y, z), 1 onto (z, x), 2 onto (x, y).
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(leaf.k));
    const __m128 k0 = _mm_castsi128_ps(_mm_cmpeq_epi32(k, _mm_setzero_si128()));
    const __m128 k1 = _mm_castsi128_ps(_mm_cmpeq_epi32(k, _mm_set1_epi32(1)));
    const __m128 ou = select(k0, ray.origin[1], select(k1, ray.origin[2], ray.origin[0]));
    const __m128 ov = select(k0, ray.origin[2], select(k1, ray.origin[0], ray.origin[1]));
    const __m128 du = select(k0, ray.direction[1], select(k1, ray.direction[2], ray.direction[0]));
    const __m128 dv = select(k0, ray.direction[2], select(k1, ray.direction[0], ray.direction[1]));

    const __m128 pu = _mm_sub_ps(_mm_add_ps(ou, _mm_mul_ps(t, du)), _mm_load_ps(leaf.p0u));
    const __m128 pv = _mm_sub_ps(_mm_add_ps(ov, _mm_mul_ps(t, dv)), _mm_load_ps(leaf.p0v));
    w1 = _mm_sub_ps(_mm_mul_ps(_mm_load_ps(leaf.c[1]), pu), _mm_mul_ps(_mm_load_ps(leaf.c[0]), pv));
    w2 = _mm_sub_ps(_mm_mul_ps(_mm_load_ps(leaf.c[2]), pv), _mm_mul_ps(_mm_load_ps(leaf.c[3]), pu));
    w0 = _mm_sub_ps(_mm_sub_ps(_mm_set1_ps(1.0f), w1), w2);

    // A parallel ray (nd = 0) and every NaN fail their comparison, as in vyxTestTrace.
    const __m128 zero = _mm_setzero_ps();
    __m128 hit = _mm_and_ps(_mm_cmpneq_ps(nd, zero), _mm_cmpge_ps(t, zero));
    hit = _mm_and_ps(hit, _mm_and_ps(_mm_cmpge_ps(w1, zero), _mm_cmpge_ps(w2, zero)));
    hit = _mm_and_ps(hit, _mm_and_ps(_mm_cmpge_ps(w0, zero), _mm_cmple_ps(t, _mm_set1_ps(limit))));
    return static_cast<unsigned>(_mm_movemask_ps(hit));
}

// Keeps the leaf's hits that beat best: a smaller t, or at t == limit a lower triangle
// index than the best so far (the limit passed in, with no best yet, is never reached).
inline void keepNearest(const vyxBVHLeaf& leaf, const LeafRay& ray, vyxTraceResult& best, float& limit) {
    __m128 t, w0, w1, w2;
    unsigned hits = testLeaf(leaf, ray, limit, t, w0, w1, w2);
    if (hits == 0)
        return;
    alignas(16) float ts[4], a[4], b[4], c[4];
    _mm_store_ps(ts, t);
    _mm_store_ps(a, w0);
    _mm_store_ps(b, w1);
    _mm_store_ps(c, w2);
    for (; hits != 0; hits &= hits - 1) {
        const int lane = __builtin_ctz(hits);
        const int32_t triangle = leaf.triangle[lane];
        if (ts[lane] < limit || (ts[lane] == limit && best.triangle >= 0 && triangle < best.triangle)) {
            best.t = ts[lane];
            best.triangle = triangle;
            best.w0 = a[lane];
            best.w1 = b[lane];
            best.w2 = c[lane];
            limit = ts[lane];
        }
    }
}

// One leaf's verdict for an occlusion query: true for a hit at t = 0, which ends the
// query; a hit beyond 0 sets beyond and narrows limit to vyxBVHOnlyZero.
inline bool occludedAtZero(const vyxBVHLeaf& leaf, const LeafRay& ray, float& limit, bool& beyond) {
    __m128 t, w0, w1, w2;
    unsigned hits = testLeaf(leaf, ray, limit, t, w0, w1, w2);
    if (hits == 0)
        return false;
    alignas(16) float ts[4];
    _mm_store_ps(ts, t);
    for (; hits != 0; hits &= hits - 1) {
        const float hitT = ts[__builtin_ctz(hits)];
        if (!(hitT < limit))
            continue;
        if (hitT == 0.0f)
            return true;
        beyond = true;
        limit = vyxBVHOnlyZero;
    }
    return false;
}

struct Entry {
    int32_t ref;
    float tnear;
};

// The limit of a finished ray, and what a walk's leaf step returns to end the walk: below
// every entry distance (they are clamped to 0), so no box is met and no deferred entry is
// taken back. Not a limit of the queries' convention, where a limit is positive.
constexpr float kFinished = -1.0f;

// The children met (mask hit, entry distances dist): the nearest is returned to go on
// with, the others are deferred, farthest first so that the nearer are taken back first.
template <int W>
inline int32_t descend(const vyxBVHNodeOf<W>& node, unsigned hit, const float* dist, Entry* stack, int& depth) {
    VYX_ASSERT(hit != 0);
    VYX_ASSERT_LE(depth + W - 1, vyxBVHStackSize);
    const unsigned s0 = static_cast<unsigned>(__builtin_ctz(hit));
    hit &= hit - 1;
    if (hit == 0)
        return node.child[s0];
    const unsigned s1 = static_cast<unsigned>(__builtin_ctz(hit));
    hit &= hit - 1;
    if (hit == 0) {
        if (dist[s0] <= dist[s1]) {
            stack[depth++] = Entry{node.child[s1], dist[s1]};
            return node.child[s0];
        }
        stack[depth++] = Entry{node.child[s0], dist[s0]};
        return node.child[s1];
    }
    Entry met[W];
    int n = 0;
    met[n++] = Entry{node.child[s0], dist[s0]};
    met[n++] = Entry{node.child[s1], dist[s1]};
    for (; hit != 0; hit &= hit - 1) {
        const unsigned s = static_cast<unsigned>(__builtin_ctz(hit));
        met[n++] = Entry{node.child[s], dist[s]};
    }
    // Farthest first.
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && met[j - 1].tnear < met[j].tnear; --j) {
            Entry swap = met[j];
            met[j] = met[j - 1];
            met[j - 1] = swap;
        }
    for (int i = 0; i < n - 1; ++i)
        stack[depth++] = met[i];
    return met[n - 1].ref;
}

// The children met, for a walk that must look at all of them anyway (an occlusion query
// that finds nothing): the first goes on, the others are deferred as they come.
template <int W>
inline int32_t descendUnsorted(const vyxBVHNodeOf<W>& node, unsigned hit, const float* dist, Entry* stack, int& depth) {
    VYX_ASSERT(hit != 0);
    VYX_ASSERT_LE(depth + W - 1, vyxBVHStackSize);
    const int32_t next = node.child[__builtin_ctz(hit)];
    for (hit &= hit - 1; hit != 0; hit &= hit - 1) {
        const unsigned s = static_cast<unsigned>(__builtin_ctz(hit));
        stack[depth++] = Entry{node.child[s], dist[s]};
    }
    return next;
}

// The walk shared by every query of one ray or one coherent packet: from the root, down
// the nearest child met (meet(node, limit, dist) gives the mask of children met and their
// entry distances; kNearestFirst false: any child met), the others deferred; at each leaf
// reached, limit = leaf(leaf), kFinished ending the walk. A deferred entry is taken back
// only while its entry distance is within the limit.
template <int W, bool kNearestFirst = true, typename Meet, typename Leaf>
void walk(const vyxBVH& bvh, float limit, Meet meet, Leaf leaf) {
    const vyxBVHNodeOf<W>* nodes = nodesOf<W>(bvh);
    Entry stack[vyxBVHStackSize];
    int depth = 0;
    int32_t ref = bvh.root;
    for (;;) {
        bool reached = true;
        while (ref >= 0) {
            VYX_ASSERT_LT(ref, bvh.nodeCount);
            const vyxBVHNodeOf<W>& node = nodes[ref];
            alignas(32) float dist[W];
            const unsigned hit = meet(node, limit, dist);
            if (hit == 0) {
                reached = false;
                break;
            }
            ref = kNearestFirst ? descend<W>(node, hit, dist, stack, depth)
                                : descendUnsorted<W>(node, hit, dist, stack, depth);
        }
        if (reached) {
            VYX_ASSERT(~ref >= 0 && ~ref < bvh.leafCount);
            limit = leaf(bvh.leaves[~ref]);
            if (limit == kFinished)
                return;
        }
        // Take the next deferred entry that can still hold a hit within the limit.
        for (;;) {
            if (depth == 0)
                return;
            const Entry e = stack[--depth];
            if (e.tnear <= limit) {
                ref = e.ref;
                break;
            }
        }
    }
}

template <int W>
vyxTraceResult nearestOne(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                          vyxBVHVisits* visits) {
    VYX_ASSERT_GT(maxDistance, 0.0f);
    vyxTraceResult best = missResult();
    if (bvh.leafCount == 0)
        return best;
    RaySetup<W> ray;
    setUpRay(origin, direction, ray);
    // Hits count when t < limit: the best so far once there is one, else maxDistance.
    float limit = maxDistance;
    walk<W>(
        bvh, limit,
        [&](const vyxBVHNodeOf<W>& node, float nodeLimit, float* dist) {
            if (visits)
                ++visits->nodes;
            return meetBoxes<W>(node, ray.box, nodeLimit, dist);
        },
        [&](const vyxBVHLeaf& leaf) {
            if (visits) {
                ++visits->leaves;
                for (int lane = 0; lane < vyxBVHLeafSize; ++lane)
                    visits->triangles += leaf.triangle[lane] >= 0;
            }
            keepNearest(leaf, ray.leaf, best, limit);
            return limit;
        });
    return best;
}

template <int W>
vyxOcclusion occludedOne(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    VYX_ASSERT_GT(maxDistance, 0.0f);
    if (bvh.leafCount == 0)
        return OcclusionNone;
    RaySetup<W> ray;
    setUpRay(origin, direction, ray);
    float limit = maxDistance;
    bool beyond = false, atZero = false;
    walk<W, false>(
        bvh, limit,
        [&](const vyxBVHNodeOf<W>& node, float nodeLimit, float* dist) {
            return meetBoxes<W>(node, ray.box, nodeLimit, dist);
        },
        [&](const vyxBVHLeaf& leaf) {
            atZero = occludedAtZero(leaf, ray.leaf, limit, beyond);
            return atZero ? kFinished : limit;
        });
    return atZero ? OcclusionAtZero : beyond ? OcclusionBeyond : OcclusionNone;
}

// What the packet walk needs of rays that leave one point into one octant: each ray's own
// set-up for the triangle tests, and for the box tests the shared origin and entering
// sides with the least and greatest inverse direction on each axis. With one origin, a
// ray's entry distance on an axis is (plane - origin) times its inverse, so those two
// products bound every ray's: a box no ray can meet fails the test, and a box some ray
// meets passes it (others may pass too; the triangle tests stay per ray).
template <int W>
struct PacketSetup {
    LeafRay rays[vyxPacketSize];
    BoxRay<W> box; // the first ray's, for the shared origin and sides
    typename Lanes<W>::V invLow[3], invHigh[3];
};

// Whether the packet's rays stay close enough together over the tree for one shared box
// test to pay: the bound box test lets through every box of the cone the rays span, so
// where the cone is wider than a leaf by the far side of the tree, it would open far more
// boxes than the rays themselves meet.
inline bool narrowEnough(const vyxBVH& bvh, int count, const float origin[3], const float directions[][3]) {
    double reach = 0.0; // the origin's distance to the farthest corner of the tree's box
    for (int a = 0; a < 3; ++a) {
        const double d = std::max(std::fabs(static_cast<double>(bvh.lower[a]) - origin[a]),
                                  std::fabs(static_cast<double>(bvh.upper[a]) - origin[a]));
        reach += d * d;
    }
    const double first = std::sqrt(static_cast<double>(directions[0][0]) * directions[0][0] +
                                   static_cast<double>(directions[0][1]) * directions[0][1] +
                                   static_cast<double>(directions[0][2]) * directions[0][2]);
    double spread = 0.0; // the greatest angle (radians, about) between the first ray and another
    for (int r = 1; r < count; ++r) {
        const double length = std::sqrt(static_cast<double>(directions[r][0]) * directions[r][0] +
                                        static_cast<double>(directions[r][1]) * directions[r][1] +
                                        static_cast<double>(directions[r][2]) * directions[r][2]);
        double apart = 0.0;
        for (int a = 0; a < 3; ++a) {
            const double d = directions[r][a] / length - directions[0][a] / first;
            apart += d * d;
        }
        spread = std::max(spread, std::sqrt(apart));
    }
    return spread * std::sqrt(reach) <= static_cast<double>(bvh.leafSize);
}

// Sets up the packet; false when its rays do not share the origin and the sign of each
// direction component, some component is zero, or the rays spread too far apart over
// the tree (the single-ray walk then serves).
template <int W>
bool setUpPacket(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                 PacketSetup<W>& p) {
    using L = Lanes<W>;
    for (int r = 0; r < count; ++r)
        for (int a = 0; a < 3; ++a)
            if (origins[r][a] != origins[0][a] || std::signbit(origins[r][a]) != std::signbit(origins[0][a]) ||
                directions[r][a] == 0.0f || std::signbit(directions[r][a]) != std::signbit(directions[0][a]))
                return false;
    if (!narrowEnough(bvh, count, origins[0], directions))
        return false;
    setUpBoxRay(origins[0], directions[0], p.box);
    for (int a = 0; a < 3; ++a) {
        float low = 1.0f / directions[0][a], high = low;
        for (int r = 1; r < count; ++r) {
            const float inv = 1.0f / directions[r][a];
            low = inv < low ? inv : low;
            high = inv > high ? inv : high;
        }
        p.invLow[a] = L::set1(low);
        p.invHigh[a] = L::set1(high);
    }
    for (int r = 0; r < count; ++r)
        setUpLeafRay(origins[r], directions[r], p.rays[r]);
    return true;
}

// The least entry distance of any ray of the packet into the node's boxes, and the mask
// of boxes some ray may meet before limit (the greatest of the rays' limits).
template <int W>
inline unsigned meetBoxesPacket(const vyxBVHNodeOf<W>& node, const PacketSetup<W>& p, float limit, float* dist) {
    using L = Lanes<W>;
    const float* base = &node.lower[0][0];
    typename L::V tnear = L::zero(), tfar = L::set1(limit);
    for (int a = 0; a < 3; ++a) {
        typename L::V nearPlanes = L::sub(L::load(base + p.box.nearOffset[a]), p.box.nearOrigin[a]);
        typename L::V farPlanes = L::sub(L::load(base + p.box.farOffset[a]), p.box.farOrigin[a]);
        typename L::V tn = L::min(L::mul(nearPlanes, p.invLow[a]), L::mul(nearPlanes, p.invHigh[a]));
        typename L::V tf = L::max(L::mul(farPlanes, p.invLow[a]), L::mul(farPlanes, p.invHigh[a]));
        tnear = L::max(tn, tnear);
        tfar = L::min(tf, tfar);
    }
    L::store(dist, tnear);
    return L::lessEqual(tnear, tfar);
}

inline float greatest(const float* values, int count) {
    float g = values[0];
    for (int r = 1; r < count; ++r)
        g = values[r] > g ? values[r] : g;
    return g;
}

template <int W>
void nearestPacket(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                   const float* maxDistances, vyxTraceResult* results) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    PacketSetup<W> p;
    if (count == 1 || bvh.leafCount == 0 || !setUpPacket(bvh, count, origins, directions, p)) {
        for (int r = 0; r < count; ++r)
            results[r] = nearestOne<W>(bvh, origins[r], directions[r], maxDistances[r], nullptr);
        return;
    }
    float limits[vyxPacketSize] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int r = 0; r < count; ++r) {
        VYX_ASSERT_GT(maxDistances[r], 0.0f);
        results[r] = missResult();
        limits[r] = maxDistances[r];
    }
    walk<W>(
        bvh, greatest(limits, count),
        [&](const vyxBVHNodeOf<W>& node, float limit, float* dist) { return meetBoxesPacket<W>(node, p, limit, dist); },
        [&](const vyxBVHLeaf& leaf) {
            for (int r = 0; r < count; ++r)
                keepNearest(leaf, p.rays[r], results[r], limits[r]);
            return greatest(limits, count);
        });
}

template <int W>
void occludedPacket(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                    const float* maxDistances, vyxOcclusion* results) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    PacketSetup<W> p;
    if (count == 1 || bvh.leafCount == 0 || !setUpPacket(bvh, count, origins, directions, p)) {
        for (int r = 0; r < count; ++r)
            results[r] = occludedOne<W>(bvh, origins[r], directions[r], maxDistances[r]);
        return;
    }
    float limits[vyxPacketSize] = {0.0f, 0.0f, 0.0f, 0.0f};
    bool beyond[vyxPacketSize];
    for (int r = 0; r < count; ++r) {
        VYX_ASSERT_GT(maxDistances[r], 0.0f);
        results[r] = OcclusionNone;
        limits[r] = maxDistances[r];
        beyond[r] = false;
    }
    // A ray stopped at t = 0 is done: its limit becomes kFinished, so it tests no more
    // triangles, and once every ray is done the walk ends.
    walk<W, false>(
        bvh, greatest(limits, count),
        [&](const vyxBVHNodeOf<W>& node, float limit, float* dist) { return meetBoxesPacket<W>(node, p, limit, dist); },
        [&](const vyxBVHLeaf& leaf) {
            for (int r = 0; r < count; ++r)
                if (limits[r] != kFinished && occludedAtZero(leaf, p.rays[r], limits[r], beyond[r])) {
                    results[r] = OcclusionAtZero;
                    limits[r] = kFinished;
                }
            return greatest(limits, count);
        });
    for (int r = 0; r < count; ++r)
        if (results[r] != OcclusionAtZero && beyond[r])
            results[r] = OcclusionBeyond;
}

} // namespace
