#include "geometry/query.h"

#include <emmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "util/assert.h"

// Capacity of the walk's deferred-node stack: one entry per split level on the path,
// and the build keeps those below vyxBIHMaxSplitDepth. A hand-made deeper tree is still
// walked correctly (see below).
static const int kStackSize = 256;
static_assert(kStackSize > vyxBIHMaxSplitDepth, "the hierarchy's walk defers one node per split level");

bool vyxIntersectBox(const float boxMin[3], const float boxMax[3], const float origin[3], const float direction[3],
                     float& tnear, float& tfar) {
    // The three axes side by side: the same divisions as one axis at a time, with the
    // axes of a zero component (and NaN quotients, which never pass a comparison) left
    // out of the minimum and the maximum.
    const __m128 o = _mm_setr_ps(origin[0], origin[1], origin[2], 0.0f);
    const __m128 d = _mm_setr_ps(direction[0], direction[1], direction[2], 0.0f);
    const __m128 lo = _mm_setr_ps(boxMin[0], boxMin[1], boxMin[2], 0.0f);
    const __m128 hi = _mm_setr_ps(boxMax[0], boxMax[1], boxMax[2], 0.0f);
    const __m128 zero = _mm_setzero_ps();
    const __m128 positive = _mm_cmpgt_ps(d, zero);
    const __m128 used = _mm_cmpneq_ps(d, zero); // the padding lane has d = 0
    const __m128 exitPlane = _mm_or_ps(_mm_and_ps(positive, hi), _mm_andnot_ps(positive, lo));
    const __m128 entryPlane = _mm_or_ps(_mm_and_ps(positive, lo), _mm_andnot_ps(positive, hi));
    const __m128 infinity = _mm_set1_ps(INFINITY);
    __m128 exitT = _mm_div_ps(_mm_sub_ps(exitPlane, o), d);
    __m128 exitKept = _mm_and_ps(used, _mm_cmpord_ps(exitT, exitT));
    exitT = _mm_or_ps(_mm_and_ps(exitKept, exitT), _mm_andnot_ps(exitKept, infinity));
    alignas(16) float exits[4];
    _mm_store_ps(exits, exitT);
    tfar = INFINITY;
    for (int a = 0; a < 3; ++a)
        if (exits[a] < tfar)
            tfar = exits[a];

    int inside = _mm_movemask_ps(_mm_and_ps(_mm_cmple_ps(lo, o), _mm_cmple_ps(o, hi))) & 7;
    tnear = 0.0f;
    if (inside == 7)
        return true;
    __m128 entryT = _mm_div_ps(_mm_sub_ps(entryPlane, o), d);
    alignas(16) float entries[4];
    _mm_store_ps(entries, _mm_and_ps(used, entryT));
    for (int a = 0; a < 3; ++a)
        if (entries[a] > tnear)
            tnear = entries[a];
    return tnear <= tfar;
}

namespace {

// The state of one walk of the hierarchy's nodes: the ray, the best hit so far and the
// deferred far children with their intervals.
struct NodeWalk {
    const vyxVec3& origin;
    const vyxVec3& direction;
    float o[3], d[3], inv[3];
    const vyxTriangle* triangles;
    float maxDistance; // < 0: unlimited
    vyxTraceResult best;
    const vyxBIHNode* stackNode[kStackSize];
    float stackNear[kStackSize];
    float stackFar[kStackSize];
    int depth;

    NodeWalk(const vyxVec3& rayOrigin, const vyxVec3& rayDirection, const vyxTriangle* tris, float limit)
        : origin(rayOrigin), direction(rayDirection), triangles(tris), maxDistance(limit), best(vyxMissResult()),
          depth(0) {
        const float oo[3] = {origin.x, origin.y, origin.z}, dd[3] = {direction.x, direction.y, direction.z};
        for (int a = 0; a < 3; ++a) {
            o[a] = oo[a];
            d[a] = dd[a];
            inv[a] = d[a] != 0.0f ? 1.0f / d[a] : 0.0f;
        }
    }

