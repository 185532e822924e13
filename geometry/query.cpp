#include "geometry/query.h"

#include <cfloat>
#include <cmath>
#include <cstring>

// Capacity of the traversal's deferred-node stack. The build keeps the number of split
// levels below it; a hand-made deeper tree is still traversed correctly (see below).
static const int kStackSize = 256;

static vyxTraceResult missResult() {
    vyxTraceResult result;
    result.t = -1.0f;
    result.triangle = -1;
    result.object = -1;
    result.w0 = result.w1 = result.w2 = 0.0f;
    return result;
}

bool vyxIntersectBox(const float boxMin[3], const float boxMax[3], const float origin[3],
                     const float direction[3], float& tnear, float& tfar) {
    tfar = INFINITY;
    for (int a = 0; a < 3; ++a) {
        if (direction[a] == 0.0f)
            continue;
        float exit = direction[a] > 0.0f ? boxMax[a] : boxMin[a];
        float t = (exit - origin[a]) / direction[a];
        if (t < tfar)
            tfar = t;
    }
    bool inside = true;
    for (int a = 0; a < 3; ++a)
        if (!(boxMin[a] <= origin[a] && origin[a] <= boxMax[a]))
            inside = false;
    tnear = 0.0f;
    if (inside)
        return true;
    for (int a = 0; a < 3; ++a) {
        if (direction[a] == 0.0f)
            continue;
        float entry = direction[a] > 0.0f ? boxMin[a] : boxMax[a];
        float t = (entry - origin[a]) / direction[a];
        if (t > tnear)
            tnear = t;
    }
    return tnear <= tfar;
}

