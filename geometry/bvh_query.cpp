// Walking the four-wide hierarchy: nearest-hit and occlusion queries for one ray and for
// packets of rays, with SSE box and triangle tests (baseline x86-64).

#include <emmintrin.h>

#include <cfloat>
#include <cmath>
#include <cstddef>

#include "geometry/bvh.h"
#include "util/assert.h"

static_assert(offsetof(vyxBVHNode, lower) == 0 && offsetof(vyxBVHNode, upper) == 48,
              "the box test reads the planes at fixed offsets");

namespace {

// What the box and triangle tests of one ray need. A direction component with its sign
// bit set makes the ray enter a box through its upper plane on that axis; nodes keep
// lower planes at byte 16 a, upper ones at 48 + 16 a. The origin is moved by the ray's
// share of the widening so that both planes move outward (entry toward the ray, exit
// away). A zero component gives an infinite inverse: the slab then either holds the
// origin (no constraint) or not (no entry).
struct RaySetup {
    int nearOffset[3], farOffset[3];
    __m128 inv[3], nearOrigin[3], farOrigin[3];
    __m128 origin[3], direction[3];
};

// lanes ? a : b, bit for bit.
inline __m128 select(__m128 lanes, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(lanes, a), _mm_andnot_ps(lanes, b));
}

void setUpRay(const float origin[3], const float direction[3], RaySetup& ray) {
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
        float size = std::fabs(origin[a]);
        largest = size > largest ? size : largest;
    }
    const float margin = largest * vyxBVHMarginFraction;
    for (int a = 0; a < 3; ++a) {
        // The sign bit, not a comparison: a negative zero has an inverse of -inf, which
        // meets the planes the other way round from +inf.
        bool negative = std::signbit(direction[a]);
        ray.nearOffset[a] = (negative ? 48 : 0) + 16 * a;
        ray.farOffset[a] = (negative ? 0 : 48) + 16 * a;
        ray.inv[a] = _mm_set1_ps(1.0f / direction[a]);
        ray.nearOrigin[a] = _mm_set1_ps(negative ? origin[a] - margin : origin[a] + margin);
        ray.farOrigin[a] = _mm_set1_ps(negative ? origin[a] + margin : origin[a] - margin);
        ray.origin[a] = _mm_set1_ps(origin[a]);
        ray.direction[a] = _mm_set1_ps(direction[a]);
    }
}

// The ray's entry distances into the node's four boxes (clamped to 0 from below), and
// the mask of boxes it meets before limit. A NaN product (a zero distance times an
// infinite inverse) is passed over by putting it first in min and max.
inline unsigned meetBoxes(const vyxBVHNode& node, const RaySetup& ray, float limit, __m128& entry) {
    const char* base = reinterpret_cast<const char*>(&node);
    __m128 tnear = _mm_setzero_ps(), tfar = _mm_set1_ps(limit);
    for (int a = 0; a < 3; ++a) {
        __m128 nearPlanes = _mm_load_ps(reinterpret_cast<const float*>(base + ray.nearOffset[a]));
        __m128 farPlanes = _mm_load_ps(reinterpret_cast<const float*>(base + ray.farOffset[a]));
        __m128 tn = _mm_mul_ps(_mm_sub_ps(nearPlanes, ray.nearOrigin[a]), ray.inv[a]);
        __m128 tf = _mm_mul_ps(_mm_sub_ps(farPlanes, ray.farOrigin[a]), ray.inv[a]);
        tnear = _mm_max_ps(tn, tnear);
        tfar = _mm_min_ps(tf, tfar);
    }
    entry = tnear;
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(tnear, tfar)));
}