    // Keeps r as the best when it is a hit nearer than the best, or as near with a lower
    // triangle index (so the order of the walk never changes the result).
    void keep(const vyxTraceResult& r) {
        if (r.t >= 0.0f && (best.t < 0.0f || r.t < best.t || (r.t == best.t && r.triangle < best.triangle)))
            best = r;
    }

    // A leaf: its triangle's test, when the best so far does not already lie nearer than
    // the interval. r.t >= 0 is false for a NaN t (degenerate triangle).
    void testLeaf(const vyxBIHNode& node, float tnear) {
        if (best.t >= 0.0f && tnear > best.t)
            return;
        VYX_ASSERT(node.triangle >= 0);
        vyxTraceResult r = vyxTestTrace(triangles[node.triangle], o[0], o[1], o[2], d[0], d[1], d[2]);
        r.triangle = node.triangle;
        r.object = -1;
        if (maxDistance < 0.0f || r.t < maxDistance)
            keep(r);
    }
};

// Where a ray on [tnear, tfar] goes from an interior node: one child (`next`), both
// (nearChild first on [tnear, nearFar], farChild after on [farNear, tfar]), or none.
struct Step {
    const vyxBIHNode* next = nullptr;
    const vyxBIHNode* nearChild = nullptr;
    const vyxBIHNode* farChild = nullptr;
    float nearFar, farNear;
};

// The children of node a ray on [tnear, tfar] can meet, from the planes of the node's
// axis: the two clip planes and the extent of all its triangles.
Step stepInto(const NodeWalk& w, const vyxBIHNode& node, float tnear, float tfar) {
    Step s;
    s.nearFar = tfar;
    s.farNear = tnear;
    const int a = node.axis;
    if (w.d[a] == 0.0f) {
        // Parallel to the split planes: the origin's side decides.
        if (node.leftMax < w.o[a])
            s.next = node.right;
        else if (node.rightMin > w.o[a])
            s.next = node.left;
        else {
            s.nearChild = node.left;
            s.farChild = node.right;
        }
        return s;
    }
    const float tR = (node.rightMin - w.o[a]) * w.inv[a];
    const float tL = (node.leftMax - w.o[a]) * w.inv[a];
    const float tLo = (node.extentMin - w.o[a]) * w.inv[a];
    const float tHi = (node.extentMax - w.o[a]) * w.inv[a];
    // Along the ray the near child's triangles end at nearEnd and the far child's start
    // at farStart: the left child is the near one for a positive direction, the right one
    // for a negative.
    const bool up = w.d[a] > 0.0f;
    const float enter = up ? tLo : tHi, leave = up ? tHi : tLo;
    const float nearEnd = up ? tL : tR, farStart = up ? tR : tL;
    const vyxBIHNode* nearSide = up ? node.left : node.right;
    const vyxBIHNode* farSide = up ? node.right : node.left;
    const bool nearOnly = farStart > tfar, farOnly = nearEnd < tnear;
    if (tfar < enter || leave < tnear) {
        // the ray's interval misses every triangle of the node
    } else if (nearOnly && (up || !farOnly)) {
        // (When both hold, which only a gap between the children allows, a positive
        // direction goes on with the near child and a negative one with the far.)
        s.next = nearSide;
    } else if (farOnly) {
        s.next = farSide;
    } else {
        s.nearChild = nearSide;
        s.farChild = farSide;
        s.farNear = farStart > tnear ? farStart : tnear;
        s.nearFar = nearEnd < tfar ? nearEnd : tfar;
    }
    return s;
}

} // namespace