vyxTraceResult vyxTraverseBIH(const vyxVec3& origin, const vyxVec3& direction, float tnear, float tfar,
                              const vyxTriangle* triangles, float maxDistance, const vyxBIHNode& root) {
    const float o[3] = {origin.x, origin.y, origin.z};
    const float d[3] = {direction.x, direction.y, direction.z};
    float inv[3];
    for (int a = 0; a < 3; ++a)
        inv[a] = d[a] != 0.0f ? 1.0f / d[a] : 0.0f;

    vyxTraceResult best = missResult();
    const vyxBIHNode* stackNode[kStackSize];
    float stackNear[kStackSize];
    float stackFar[kStackSize];
    int depth = 0;

    const vyxBIHNode* node = &root;
    for (;;) {
        // Each pass handles `node` on [tnear, tfar] and leaves in `next` the child to go
        // on with (null = take the next deferred node from the stack).
        const vyxBIHNode* next = nullptr;
        if (node && node->isLeaf) {
            if (!(best.t >= 0.0f && tnear > best.t)) {
                vyxTraceResult r = vyxTestTrace(triangles[node->triangle], o[0], o[1], o[2], d[0], d[1], d[2]);
                // r.t >= 0 is false for a NaN t (degenerate triangle).
                if (r.t >= 0.0f && (best.t < 0.0f || r.t < best.t) && (maxDistance < 0.0f || r.t < maxDistance)) {
                    best = r;
                    best.triangle = node->triangle;
                    best.object = -1;
                }
            }
        } else if (node && !(maxDistance > 0.0f && tnear > maxDistance) && !(best.t >= 0.0f && best.t < tnear)) {
            int a = node->axis;
            const vyxBIHNode* nearChild = nullptr;
            const vyxBIHNode* farChild = nullptr;
            float nearFar = tfar, farNear = tnear;
            if (d[a] > 0.0f) {
                float tR = (node->rightMin - o[a]) * inv[a];
                float tL = (node->leftMax - o[a]) * inv[a];
                float tLo = (node->extentMin - o[a]) * inv[a];
                float tHi = (node->extentMax - o[a]) * inv[a];
                if (tfar < tLo || tHi < tnear) {
                    // the ray's interval misses every triangle of the node
                } else if (tR > tfar) {
                    next = node->left;
                } else if (tL < tnear) {
                    next = node->right;
                } else {
                    nearChild = node->left;
                    farChild = node->right;
                    farNear = tR > tnear ? tR : tnear;
                    nearFar = tL < tfar ? tL : tfar;
                }
            } else if (d[a] < 0.0f) {
                float tR = (node->rightMin - o[a]) * inv[a];
                float tL = (node->leftMax - o[a]) * inv[a];
                float tLo = (node->extentMin - o[a]) * inv[a];
                float tHi = (node->extentMax - o[a]) * inv[a];
                if (tfar < tHi || tLo < tnear) {
                    // the ray's interval misses every triangle of the node
                } else if (tR < tnear) {
                    next = node->left;
                } else if (tL > tfar) {
                    next = node->right;
                } else {
                    nearChild = node->right;
                    farChild = node->left;
                    farNear = tL > tnear ? tL : tnear;
                    nearFar = tR < tfar ? tR : tfar;
                }
            } else {
                // Parallel to the split planes: the origin's side decides.
                if (node->leftMax < o[a]) {
                    next = node->right;
                } else if (node->rightMin > o[a]) {
                    next = node->left;
                } else {
                    nearChild = node->left;
                    farChild = node->right;
                }
            }

            if (farChild || nearChild) {
                // Both sides: defer the far child, go on with the near one.
                if (depth < kStackSize) {
                    stackNode[depth] = farChild;
                    stackNear[depth] = farNear;
                    stackFar[depth] = tfar;
                    ++depth;
                    next = nearChild;
                    tfar = nearFar;
                } else {
                    // Stack full (only a hand-made tree deeper than the build allows gets
                    // here): finish the near child in a nested walk, then go on with the
                    // far one, so the order and the result stay the same.
                    if (nearChild) {
                        float limit = maxDistance;
                        if (best.t >= 0.0f && (limit < 0.0f || best.t < limit))
                            limit = best.t;
                        vyxTraceResult r = vyxTraverseBIH(origin, direction, tnear, nearFar, triangles, limit, *nearChild);
                        if (r.t >= 0.0f)
                            best = r;
                    }
                    next = farChild;
                    tnear = farNear;
                }
            }
        }

        if (next) {
            node = next;
            continue;
        }
        if (depth == 0)
            return best;
        --depth;
        node = stackNode[depth];
        tnear = stackNear[depth];
        tfar = stackFar[depth];
    }
}

