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
                // Both sides: defer the far child, go on with the near one. A missing
                // child (after an empty-space cut) is never deferred: the walk goes on
                // with the other side at once, exactly as popping it would.
                if (!nearChild) {
                    next = farChild;
                    tnear = farNear;
                } else if (!farChild) {
                    next = nearChild;
                    tfar = nearFar;
                } else if (depth < kStackSize) {
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
    // The traversal copy finds the same hit as the nodes themselves, faster; a limit of
    // exactly 0 admits no hit, and the copy wants a positive one.
    if (bih.traversal.triangleCount > 0) {
        if (!(maxDistance > 0.0f))
            return miss;
        return vyxTraverseTree(bih.traversal, o, d, maxDistance);
    }
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