vyxTraceResult vyxTraverseBIH(const vyxVec3& origin, const vyxVec3& direction, float tnear, float tfar,
                              const vyxTriangle* triangles, float maxDistance, const vyxBIHNode& root) {
    NodeWalk w(origin, direction, triangles, maxDistance);
    const vyxBIHNode* node = &root;
    for (;;) {
        // Each pass handles `node` on [tnear, tfar] and leaves in `next` the child to go
        // on with (null = take the next deferred node from the stack).
        const vyxBIHNode* next = nullptr;
        if (node && node->isLeaf) {
            w.testLeaf(*node, tnear);
        } else if (node && !(maxDistance > 0.0f && tnear > maxDistance) && !(w.best.t >= 0.0f && w.best.t < tnear)) {
            const Step s = stepInto(w, *node, tnear, tfar);
            next = s.next;
            // Both sides: defer the far child, go on with the near one. A missing child
            // (after an empty-space cut) is never deferred: the walk goes on with the
            // other side at once, exactly as popping it would.
            if (!s.nearChild && s.farChild) {
                next = s.farChild;
                tnear = s.farNear;
            } else if (s.nearChild && !s.farChild) {
                next = s.nearChild;
                tfar = s.nearFar;
            } else if (s.nearChild && w.depth < kStackSize) {
                w.stackNode[w.depth] = s.farChild;
                w.stackNear[w.depth] = s.farNear;
                w.stackFar[w.depth] = tfar;
                ++w.depth;
                next = s.nearChild;
                tfar = s.nearFar;
            } else if (s.nearChild) {
                // Stack full (only a hand-made tree deeper than the build allows gets
                // here): finish the near child in a nested walk, then go on with the far
                // one, so the result stays the same. The nested walk may also return a hit
                // as near as the best, which wins on a lower index.
                float limit = maxDistance;
                if (w.best.t >= 0.0f && (limit < 0.0f || w.best.t < limit))
                    limit = std::nextafter(w.best.t, INFINITY);
                w.keep(vyxTraverseBIH(origin, direction, tnear, s.nearFar, triangles, limit, *s.nearChild));
                next = s.farChild;
                tnear = s.farNear;
            }
        }

        if (next) {
            node = next;
            continue;
        }
        if (w.depth == 0)
            return w.best;
        --w.depth;
        node = w.stackNode[w.depth];
        tnear = w.stackNear[w.depth];
        tfar = w.stackFar[w.depth];
    }
}

