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
#include <type_traits>

#include "geometry/bvh.h"
#include "util/assert.h"

// The walks of 8-wide trees, in geometry/bvh_query_avx2.cpp; called only for trees built
// 8 wide, which only processors with AVX2 get. Same contracts as the public queries.
vyxTraceResult vyxBVHNearest8(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                              vyxBVHVisits* visits);
vyxOcclusion vyxBVHOccluded8(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance);
void vyxBVHNearestPacket8(const vyxBVH& bvh, const vyxRayPacket& rays, vyxTraceResult* results);
void vyxBVHOccludedPacket8(const vyxBVH& bvh, const vyxRayPacket& rays, vyxOcclusion* results);

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
    static V add(V a, V b) { return _mm_add_ps(a, b); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V div(V a, V b) { return _mm_div_ps(a, b); }
    static V min(V a, V b) { return _mm_min_ps(a, b); }
    static V max(V a, V b) { return _mm_max_ps(a, b); }
    static V abs(V a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
    static unsigned lessEqual(V a, V b) { return static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(a, b))); }
    static unsigned less(V a, V b) { return static_cast<unsigned>(_mm_movemask_ps(_mm_cmplt_ps(a, b))); }
    static unsigned signs(V a) { return static_cast<unsigned>(_mm_movemask_ps(a)); }
    // Lanes whose index first + i is below count keep a, the others take b.
    static V keepBelow(int first, int count, V a, V b) {
        const __m128 keep =
            _mm_cmplt_ps(_mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f), _mm_set1_ps(static_cast<float>(count - first)));
        return _mm_or_ps(_mm_and_ps(keep, a), _mm_andnot_ps(keep, b));
    }
    static float lowest(V a) {
        a = _mm_min_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)));
        return _mm_cvtss_f32(_mm_min_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1))));
    }
    static float highest(V a) {
        a = _mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)));
        return _mm_cvtss_f32(_mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1))));
    }
};

#ifdef __AVX2__
template <>
struct Lanes<8> {
    using V = __m256;
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load(const float* p) { return _mm256_load_ps(p); }
    static void store(float* p, V v) { _mm256_store_ps(p, v); }
    static V zero() { return _mm256_setzero_ps(); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    static V abs(V a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    static unsigned lessEqual(V a, V b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LE_OQ)));
    }
    static unsigned less(V a, V b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LT_OQ)));
    }
    static unsigned signs(V a) { return static_cast<unsigned>(_mm256_movemask_ps(a)); }
    static V keepBelow(int first, int count, V a, V b) {
        const __m256 keep = _mm256_cmp_ps(_mm256_setr_ps(0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f),
                                          _mm256_set1_ps(static_cast<float>(count - first)), _CMP_LT_OQ);
        return _mm256_blendv_ps(b, a, keep);
    }
    static float lowest(V a) {
        return Lanes<4>::lowest(_mm_min_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1)));
    }
    static float highest(V a) {
        return Lanes<4>::highest(_mm_max_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1)));
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