// The same walk as vyxTraverseBIH over the compact copy of a built tree: the same
// visiting order, intervals, early outs and comparisons, so the same hit bit for bit.
// The sign of each direction component picks the near and far planes once per ray
// instead of per node, leaves are tested without a node visit, and the triangle test
// is done inline on the leaf record with vyxTestTrace's exact arithmetic.
static vyxTraceResult traverseFlat(const vyxBIH& bih, const float o[3], const float d[3], float tnear, float tfar,
                                   float maxDistance) {
    const vyxBIHFlatNode* nodes = bih.flatNodes;
    const vyxBIHLeafTriangle* leaves = bih.leafTriangles;
    float inv[3];
    int sign[3];
    bool zero[3];
    for (int a = 0; a < 3; ++a) {
        zero[a] = d[a] == 0.0f;
        inv[a] = zero[a] ? 0.0f : 1.0f / d[a];
        sign[a] = d[a] < 0.0f ? 1 : 0;
    }
    const bool anyZero = zero[0] || zero[1] || zero[2];

    vyxTraceResult best = missResult();
    // An interior node is skipped once tnear passes this: maxDistance when positive,
    // then the best hit, which is always nearer than maxDistance.
    float nodeLimit = maxDistance > 0.0f ? maxDistance : INFINITY;
    // Only ordinary splits push, and the build keeps their levels below the capacity.
    int32_t stackRef[kStackSize];
    float stackNear[kStackSize];
    float stackFar[kStackSize];
    int depth = 0;

    int32_t ref = bih.flatRoot;
    for (;;) {
        if (ref >= 0 && !(tnear > nodeLimit)) {
            const vyxBIHFlatNode& node = nodes[ref];
            const int a = static_cast<int>(node.axis);
            if (!anyZero || !zero[a]) {
                const int s = sign[a];
                const float oa = o[a], ia = inv[a];
                float tNearPlane = (node.plane[s] - oa) * ia;
                float tFarPlane = (node.plane[1 - s] - oa) * ia;
                float tEntry = (node.extent[s] - oa) * ia;
                float tExit = (node.extent[1 - s] - oa) * ia;
                if (!(tfar < tEntry || tExit < tnear)) {
                    bool nearOnly = tFarPlane > tfar;
                    bool farOnly = tNearPlane < tnear;
                    if (nearOnly) {
                        // With both tests true the left child wins whatever the sign.
                        ref = farOnly ? node.child[0] : node.child[s];
                        continue;
                    }
                    if (farOnly) {
                        ref = node.child[1 - s];
                        continue;
                    }
                    int32_t nearChild = node.child[s], farChild = node.child[1 - s];
                    float farNear = tFarPlane > tnear ? tFarPlane : tnear;
                    float nearFar = tNearPlane < tfar ? tNearPlane : tfar;
                    if (nearChild == vyxBIHNoChild) {
                        ref = farChild;
                        tnear = farNear;
                        continue;
                    }
                    if (farChild != vyxBIHNoChild) {
                        stackRef[depth] = farChild;
                        stackNear[depth] = farNear;
                        stackFar[depth] = tfar;
                        ++depth;
                    }
                    ref = nearChild;
                    tfar = nearFar;
                    continue;
                }
            } else {
                // Parallel to the split planes: the origin's side decides.
                if (node.plane[0] < o[a]) {
                    ref = node.child[1];
                    continue;
                }
                if (node.plane[1] > o[a]) {
                    ref = node.child[0];
                    continue;
                }
                if (node.child[0] == vyxBIHNoChild) {
                    ref = node.child[1];
                    continue;
                }
                if (node.child[1] != vyxBIHNoChild) {
                    stackRef[depth] = node.child[1];
                    stackNear[depth] = tnear;
                    stackFar[depth] = tfar;
                    ++depth;
                }
                ref = node.child[0];
                continue;
            }
        } else if (ref <= -2 && !(best.t >= 0.0f && tnear > best.t)) {
            const vyxBIHLeafTriangle& tri = leaves[-2 - ref];
            // vyxTestTrace, step for step.
            float nd = tri.normal[1] * d[1] + tri.normal[0] * d[0] + tri.normal[2] * d[2];
            if (nd != 0.0f) {
                float t = -((tri.normal[0] * o[0] + tri.normal[1] * o[1] + tri.normal[2] * o[2] + tri.d) / nd);
                // A NaN t (degenerate triangle) fails t >= 0 and every later test below.
                if (t >= 0.0f && (best.t < 0.0f || t < best.t) && (maxDistance < 0.0f || t < maxDistance)) {
                    float pu = o[tri.u] + t * d[tri.u];
                    float pv = o[tri.v] + t * d[tri.v];
                    float du = pu - tri.p0u;
                    float dv = pv - tri.p0v;
                    float w1 = tri.c1 * du - tri.c0 * dv;
                    if (!(w1 < 0.0f)) {
                        float w2 = tri.c2 * dv - tri.c3 * du;
                        if (!(w2 < 0.0f)) {
                            float w0 = (1.0f - w1) - w2;
                            if (!(w0 < 0.0f)) {
                                best.t = t;
                                best.triangle = tri.triangle;
                                best.object = -1;
                                best.w0 = w0;
                                best.w1 = w1;
                                best.w2 = w2;
                                nodeLimit = t;
                            }
                        }
                    }
                }
            }
        }

        if (depth == 0)
            return best;
        --depth;
        ref = stackRef[depth];
        tnear = stackNear[depth];
        tfar = stackFar[depth];
    }
}