static bool finite3(const vyxVec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// vyxTransformRayInverse with its most common case, an identity transform, inline.
static inline void carryRay(vyxTransform& transform, vyxVec3& origin, vyxVec3& direction) {
    if (transform.inverseValid && transform.inverseIdentity) {
        const vyxVec3 zero{0.0f, 0.0f, 0.0f};
        origin = origin + zero;
        direction = (direction + zero) - zero;
        return;
    }
    vyxTransformRayInverse(transform, origin, direction);
}

// The walks count hits for t in [0, limit), a positive limit, FLT_MAX for none (see
// geometry/bvh.h); the queries here take the callers' maxDistance, < 0 for none. This is
// the one place that maps the one to the other; everything below it works with limits.
// Unlimited still ends below infinity: far from the scene t can overflow to inf, and a
// hit there is no hit (a caller's limit of +inf, which admits the same hits, stays as it
// is). A maxDistance of 0 or NaN stays as it is too: no t lies below it, so no hit counts.
static float walkLimit(float maxDistance) {
    const float limit = maxDistance < 0.0f ? FLT_MAX : maxDistance;
    VYX_ASSERT(!(limit < 0.0f));
    return limit;
}

namespace {

// A ray carried into a hierarchy's own space and cut to its bounds, ready for the walk.
struct BIHRay {
    vyxVec3 origin, direction;
    float o[3], d[3];
    float tnear, tfar;
    float limit; // hits count for t in [0, limit); positive
};

} // namespace

// Everything vyxTraceBIH does before the walk, with the walk's limit. Returns false when
// the ray cannot hit.
static bool prepareBIHRay(vyxBIH& bih, vyxVec3 origin, vyxVec3 direction, float limit, BIHRay& ray) {
    // No t lies below a limit of 0 (or NaN).
    if (!(limit > 0.0f) || bih.triangleCount <= 0 || !bih.triangles)
        return false;
    carryRay(bih.transform, origin, direction);
    // A non-finite ray could report a false t = 0 hit inside the triangle test, and a
    // zero direction can never hit: both miss.
    if (!finite3(origin) || !finite3(direction))
        return false;
    if (direction.x == 0.0f && direction.y == 0.0f && direction.z == 0.0f)
        return false;
    ray.origin = origin;
    ray.direction = direction;
    ray.o[0] = origin.x;
    ray.o[1] = origin.y;
    ray.o[2] = origin.z;
    ray.d[0] = direction.x;
    ray.d[1] = direction.y;
    ray.d[2] = direction.z;
    ray.limit = limit;
    // The nodes' walk starts inside the bounds of the corners. (The surface-area
    // hierarchy tests its own boxes, which also hold the few accepted points outside
    // them.)
    ray.tnear = 0.0f;
    ray.tfar = FLT_MAX;
    if (!bih.bvh.built)
        return vyxIntersectBox(bih.boundsMin, bih.boundsMax, ray.o, ray.d, ray.tnear, ray.tfar) && ray.tnear <= limit;
    return true;
}

// The walk of a prepared ray: through the surface-area hierarchy, which finds the same
// hit as the nodes themselves, faster, or through the nodes when it was not built.
static vyxTraceResult walkBIH(vyxBIH& bih, const BIHRay& ray) {
    if (bih.bvh.built)
        return vyxTraverseBVH(bih.bvh, ray.o, ray.d, ray.limit);
    return vyxTraverseBIH(ray.origin, ray.direction, ray.tnear, ray.tfar, bih.triangles, ray.limit, bih.root);
}

vyxTraceResult vyxTraceBIH(vyxBIH& bih, vyxVec3 origin, vyxVec3 direction, float maxDistance) {
    BIHRay ray;
    if (!prepareBIHRay(bih, origin, direction, walkLimit(maxDistance), ray))
        return vyxMissResult();
    return walkBIH(bih, ray);
}

// Whether the mesh's world box stands for its present placement.
static bool worldBoundsStand(const vyxMesh& mesh) {
    return mesh.worldBoundsSet && std::memcmp(mesh.boundsMatrix, mesh.transform.matrix, sizeof(mesh.boundsMatrix)) == 0;
}

// True when the world-space ray cannot meet anything the mesh's structure reports: it
// misses the mesh's world box (which must stand, worldBoundsStand; grown by the room
// for this origin) on the side t >= 0. A NaN in the ray makes no decision here (its
// carried form misses anyway).
static bool missesWorldBox(const vyxMesh& mesh, const vyxVec3& origin, const vyxVec3& direction) {
    const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
    const float reach = mesh.worldRoom * std::max({std::fabs(o[0]), std::fabs(o[1]), std::fabs(o[2])});
    float lowers[3], uppers[3];
    bool inside = true;
    for (int a = 0; a < 3; ++a) {
        lowers[a] = mesh.worldLower[a] - reach;
        uppers[a] = mesh.worldUpper[a] + reach;
        inside = inside && o[a] >= lowers[a] && o[a] <= uppers[a];
    }
    // The common case of a ray from inside (a shadow ray leaving a surface of the mesh).
    if (inside)
        return false;
    float tnear = 0.0f, tfar = INFINITY;
    for (int a = 0; a < 3; ++a) {
        const float lower = lowers[a], upper = uppers[a];
        if (d[a] == 0.0f) {
            if (o[a] < lower || o[a] > upper)
                return true;
            continue;
        }
        const float inverse = 1.0f / d[a];
        float t0 = (lower - o[a]) * inverse, t1 = (upper - o[a]) * inverse;
        if (t0 > t1)
            std::swap(t0, t1);
        tnear = std::max(tnear, t0);
        tfar = std::min(tfar, t1);
    }
    return tnear > tfar;
}

// A world-space ray carried into the mesh's structure and prepared for its walk with the
// walk's limit; false when it cannot hit the mesh. boxed: the mesh's world box stands
// (worldBoundsStand), so a ray that misses it is turned away first.
static bool prepareMeshRay(vyxMesh& mesh, bool boxed, vyxVec3 origin, vyxVec3 direction, float limit, BIHRay& ray) {
    if (!mesh.bih || !(limit > 0.0f) || (boxed && missesWorldBox(mesh, origin, direction)))
        return false;
    carryRay(mesh.transform, origin, direction);
    return prepareBIHRay(*mesh.bih, origin, direction, limit, ray);
}

// The nearest hit on one mesh within the walk's limit.
static vyxTraceResult traceMesh(vyxMesh& mesh, vyxVec3 origin, vyxVec3 direction, float limit) {
    BIHRay ray;
    if (!prepareMeshRay(mesh, worldBoundsStand(mesh), origin, direction, limit, ray))
        return vyxMissResult();
    return walkBIH(*mesh.bih, ray);
}

vyxTraceResult vyxTraceMesh(vyxMesh& mesh, vyxVec3 origin, vyxVec3 direction, float maxDistance) {
    return traceMesh(mesh, origin, direction, walkLimit(maxDistance));
}

// The limit for the next mesh: only hits nearer than the best so far can win (ties keep
// the earlier mesh).
static float meshLimit(float limit, const vyxTraceResult& best) {
    return best.t >= 0.0f && best.t < limit ? best.t : limit;
}

// Keeps hit as the scene's best when it is nearer; ties keep the earlier mesh.
static void keepNearer(const vyxTraceResult& hit, int32_t object, vyxTraceResult& best) {
    if (hit.t >= 0.0f && (best.t < 0.0f || hit.t < best.t)) {
        best = hit;
        best.object = object;
    }
}

vyxTraceResult vyxTraceScene(const vyxScene& scene, const vyxVec3& origin, const vyxVec3& direction,
                             float maxDistance) {
    const float limit = walkLimit(maxDistance);
    vyxTraceResult best = vyxMissResult();
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (!mesh)
            continue;
        keepNearer(traceMesh(*mesh, origin, direction, meshLimit(limit, best)), i, best);
    }
    return best;
}