// lanes ? a : b, bit for bit, where every lane of lanes is all ones or all zeros (one
// blend where the processor has it, which reads only the sign bit).
inline __m128 select(__m128 lanes, __m128 a, __m128 b) {
#ifdef __SSE4_1__
    return _mm_blendv_ps(b, a, lanes);
#else
    return _mm_or_ps(_mm_and_ps(lanes, a), _mm_andnot_ps(lanes, b));
#endif
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

// Where a node W wide keeps the planes of axis a a ray of the octant (the sign bits of
// its direction, bit a for axis a) enters its boxes through, and those it leaves them by.
template <int W>
constexpr int nearPlanes(int octant, int a) {
    return (((octant >> a) & 1) != 0 ? 3 * W : 0) + W * a;
}
template <int W>
constexpr int farPlanes(int octant, int a) {
    return (((octant >> a) & 1) != 0 ? 0 : 3 * W) + W * a;
}

// What the box tests of one ray need against nodes W wide (the planes it enters and leaves
// a box by follow from its octant: nearPlanes, farPlanes). The origin is moved by the
// ray's share of the widening so that both planes move outward (entry toward the ray, exit
// away). A zero component gives an infinite inverse: the slab
// then either holds the origin (no constraint) or not (no entry).
template <int W>
struct BoxRay {
    using V = typename Lanes<W>::V;
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

// The entry distances of a ray whose direction's sign bits are kOctant (bit a for axis a)
// into the node's boxes (clamped to 0 from below) into dist, and the mask of boxes it
// meets before limit. A NaN product (a zero distance times an infinite inverse) is passed
// over by putting it first in min and max. The planes' places in the node are known when
// compiled, so that the walk keeps no offsets and reads each plane straight from the node.
template <int W, int kOctant>
inline unsigned meetBoxesIn(const vyxBVHNodeOf<W>& node, const BoxRay<W>& ray, float limit, float* dist) {
    using L = Lanes<W>;
    const float* base = &node.lower[0][0];
    typename L::V tnear = L::zero(), tfar = L::set1(limit);
    for (int a = 0; a < 3; ++a) {
        typename L::V tn = L::mul(L::sub(L::load(base + nearPlanes<W>(kOctant, a)), ray.nearOrigin[a]), ray.inv[a]);
        typename L::V tf = L::mul(L::sub(L::load(base + farPlanes<W>(kOctant, a)), ray.farOrigin[a]), ray.inv[a]);
        tnear = L::max(tn, tnear);
        tfar = L::min(tf, tfar);
    }
    L::store(dist, tnear);
    return L::lessEqual(tnear, tfar);
}

// The octant of a direction: its sign bits, bit a for axis a, as setUpBoxRay reads them.
inline int octantOf(const float direction[3]) {
    return (std::signbit(direction[0]) ? 1 : 0) | (std::signbit(direction[1]) ? 2 : 0) |
           (std::signbit(direction[2]) ? 4 : 0);
}

// f(std::integral_constant<int, octant>()): one copy of f compiled per octant.
template <typename F>
auto inOctant(int octant, F f) {
    switch (octant) {
    case 0:
        return f(std::integral_constant<int, 0>());
    case 1:
        return f(std::integral_constant<int, 1>());
    case 2:
        return f(std::integral_constant<int, 2>());
    case 3:
        return f(std::integral_constant<int, 3>());
    case 4:
        return f(std::integral_constant<int, 4>());
    case 5:
        return f(std::integral_constant<int, 5>());
    case 6:
        return f(std::integral_constant<int, 6>());
    default:
        return f(std::integral_constant<int, 7>());
    }
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

// The nearest-hit walk of a ray set up, with the box test of its octant, counting its
// work into visits when kCounted (a separate copy, so the plain walk spends no register or
// test on the counts).
template <int W, int kOctant, bool kCounted>
vyxTraceResult nearestInOctant(const vyxBVH& bvh, const RaySetup<W>& ray, float maxDistance, vyxBVHVisits* visits) {
    vyxTraceResult best = missResult();
    // Hits count when t < limit: the best so far once there is one, else maxDistance.
    float limit = maxDistance;
    walk<W>(
        bvh, limit,
        [&](const vyxBVHNodeOf<W>& node, float nodeLimit, float* dist) {
            if (kCounted)
                ++visits->nodes;
            return meetBoxesIn<W, kOctant>(node, ray.box, nodeLimit, dist);
        },
        [&](const vyxBVHLeaf& leaf) {
            if (kCounted) {
                ++visits->leaves;
                for (int lane = 0; lane < vyxBVHLeafSize; ++lane)
                    visits->triangles += leaf.triangle[lane] >= 0;
            }
            keepNearest(leaf, ray.leaf, best, limit);
            return limit;
        });
    return best;
}

template <int W, bool kCounted>
vyxTraceResult nearestWalk(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                           vyxBVHVisits* visits) {
    VYX_ASSERT_GT(maxDistance, 0.0f);
    if (bvh.leafCount == 0)
        return missResult();
    RaySetup<W> ray;
    setUpRay(origin, direction, ray);
    return inOctant(octantOf(direction), [&](auto octant) {
        return nearestInOctant<W, decltype(octant)::value, kCounted>(bvh, ray, maxDistance, visits);
    });
}

template <int W>
vyxTraceResult nearestOne(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                          vyxBVHVisits* visits) {
    if (visits)
        return nearestWalk<W, true>(bvh, origin, direction, maxDistance, visits);
    return nearestWalk<W, false>(bvh, origin, direction, maxDistance, nullptr);
}

// The occlusion walk of a ray set up, with the box test of its octant.
template <int W, int kOctant>
vyxOcclusion occludedInOctant(const vyxBVH& bvh, const RaySetup<W>& ray, float maxDistance) {
    float limit = maxDistance;
    bool beyond = false, atZero = false;
    walk<W, false>(
        bvh, limit,
        [&](const vyxBVHNodeOf<W>& node, float nodeLimit, float* dist) {
            return meetBoxesIn<W, kOctant>(node, ray.box, nodeLimit, dist);
        },
        [&](const vyxBVHLeaf& leaf) {
            atZero = occludedAtZero(leaf, ray.leaf, limit, beyond);
            return atZero ? kFinished : limit;
        });
    return atZero ? OcclusionAtZero : beyond ? OcclusionBeyond : OcclusionNone;
}

template <int W>
vyxOcclusion occludedOne(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    VYX_ASSERT_GT(maxDistance, 0.0f);
    if (bvh.leafCount == 0)
        return OcclusionNone;
    RaySetup<W> ray;
    setUpRay(origin, direction, ray);
    return inOctant(octantOf(direction),
                    [&](auto octant) { return occludedInOctant<W, decltype(octant)::value>(bvh, ray, maxDistance); });
}

// What the packet walk needs of rays that point into one octant from points close
// together: each ray's own set-up for the triangle tests, and for the box tests, per axis,
// the least and greatest inverse direction and the two of the rays' widened origins (see
// BoxRay) that bound every ray's entry and exit distances. A ray's entry distance on an
// axis is (plane - its near origin) times its inverse; rounding keeps order, so the plane
// minus the greatest near origin (for a positive direction; the least for a negative one)
// times each end of the inverses' range gives a product no ray's entry distance lies
// below, and likewise for the exits. A box no ray can meet then fails the test, and a box
// some ray meets passes it (others may pass too; the triangle tests stay per ray).
template <int W>
struct PacketSetup {
    LeafRay rays[vyxPacketSize];
    BoxRay<W> box; // the bounding nearOrigin and farOrigin (inv unused)
    int octant;    // the sign bits the rays' directions share, bit a for axis a
    typename Lanes<W>::V invLow[3], invHigh[3];
    // Each ray's own box test (its BoxRay), ray by ray in the lanes, for the boxes of
    // leaves: lanes past count repeat the first ray.
    alignas(32) float nearOrigin[3][vyxPacketSize];
    alignas(32) float farOrigin[3][vyxPacketSize];
    alignas(32) float inv[3][vyxPacketSize];
    int count;
};

// Sets up the packet; false when its rays do not share the sign of each direction
// component, some component is zero or so small that its inverse is not finite, or the
// rays spread too far apart over the tree (the single-ray walk then serves): the bound box
// test lets through every box of the cone the rays span, grown by how far apart they
// start, so where that is wider than a leaf by the far side of the tree, it would open far
// more boxes than the rays themselves meet. The spread is estimated from the sine of the
// greatest angle between the first ray and another, times the first origin's distance to
// the farthest corner of the tree's box.
template <int W>
bool setUpPacket(const vyxBVH& bvh, const vyxRayPacket& rays, PacketSetup<W>& p) {
    using L = Lanes<W>;
    using V = typename L::V;
    const int count = rays.count;
    const unsigned allLanes = (1u << W) - 1u;
    bool negative[3];
    V o0[3], d0[3], invLow[3], invHigh[3], nearBound[3], farBound[3];
    for (int a = 0; a < 3; ++a) {
        negative[a] = std::signbit(rays.direction[a][0]);
        o0[a] = L::set1(rays.origin[a][0]);
        d0[a] = L::set1(rays.direction[a][0]);
    }
    V sine = L::zero(), apart = L::zero();
    // Lanes past count repeat the first ray, which changes no bound.
    for (int group = 0; group < vyxPacketSize; group += W) {
        V o[3], d[3];
        for (int a = 0; a < 3; ++a) {
            o[a] = L::keepBelow(group, count, L::load(rays.origin[a] + group), o0[a]);
            d[a] = L::keepBelow(group, count, L::load(rays.direction[a] + group), d0[a]);
        }
        // Each ray's widened origins and inverse as its own box test computes them
        // (rayMargin, setUpBoxRay): the same operations lane by lane.
        const V margin =
            L::mul(L::max(L::max(L::abs(o[0]), L::abs(o[1])), L::abs(o[2])), L::set1(vyxBVHMarginFraction));
        for (int a = 0; a < 3; ++a) {
            const V inv = L::div(L::set1(1.0f), d[a]);
            if (L::less(L::abs(inv), L::set1(INFINITY)) != allLanes || L::signs(d[a]) != (negative[a] ? allLanes : 0u))
                return false;
            const V nearOrigin = negative[a] ? L::sub(o[a], margin) : L::add(o[a], margin);
            const V farOrigin = negative[a] ? L::add(o[a], margin) : L::sub(o[a], margin);
            L::store(p.inv[a] + group, inv);
            L::store(p.nearOrigin[a] + group, nearOrigin);
            L::store(p.farOrigin[a] + group, farOrigin);
            invLow[a] = group == 0 ? inv : L::min(invLow[a], inv);
            invHigh[a] = group == 0 ? inv : L::max(invHigh[a], inv);
            nearBound[a] = group == 0    ? nearOrigin
                           : negative[a] ? L::min(nearBound[a], nearOrigin)
                                         : L::max(nearBound[a], nearOrigin);
            farBound[a] = group == 0    ? farOrigin
                          : negative[a] ? L::max(farBound[a], farOrigin)
                                        : L::min(farBound[a], farOrigin);
            apart = L::max(apart, L::abs(L::sub(o[a], o0[a])));
        }
        const V x = L::sub(L::mul(d[1], d0[2]), L::mul(d[2], d0[1]));
        const V y = L::sub(L::mul(d[2], d0[0]), L::mul(d[0], d0[2]));
        const V z = L::sub(L::mul(d[0], d0[1]), L::mul(d[1], d0[0]));
        const V across = L::add(L::add(L::mul(x, x), L::mul(y, y)), L::mul(z, z));
        const V length = L::add(L::add(L::mul(d[0], d[0]), L::mul(d[1], d[1])), L::mul(d[2], d[2]));
        sine = L::max(sine, L::div(across, length));
    }
    float reach = 0.0f, first = 0.0f;
    for (int a = 0; a < 3; ++a) {
        const float o = rays.origin[a][0], d = rays.direction[a][0];
        const float far = std::max(std::fabs(bvh.lower[a] - o), std::fabs(bvh.upper[a] - o));
        reach += far * far;
        first += d * d;
    }
    const float spread = std::sqrt(L::highest(sine) / first), distance = L::highest(apart);
    // Not finite (a huge coordinate) fails the comparison: the rays then walk alone.
    if (!(spread * (std::sqrt(reach) + distance) + 2.0f * distance <= bvh.leafSize))
        return false;
    p.count = count;
    p.octant = 0;
    for (int a = 0; a < 3; ++a) {
        p.octant |= negative[a] ? 1 << a : 0;
        p.invLow[a] = L::set1(L::lowest(invLow[a]));
        p.invHigh[a] = L::set1(L::highest(invHigh[a]));
        p.box.nearOrigin[a] = L::set1(negative[a] ? L::lowest(nearBound[a]) : L::highest(nearBound[a]));
        p.box.farOrigin[a] = L::set1(negative[a] ? L::highest(farBound[a]) : L::lowest(farBound[a]));
    }
    for (int r = 0; r < count; ++r) {
        for (int a = 0; a < 3; ++a) {
            p.rays[r].origin[a] = _mm_set1_ps(rays.origin[a][r]);
            p.rays[r].direction[a] = _mm_set1_ps(rays.direction[a][r]);
        }
    }
    return true;
}

// The least entry distance of any ray of the packet into the node's boxes, and the mask
// of boxes some ray may meet before limit (the greatest of the rays' limits).
template <int W, int kOctant>
inline unsigned meetBoxesPacket(const vyxBVHNodeOf<W>& node, const PacketSetup<W>& p, float limit, float* dist) {
    using L = Lanes<W>;
    const float* base = &node.lower[0][0];
    typename L::V tnear = L::zero(), tfar = L::set1(limit);
    for (int a = 0; a < 3; ++a) {
        typename L::V nearSides = L::sub(L::load(base + nearPlanes<W>(kOctant, a)), p.box.nearOrigin[a]);
        typename L::V farSides = L::sub(L::load(base + farPlanes<W>(kOctant, a)), p.box.farOrigin[a]);
        typename L::V tn = L::min(L::mul(nearSides, p.invLow[a]), L::mul(nearSides, p.invHigh[a]));
        typename L::V tf = L::max(L::mul(farSides, p.invLow[a]), L::mul(farSides, p.invHigh[a]));
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

// The rays of the packet that meet the box in slot `slot` of node before their limits
// (limits[r]; kFinished for a ray that is done), as a mask: ray r's bit is exactly what
// its own box test (meetBoxesIn) gives for that box, the rays side by side in the lanes.
template <int W, int kOctant>
inline unsigned raysMeetingBox(const vyxBVHNodeOf<W>& node, int slot, const PacketSetup<W>& p, const float* limits) {
    using L = Lanes<W>;
    const float* base = &node.lower[0][0] + slot;
    unsigned mask = 0;
    for (int group = 0; group < vyxPacketSize; group += W) {
        typename L::V tnear = L::zero(), tfar = L::load(limits + group);
        for (int a = 0; a < 3; ++a) {
            const typename L::V inv = L::load(p.inv[a] + group);
            typename L::V tn =
                L::mul(L::sub(L::set1(base[nearPlanes<W>(kOctant, a)]), L::load(p.nearOrigin[a] + group)), inv);
            typename L::V tf =
                L::mul(L::sub(L::set1(base[farPlanes<W>(kOctant, a)]), L::load(p.farOrigin[a] + group)), inv);
            tnear = L::max(tn, tnear);
            tfar = L::min(tf, tfar);
        }
        mask |= L::lessEqual(tnear, tfar) << group;
    }
    return mask & ((1u << p.count) - 1u);
}

// A deferred child of the packet walk, with the rays that may meet it.
struct PacketEntry {
    int32_t ref;
    float tnear;
    unsigned rays;
};

// The walk of a packet: from the root, down the nearest child the packet may meet (any
// with kNearestFirst false; the test of meetBoxesPacket, with the greatest of the rays'
// limits), the others deferred. A leaf is met only by the rays whose own box test passes
// its box, and only those test its triangles: leaf(leaf, rays) with the mask of them.
// limits[r] is ray r's limit, which leaf narrows (kFinished once the ray is done); the
// walk ends when every ray is done.
template <int W, int kOctant, bool kNearestFirst, typename Leaf>
void walkPacket(const vyxBVH& bvh, const PacketSetup<W>& p, float* limits, Leaf leaf) {
    alignas(32) float lanes[vyxPacketSize];
    for (int r = 0; r < vyxPacketSize; ++r)
        lanes[r] = r < p.count ? limits[r] : kFinished;
    const vyxBVHNodeOf<W>* nodes = nodesOf<W>(bvh);
    PacketEntry stack[vyxBVHStackSize];
    int depth = 0;
    float limit = greatest(lanes, vyxPacketSize);
    int32_t ref = bvh.root;
    unsigned active = (1u << p.count) - 1u; // the rays not done
    unsigned rays = active;
    for (;;) {
        while (ref >= 0) {
            VYX_ASSERT_LT(ref, bvh.nodeCount);
            const vyxBVHNodeOf<W>& node = nodes[ref];
            alignas(32) float dist[W];
            unsigned hit = meetBoxesPacket<W, kOctant>(node, p, limit, dist);
            PacketEntry met[W];
            int n = 0;
            for (; hit != 0; hit &= hit - 1) {
                const int s = __builtin_ctz(hit);
                const unsigned meeting = node.child[s] < 0 ? raysMeetingBox<W, kOctant>(node, s, p, lanes) : rays;
                if (meeting != 0)
                    met[n++] = PacketEntry{node.child[s], dist[s], meeting};
            }
            if (n == 0) {
                ref = 0;
                break;
            }
            if (kNearestFirst) {
                // Farthest first, so that the nearer are taken back first.
                for (int i = 1; i < n; ++i)
                    for (int j = i; j > 0 && met[j - 1].tnear < met[j].tnear; --j) {
                        PacketEntry swap = met[j];
                        met[j] = met[j - 1];
                        met[j - 1] = swap;
                    }
            }
            VYX_ASSERT_LE(depth + n - 1, vyxBVHStackSize);
            for (int i = 0; i < n - 1; ++i)
                stack[depth++] = met[i];
            ref = met[n - 1].ref;
            rays = met[n - 1].rays;
        }
        if (ref < 0) {
            VYX_ASSERT(~ref >= 0 && ~ref < bvh.leafCount);
            rays &= active;
            leaf(bvh.leaves[~ref], rays, lanes);
            for (; rays != 0; rays &= rays - 1)
                if (lanes[__builtin_ctz(rays)] == kFinished)
                    active &= ~(rays & -rays);
            if (active == 0)
                break;
            limit = greatest(lanes, vyxPacketSize);
        }
        // Take the next deferred entry that can still hold a hit within some ray's limit.
        ref = 0;
        while (depth > 0) {
            const PacketEntry e = stack[--depth];
            if (e.tnear <= limit && (e.rays & active) != 0) {
                ref = e.ref;
                rays = e.rays;
                break;
            }
        }
        if (ref == 0)
            break;
    }
    for (int r = 0; r < p.count; ++r)
        limits[r] = lanes[r];
}

// Ray r of a packet, for the single-ray walk.
inline void packetRay(const vyxRayPacket& rays, int r, float origin[3], float direction[3]) {
    for (int a = 0; a < 3; ++a) {
        origin[a] = rays.origin[a][r];
        direction[a] = rays.direction[a][r];
    }
}

template <int W>
void nearestPacket(const vyxBVH& bvh, const vyxRayPacket& rays, vyxTraceResult* results) {
    const int count = rays.count;
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    PacketSetup<W> p;
    if (count == 1 || bvh.leafCount == 0 || !setUpPacket(bvh, rays, p)) {
        for (int r = 0; r < count; ++r) {
            float origin[3], direction[3];
            packetRay(rays, r, origin, direction);
            results[r] = nearestOne<W>(bvh, origin, direction, rays.limit[r], nullptr);
        }
        return;
    }
    float limits[vyxPacketSize] = {};
    for (int r = 0; r < count; ++r) {
        VYX_ASSERT_GT(rays.limit[r], 0.0f);
        results[r] = missResult();
        limits[r] = rays.limit[r];
    }
    const auto testLeafRays = [&](const vyxBVHLeaf& leaf, unsigned walking, float* lanes) {
        for (; walking != 0; walking &= walking - 1) {
            const int r = __builtin_ctz(walking);
            keepNearest(leaf, p.rays[r], results[r], lanes[r]);
        }
    };
    inOctant(p.octant,
             [&](auto octant) { walkPacket<W, decltype(octant)::value, true>(bvh, p, limits, testLeafRays); });
}

template <int W>
void occludedPacket(const vyxBVH& bvh, const vyxRayPacket& rays, vyxOcclusion* results) {
    const int count = rays.count;
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    PacketSetup<W> p;
    if (count == 1 || bvh.leafCount == 0 || !setUpPacket(bvh, rays, p)) {
        for (int r = 0; r < count; ++r) {
            float origin[3], direction[3];
            packetRay(rays, r, origin, direction);
            results[r] = occludedOne<W>(bvh, origin, direction, rays.limit[r]);
        }
        return;
    }
    float limits[vyxPacketSize] = {};
    bool beyond[vyxPacketSize];
    for (int r = 0; r < count; ++r) {
        VYX_ASSERT_GT(rays.limit[r], 0.0f);
        results[r] = OcclusionNone;
        limits[r] = rays.limit[r];
        beyond[r] = false;
    }
    // A ray stopped at t = 0 is done: its limit becomes kFinished, so it meets no more
    // boxes, and once every ray is done the walk ends.
    const auto testLeafRays = [&](const vyxBVHLeaf& leaf, unsigned walking, float* lanes) {
        for (; walking != 0; walking &= walking - 1) {
            const int r = __builtin_ctz(walking);
            if (occludedAtZero(leaf, p.rays[r], lanes[r], beyond[r])) {
                results[r] = OcclusionAtZero;
                lanes[r] = kFinished;
            }
        }
    };
    inOctant(p.octant,
             [&](auto octant) { walkPacket<W, decltype(octant)::value, false>(bvh, p, limits, testLeafRays); });
    for (int r = 0; r < count; ++r)
        if (results[r] != OcclusionAtZero && beyond[r])
            results[r] = OcclusionBeyond;
}

} // namespace