static bool finite3(const vyxVec3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

static const float kIdentityBits[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// o' = M^-1 o, d' = M^-1 d - M^-1 0: the direction goes through the linear part only.
static void carryRay(vyxTransform& transform, vyxVec3& origin, vyxVec3& direction) {
    // Through an inverse that is exactly the identity (every zero a positive zero) the
    // products give x + 0 for finite input: x itself, with a zero made positive.
    // Non-finite input stays non-finite, which is all its callers look at.
    if (transform.inverseValid && std::memcmp(transform.inverse, kIdentityBits, sizeof(kIdentityBits)) == 0) {
        origin = origin + vyxVec3{0.0f, 0.0f, 0.0f};
        direction = (direction + vyxVec3{0.0f, 0.0f, 0.0f}) - vyxVec3{0.0f, 0.0f, 0.0f};
        return;
    }
    vyxVec3 base = vyxTransformPointInverse(transform, vyxVec3{0.0f, 0.0f, 0.0f});
    origin = vyxTransformPointInverse(transform, origin);
    direction = vyxTransformPointInverse(transform, direction) - base;
}

vyxTraceResult vyxTraceBIH(vyxBIH& bih, vyxVec3 origin, vyxVec3 direction, float maxDistance) {
    vyxTraceResult miss = missResult();
    if (bih.triangleCount <= 0 || !bih.triangles)
        return miss;
    carryRay(bih.transform, origin, direction);
    // A non-finite ray could report a false t = 0 hit inside the triangle test, and a
    // zero direction can never hit: both miss.
    if (!finite3(origin) || !finite3(direction))
        return miss;
    if (direction.x == 0.0f && direction.y == 0.0f && direction.z == 0.0f)
        return miss;

    const float o[3] = {origin.x, origin.y, origin.z};
    const float d[3] = {direction.x, direction.y, direction.z};
    float tnear, tfar;
    if (!vyxIntersectBox(bih.boundsMin, bih.boundsMax, o, d, tnear, tfar))
        return miss;
    if (maxDistance >= 0.0f && tnear > maxDistance)
        return miss;
    // Unlimited still ends below infinity: far from the scene t can overflow to inf,
    // and a hit there is no hit.
    if (maxDistance < 0.0f)
        maxDistance = FLT_MAX;
    if (bih.flatNodes || bih.flatRoot <= -2)
        return traverseFlat(bih, o, d, tnear, tfar, maxDistance);
    return vyxTraverseBIH(origin, direction, tnear, tfar, bih.triangles, maxDistance, bih.root);
}

vyxTraceResult vyxTraceMesh(vyxMesh& mesh, vyxVec3 origin, vyxVec3 direction, float maxDistance) {
    if (!mesh.bih)
        return missResult();
    carryRay(mesh.transform, origin, direction);
    return vyxTraceBIH(*mesh.bih, origin, direction, maxDistance);
}

vyxTraceResult vyxTraceScene(const vyxScene& scene, const vyxVec3& origin, const vyxVec3& direction,
                             const float& maxDistance) {
    vyxTraceResult best = missResult();
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (!mesh)
            continue;
        // Only hits nearer than the best so far can win, so they bound the next mesh.
        float limit;
        if (maxDistance < 0.0f)
            limit = best.t >= 0.0f ? best.t : -1.0f;
        else
            limit = best.t >= 0.0f && maxDistance > best.t ? best.t : maxDistance;
        vyxTraceResult hit = vyxTraceMesh(*mesh, origin, direction, limit);
        if (hit.t >= 0.0f && (best.t < 0.0f || hit.t < best.t)) {
            best = hit;
            best.object = i;
        }
    }
    return best;
}