namespace {

// Four lanes of floats and the few operations the carrying of rays needs.
inline __m128 select4(__m128 keep, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(keep, a), _mm_andnot_ps(keep, b));
}
inline __m128 abs4(__m128 a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
inline __m128 finite4(__m128 a) { return _mm_cmplt_ps(abs4(a), _mm_set1_ps(INFINITY)); }

// Four rays, component by component.
struct Rays4 {
    __m128 o[3], d[3];
};

// carryRay of four rays at once: the same operations lane by lane, so the same bits. The
// transform's inverse must be cached (inverseValid).
void carryRays(const vyxTransform& transform, Rays4& r) {
    const __m128 zero = _mm_setzero_ps();
    if (transform.inverseIdentity) {
        for (int a = 0; a < 3; ++a) {
            r.o[a] = _mm_add_ps(r.o[a], zero);
            r.d[a] = _mm_sub_ps(_mm_add_ps(r.d[a], zero), zero);
        }
        return;
    }
    const float* m = transform.inverse;
    __m128 o[3], d[3];
    for (int row = 0; row < 3; ++row) {
        const __m128 m0 = _mm_set1_ps(m[4 * row]), m1 = _mm_set1_ps(m[4 * row + 1]), m2 = _mm_set1_ps(m[4 * row + 2]),
                     m3 = _mm_set1_ps(m[4 * row + 3]);
        o[row] = _mm_add_ps(
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(m0, r.o[0]), _mm_mul_ps(m1, r.o[1])), _mm_mul_ps(m2, r.o[2])), m3);
        d[row] = _mm_sub_ps(
            _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(m0, r.d[0]), _mm_mul_ps(m1, r.d[1])), _mm_mul_ps(m2, r.d[2])),
                       m3),
            _mm_set1_ps(transform.inverseOrigin[row]));
    }
    for (int a = 0; a < 3; ++a) {
        r.o[a] = o[a];
        r.d[a] = d[a];
    }
}