// The triangle test of vyxTestTrace on the leaf's four lanes: the same operations in the
// same order, so the same bits. Returns the mask of lanes hit with t <= limit, and t and
// the weights of every lane.
inline unsigned testLeaf(const vyxBVHLeaf& leaf, const RaySetup& ray, float limit, __m128& t, __m128& w0, __m128& w1,
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
inline void keepNearest(const vyxBVHLeaf& leaf, const RaySetup& ray, vyxTraceResult& best, float& limit) {
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

struct Entry {
    int32_t ref;
    float tnear;
};

// The children met (mask hit, entry distances dist): the nearest is returned to go on
// with, the others are deferred, farthest first so that the nearer are taken back first.
inline int32_t descend(const vyxBVHNode& node, unsigned hit, const float dist[4], Entry* stack, int& depth) {
    VYX_ASSERT(hit != 0 && depth + vyxBVHWidth - 1 <= vyxBVHStackSize);
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
    Entry met[vyxBVHWidth];
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

template <bool kCount>
vyxTraceResult nearest(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance,
                       vyxBVHVisits* visits) {
    VYX_ASSERT_GT(maxDistance, 0.0f);
    vyxTraceResult best = vyxMissResult();
    if (bvh.leafCount == 0)
        return best;
    // Hits count when t < limit: the best so far once there is one, else maxDistance.
    float limit = maxDistance;
    RaySetup ray;
    setUpRay(origin, direction, ray);

    Entry stack[vyxBVHStackSize];
    int depth = 0;
    int32_t ref = bvh.root;
    for (;;) {
        bool reached = true;
        while (ref >= 0) {
            VYX_ASSERT(ref < bvh.nodeCount);
            const vyxBVHNode& node = bvh.nodes[ref];
            if (kCount)
                ++visits->nodes;
            __m128 entry;
            const unsigned hit = meetBoxes(node, ray, limit, entry);
            if (hit == 0) {
                reached = false;
                break;
            }
            alignas(16) float dist[4];
            _mm_store_ps(dist, entry);
            ref = descend(node, hit, dist, stack, depth);
        }
        if (reached) {
            VYX_ASSERT(~ref >= 0 && ~ref < bvh.leafCount);
            const vyxBVHLeaf& leaf = bvh.leaves[~ref];
            if (kCount) {
                ++visits->leaves;
                for (int lane = 0; lane < vyxBVHLeafSize; ++lane)
                    visits->triangles += leaf.triangle[lane] >= 0;
            }
            keepNearest(leaf, ray, best, limit);
        }
        // Take the next deferred entry that can still hold a nearer hit.
        for (;;) {
            if (depth == 0)
                return best;
            const Entry e = stack[--depth];
            if (e.tnear <= limit) {
                ref = e.ref;
                break;
            }
        }
    }
}

// The smallest positive float: once a hit beyond 0 is known, only hits at exactly t = 0
// (t < this) can still change the answer of an occlusion query.
const float kOnlyZero = FLT_TRUE_MIN;

// One leaf's verdict for an occlusion query: AtZero ends the query; a hit beyond 0 sets
// beyond and narrows limit to kOnlyZero.
inline bool occludedAtZero(const vyxBVHLeaf& leaf, const RaySetup& ray, float& limit, bool& beyond) {
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
        limit = kOnlyZero;
    }
    return false;
}

} // namespace

vyxTraceResult vyxTraverseBVH(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    return nearest<false>(bvh, origin, direction, maxDistance, nullptr);
}

vyxTraceResult vyxTraverseBVHCounted(const vyxBVH& bvh, const float origin[3], const float direction[3],
                                     float maxDistance, vyxBVHVisits& visits) {
    return nearest<true>(bvh, origin, direction, maxDistance, &visits);
}

vyxOcclusion vyxOccludedBVH(const vyxBVH& bvh, const float origin[3], const float direction[3], float maxDistance) {
    VYX_ASSERT_GT(maxDistance, 0.0f);
    if (bvh.leafCount == 0)
        return OcclusionNone;
    float limit = maxDistance;
    bool beyond = false;
    RaySetup ray;
    setUpRay(origin, direction, ray);

    Entry stack[vyxBVHStackSize];
    int depth = 0;
    int32_t ref = bvh.root;
    for (;;) {
        bool reached = true;
        while (ref >= 0) {
            VYX_ASSERT(ref < bvh.nodeCount);
            const vyxBVHNode& node = bvh.nodes[ref];
            __m128 entry;
            unsigned hit = meetBoxes(node, ray, limit, entry);
            if (hit == 0) {
                reached = false;
                break;
            }
            // Any order finds some hit; the first child met goes on, the rest wait.
            alignas(16) float dist[4];
            _mm_store_ps(dist, entry);
            ref = node.child[__builtin_ctz(hit)];
            for (hit &= hit - 1; hit != 0; hit &= hit - 1) {
                VYX_ASSERT(depth < vyxBVHStackSize);
                const int slot = __builtin_ctz(hit);
                stack[depth++] = Entry{node.child[slot], dist[slot]};
            }
        }
        if (reached) {
            VYX_ASSERT(~ref >= 0 && ~ref < bvh.leafCount);
            if (occludedAtZero(bvh.leaves[~ref], ray, limit, beyond))
                return OcclusionAtZero;
        }
        for (;;) {
            if (depth == 0)
                return beyond ? OcclusionBeyond : OcclusionNone;
            const Entry e = stack[--depth];
            if (e.tnear <= limit) {
                ref = e.ref;
                break;
            }
        }
    }
}

namespace {

// What the packet walk needs of rays that leave one point into one octant: each ray's
// own set-up for the triangle tests, and for the box tests the shared origin and
// entering sides with the least and greatest inverse direction on each axis. With one
// origin, a ray's entry distance on an axis is (plane - origin) times its inverse, so
// those two products bound every ray's: a box no ray can meet fails the test, and a box
// some ray meets passes it (others may pass too; the triangle tests stay per ray).
struct PacketSetup {
    int count;
    RaySetup rays[vyxPacketSize];
    int nearOffset[3], farOffset[3];
    __m128 nearOrigin[3], farOrigin[3];
    __m128 invLow[3], invHigh[3];
};

// Sets up the packet; false when its rays do not share the origin and the sign of each
// direction component, or some component is zero (the single-ray walk then serves).
bool setUpPacket(int count, const float origins[][3], const float directions[][3], PacketSetup& p) {
    p.count = count;
    for (int r = 0; r < count; ++r) {
        for (int a = 0; a < 3; ++a)
            if (origins[r][a] != origins[0][a] || std::signbit(origins[r][a]) != std::signbit(origins[0][a]) ||
                directions[r][a] == 0.0f || std::signbit(directions[r][a]) != std::signbit(directions[0][a]))
                return false;
        setUpRay(origins[r], directions[r], p.rays[r]);
    }
    for (int a = 0; a < 3; ++a) {
        p.nearOffset[a] = p.rays[0].nearOffset[a];
        p.farOffset[a] = p.rays[0].farOffset[a];
        p.nearOrigin[a] = p.rays[0].nearOrigin[a];
        p.farOrigin[a] = p.rays[0].farOrigin[a];
        __m128 low = p.rays[0].inv[a], high = low;
        for (int r = 1; r < count; ++r) {
            low = _mm_min_ps(low, p.rays[r].inv[a]);
            high = _mm_max_ps(high, p.rays[r].inv[a]);
        }
        p.invLow[a] = low;
        p.invHigh[a] = high;
    }
    return true;
}

// The least entry distance of any ray of the packet into the node's four boxes, and the
// mask of boxes some ray may meet before limit (the greatest of the rays' limits).
inline unsigned meetBoxesPacket(const vyxBVHNode& node, const PacketSetup& p, float limit, __m128& entry) {
    const char* base = reinterpret_cast<const char*>(&node);
    __m128 tnear = _mm_setzero_ps(), tfar = _mm_set1_ps(limit);
    for (int a = 0; a < 3; ++a) {
        __m128 nearPlanes =
            _mm_sub_ps(_mm_load_ps(reinterpret_cast<const float*>(base + p.nearOffset[a])), p.nearOrigin[a]);
        __m128 farPlanes =
            _mm_sub_ps(_mm_load_ps(reinterpret_cast<const float*>(base + p.farOffset[a])), p.farOrigin[a]);
        __m128 tn = _mm_min_ps(_mm_mul_ps(nearPlanes, p.invLow[a]), _mm_mul_ps(nearPlanes, p.invHigh[a]));
        __m128 tf = _mm_max_ps(_mm_mul_ps(farPlanes, p.invLow[a]), _mm_mul_ps(farPlanes, p.invHigh[a]));
        tnear = _mm_max_ps(tn, tnear);
        tfar = _mm_min_ps(tf, tfar);
    }
    entry = tnear;
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(tnear, tfar)));
}