// The lanes of four world-space rays that may meet something of the mesh, by its world
// box (which must stand): the test of missesWorldBox lane by lane, where a lane that
// test would leave undecided (a NaN along the way) is kept.
__m128 nearWorldBox(const vyxMesh& mesh, const Rays4& r) {
    const __m128 reach =
        _mm_mul_ps(_mm_set1_ps(mesh.worldRoom), _mm_max_ps(_mm_max_ps(abs4(r.o[0]), abs4(r.o[1])), abs4(r.o[2])));
    __m128 inside = _mm_castsi128_ps(_mm_set1_epi32(-1)), outside = _mm_setzero_ps();
    __m128 tnear = _mm_setzero_ps(), tfar = _mm_set1_ps(INFINITY);
    for (int a = 0; a < 3; ++a) {
        const __m128 lower = _mm_sub_ps(_mm_set1_ps(mesh.worldLower[a]), reach);
        const __m128 upper = _mm_add_ps(_mm_set1_ps(mesh.worldUpper[a]), reach);
        const __m128 within = _mm_and_ps(_mm_cmpge_ps(r.o[a], lower), _mm_cmple_ps(r.o[a], upper));
        inside = _mm_and_ps(inside, within);
        // Parallel to the slab: outside it, no hit; inside it, no constraint.
        const __m128 parallel = _mm_cmpeq_ps(r.d[a], _mm_setzero_ps());
        outside = _mm_or_ps(outside, _mm_andnot_ps(within, parallel));
        const __m128 inverse = _mm_div_ps(_mm_set1_ps(1.0f), r.d[a]);
        const __m128 t0 = _mm_mul_ps(_mm_sub_ps(lower, r.o[a]), inverse);
        const __m128 t1 = _mm_mul_ps(_mm_sub_ps(upper, r.o[a]), inverse);
        const __m128 used = _mm_andnot_ps(parallel, _mm_cmpord_ps(t0, t1));
        tnear = select4(used, _mm_max_ps(tnear, _mm_min_ps(t0, t1)), tnear);
        tfar = select4(used, _mm_min_ps(tfar, _mm_max_ps(t0, t1)), tfar);
    }
    const __m128 misses = _mm_or_ps(outside, _mm_cmpgt_ps(tnear, tfar));
    return _mm_or_ps(inside, _mm_andnot_ps(misses, _mm_castsi128_ps(_mm_set1_epi32(-1))));
}

// Rays carried into one mesh's structure as a packet of its walk; `index` maps them back
// to their place in the caller's list.
struct MeshPacket {
    vyxRayPacket rays;
    int index[vyxPacketSize];
};

// Prepares the rays (world space, count of them, limit unused; the lanes up to the next
// multiple of four hold finite numbers) that can meet mesh within
// their limits, as prepareMeshRay does one by one (a ray with a limit of 0 is left out:
// no hit can count for it); false when none can. The mesh's structure must be built and
// its transforms' inverses cached.
bool preparePacket(vyxMesh& mesh, const vyxRayPacket& world, const float* limits, MeshPacket& p) {
    vyxBIH& bih = *mesh.bih;
    p.rays.count = 0;
    if (bih.triangleCount <= 0 || !bih.triangles)
        return false;
    const bool boxed = worldBoundsStand(mesh);
    for (int group = 0; group < world.count; group += 4) {
        Rays4 r;
        for (int a = 0; a < 3; ++a) {
            r.o[a] = _mm_load_ps(world.origin[a] + group);
            r.d[a] = _mm_load_ps(world.direction[a] + group);
        }
        const __m128 present =
            _mm_cmplt_ps(_mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f), _mm_set1_ps(static_cast<float>(world.count - group)));
        __m128 keep = _mm_and_ps(present, _mm_cmpgt_ps(_mm_load_ps(limits + group), _mm_setzero_ps()));
        if (boxed)
            keep = _mm_and_ps(keep, nearWorldBox(mesh, r));
        if (_mm_movemask_ps(keep) == 0)
            continue;
        carryRays(mesh.transform, r);
        carryRays(bih.transform, r);
        // A non-finite ray could report a false t = 0 hit inside the triangle test, and a
        // zero direction can never hit: both miss (as in prepareBIHRay).
        __m128 zero = _mm_castsi128_ps(_mm_set1_epi32(-1));
        for (int a = 0; a < 3; ++a) {
            keep = _mm_and_ps(keep, _mm_and_ps(finite4(r.o[a]), finite4(r.d[a])));
            zero = _mm_and_ps(zero, _mm_cmpeq_ps(r.d[a], _mm_setzero_ps()));
        }
        unsigned lanes = static_cast<unsigned>(_mm_movemask_ps(_mm_andnot_ps(zero, keep)));
        alignas(16) float o[3][4], d[3][4];
        for (int a = 0; a < 3; ++a) {
            _mm_store_ps(o[a], r.o[a]);
            _mm_store_ps(d[a], r.d[a]);
        }
        for (; lanes != 0; lanes &= lanes - 1) {
            const int lane = __builtin_ctz(lanes), k = p.rays.count++;
            for (int a = 0; a < 3; ++a) {
                p.rays.origin[a][k] = o[a][lane];
                p.rays.direction[a][k] = d[a][lane];
            }
            p.rays.limit[k] = limits[group + lane];
            p.index[k] = group + lane;
        }
    }
    return p.rays.count > 0;
}

// Whether a mesh's rays can be carried as a packet: its structure built and both
// transforms' inverses cached (the queries' callers prepare them; otherwise the rays go
// one by one, which fills the caches).
bool packetReady(const vyxMesh& mesh) {
    return mesh.bih->bvh.built && mesh.transform.inverseValid && mesh.bih->transform.inverseValid;
}

// For a mesh whose structure cannot walk packets: each ray of world on its own, in the
// mesh's frame and within limits[r], handed to visit(r, ray) when it may reach the mesh.
template <typename Visit>
void forEachMeshRay(vyxMesh& mesh, const vyxRayPacket& world, const float* limits, Visit&& visit) {
    const bool boxed = worldBoundsStand(mesh);
    for (int r = 0; r < world.count; ++r) {
        const vyxVec3 origin = {world.origin[0][r], world.origin[1][r], world.origin[2][r]};
        const vyxVec3 direction = {world.direction[0][r], world.direction[1][r], world.direction[2][r]};
        BIHRay ray;
        if (prepareMeshRay(mesh, boxed, origin, direction, limits[r], ray))
            visit(r, ray);
    }
}

// Nearest hits over the meshes (only those not marked opaque when translucentOnly) for
// rays within limit, walked together where the mesh's structure allows.
void tracePacket(const vyxScene& scene, const vyxRayPacket& world, float limit, bool translucentOnly,
                 vyxTraceResult* results) {
    const int count = world.count;
    for (int r = 0; r < count; ++r)
        results[r] = vyxMissResult();
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (!mesh || (translucentOnly && mesh->opaque) || !mesh->bih)
            continue;
        alignas(16) float limits[vyxPacketSize] = {};
        for (int r = 0; r < count; ++r)
            limits[r] = meshLimit(limit, results[r]);
        if (!packetReady(*mesh)) {
            forEachMeshRay(*mesh, world, limits,
                           [&](int r, const BIHRay& ray) { keepNearer(walkBIH(*mesh->bih, ray), i, results[r]); });
            continue;
        }
        MeshPacket p;
        if (!preparePacket(*mesh, world, limits, p))
            continue;
        vyxTraceResult hits[vyxPacketSize];
        vyxTraverseBVHPacket(mesh->bih->bvh, p.rays, hits);
        for (int k = 0; k < p.rays.count; ++k)
            keepNearer(hits[k], i, results[p.index[k]]);
    }
}

// The occlusion class a nearest hit implies.
vyxOcclusion occlusionOf(const vyxTraceResult& hit) {
    return hit.t < 0.0f ? OcclusionNone : hit.t == 0.0f ? OcclusionAtZero : OcclusionBeyond;
}

// The limit for an opaque mesh at place i of the scene, for a ray whose nearest hit over
// the other meshes is nearest: only a hit nearer than that changes the answer, or one as
// near on an earlier mesh (which wins the tie). Once a hit beyond 0 is known, only a
// hit at t = 0 can (vyxBVHOnlyZero).
float opaqueLimit(int32_t i, float limit, const vyxTraceResult& nearest, bool beyond) {
    if (beyond)
        return vyxBVHOnlyZero;
    if (nearest.t < 0.0f)
        return limit;
    return i < nearest.object ? std::nextafter(nearest.t, INFINITY) : nearest.t;
}

} // namespace