inline float greatest(const float* values, int count) {
    float g = values[0];
    for (int r = 1; r < count; ++r)
        g = values[r] > g ? values[r] : g;
    return g;
}

// The shared walk: leaf(leaf) tests the rays still in question and returns the greatest
// limit of those (a negative one when none is left).
template <typename Leaf>
void walkPacket(const vyxBVH& bvh, const PacketSetup& p, float limit, Leaf leaf) {
    Entry stack[vyxBVHStackSize];
    int depth = 0;
    int32_t ref = bvh.root;
    for (;;) {
        bool reached = true;
        while (ref >= 0) {
            VYX_ASSERT(ref < bvh.nodeCount);
            const vyxBVHNode& node = bvh.nodes[ref];
            __m128 entry;
            const unsigned hit = meetBoxesPacket(node, p, limit, entry);
            if (hit == 0) {
                reached = false;
                break;
            }
            alignas(16) float dist[4];
            _mm_store_ps(dist, entry);
            ref = descend(node, hit, dist, stack, depth);
        }
        if (reached) {
            VYX_ASSERT(~ref >= 0 && ~ref < bvh.leafCount);
            limit = leaf(bvh.leaves[~ref]);
            if (limit < 0.0f)
                return;
        }
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

} // namespace

void vyxTraverseBVHPacket(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                          const float* maxDistances, vyxTraceResult* results) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    PacketSetup p;
    if (count == 1 || bvh.leafCount == 0 || !setUpPacket(count, origins, directions, p)) {
        for (int r = 0; r < count; ++r)
            results[r] = vyxTraverseBVH(bvh, origins[r], directions[r], maxDistances[r]);
        return;
    }
    float limits[vyxPacketSize] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int r = 0; r < count; ++r) {
        VYX_ASSERT_GT(maxDistances[r], 0.0f);
        results[r] = vyxMissResult();
        limits[r] = maxDistances[r];
    }
    walkPacket(bvh, p, greatest(limits, count), [&](const vyxBVHLeaf& leaf) {
        for (int r = 0; r < count; ++r)
            keepNearest(leaf, p.rays[r], results[r], limits[r]);
        return greatest(limits, count);
    });
}

void vyxOccludedBVHPacket(const vyxBVH& bvh, int count, const float origins[][3], const float directions[][3],
                          const float* maxDistances, vyxOcclusion* results) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    PacketSetup p;
    if (count == 1 || bvh.leafCount == 0 || !setUpPacket(count, origins, directions, p)) {
        for (int r = 0; r < count; ++r)
            results[r] = vyxOccludedBVH(bvh, origins[r], directions[r], maxDistances[r]);
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
    // A ray stopped at t = 0 is done: its limit becomes -1 and no box is met before it.
    walkPacket(bvh, p, greatest(limits, count), [&](const vyxBVHLeaf& leaf) {
        for (int r = 0; r < count; ++r)
            if (limits[r] > 0.0f && occludedAtZero(leaf, p.rays[r], limits[r], beyond[r])) {
                results[r] = OcclusionAtZero;
                limits[r] = -1.0f;
            }
        return greatest(limits, count);
    });
    for (int r = 0; r < count; ++r)
        if (results[r] != OcclusionAtZero && beyond[r])
            results[r] = OcclusionBeyond;
}