vyxOcclusion vyxOccludedScene(const vyxScene& scene, const vyxVec3& origin, const vyxVec3& direction, float maxDistance,
                              vyxTraceResult& nearest) {
    const float limit = walkLimit(maxDistance);
    nearest = vyxMissResult();
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (mesh && !mesh->opaque)
            keepNearer(traceMesh(*mesh, origin, direction, meshLimit(limit, nearest)), i, nearest);
    }
    if (nearest.t == 0.0f)
        return OcclusionAtZero;
    bool beyond = false;
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        BIHRay ray;
        if (!mesh || !mesh->opaque ||
            !prepareMeshRay(*mesh, worldBoundsStand(*mesh), origin, direction, opaqueLimit(i, limit, nearest, beyond),
                            ray))
            continue;
        const vyxOcclusion found = mesh->bih->bvh.built ? vyxOccludedBVH(mesh->bih->bvh, ray.o, ray.d, ray.limit)
                                                        : occlusionOf(walkBIH(*mesh->bih, ray));
        if (found == OcclusionAtZero)
            return OcclusionAtZero;
        beyond = beyond || found == OcclusionBeyond;
    }
    return beyond ? OcclusionBeyond : OcclusionNone;
}

// The caller's rays in world space as a packet (limit unused).
static void worldPacket(const vyxVec3* origins, const vyxVec3* directions, int count, vyxRayPacket& world) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    world.count = count;
    // Lanes past count, which the packet's carrying reads four at a time, repeat the first.
    for (int r = 0; r < vyxPacketSize; ++r) {
        const int from = r < count ? r : 0;
        const float o[3] = {origins[from].x, origins[from].y, origins[from].z};
        const float d[3] = {directions[from].x, directions[from].y, directions[from].z};
        for (int a = 0; a < 3; ++a) {
            world.origin[a][r] = o[a];
            world.direction[a][r] = d[a];
        }
    }
}

void vyxTraceScenePacket(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                         float maxDistance, vyxTraceResult* results) {
    vyxRayPacket world;
    worldPacket(origins, directions, count, world);
    tracePacket(scene, world, walkLimit(maxDistance), false, results);
}

void vyxOccludedScenePacket(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                            float maxDistance, vyxOcclusion* occlusion, vyxTraceResult* nearest) {
    const float limit = walkLimit(maxDistance);
    vyxRayPacket world;
    worldPacket(origins, directions, count, world);
    tracePacket(scene, world, limit, true, nearest);
    bool beyond[vyxPacketSize];
    for (int r = 0; r < count; ++r) {
        occlusion[r] = nearest[r].t == 0.0f ? OcclusionAtZero : OcclusionNone;
        beyond[r] = false;
    }
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (!mesh || !mesh->opaque || !mesh->bih)
            continue;
        // Rays already known to stop at t = 0 are done: a limit of 0 leaves them out.
        alignas(16) float limits[vyxPacketSize] = {};
        for (int r = 0; r < count; ++r)
            limits[r] = occlusion[r] == OcclusionAtZero ? 0.0f : opaqueLimit(i, limit, nearest[r], beyond[r]);
        vyxOcclusion found[vyxPacketSize];
        int index[vyxPacketSize];
        int walked = 0;
        if (!packetReady(*mesh)) {
            forEachMeshRay(*mesh, world, limits, [&](int r, const BIHRay& ray) {
                found[walked] = mesh->bih->bvh.built ? vyxOccludedBVH(mesh->bih->bvh, ray.o, ray.d, ray.limit)
                                                     : occlusionOf(walkBIH(*mesh->bih, ray));
                index[walked++] = r;
            });
        } else {
            MeshPacket p;
            if (!preparePacket(*mesh, world, limits, p))
                continue;
            vyxOccludedBVHPacket(mesh->bih->bvh, p.rays, found);
            walked = p.rays.count;
            for (int k = 0; k < walked; ++k)
                index[k] = p.index[k];
        }
        for (int k = 0; k < walked; ++k) {
            const int r = index[k];
            if (found[k] == OcclusionAtZero)
                occlusion[r] = OcclusionAtZero;
            beyond[r] = beyond[r] || found[k] == OcclusionBeyond;
        }
    }
    for (int r = 0; r < count; ++r)
        if (occlusion[r] != OcclusionAtZero && beyond[r])
            occlusion[r] = OcclusionBeyond;
}
