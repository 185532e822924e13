#pragma once
// vyxTransform: a 4x4 row-major affine matrix (translation in the last column) with
// lazily cached inverse and normal matrix. Every operation that changes the matrix
// clears both cache flags; only vyxTransformPointInverse / vyxTransformNormal (or
// vyxTransformPrepare) fill them.
//
// Threads: the lazy fills write the record. Call vyxTransformPrepare on the main thread
// before render workers start; after that every query on the transform only reads it.

#include "geometry/vec3.h"

struct vyxTransform {
    float matrix[16];  // M, row-major; p maps to M * (p, 1)
    float inverse[16]; // cached M^-1, valid while inverseValid
    float normal[16];  // cached transpose of M^-1, valid while normalValid
    bool inverseValid;
    bool normalValid;
    // Derived with the inverse, for carrying rays into object space without per-ray
    // matrix work: M^-1 (0, 0, 0), which a carried direction subtracts, and whether M^-1
    // is exactly the identity (every zero a positive zero).
    float inverseOrigin[3];
    bool inverseIdentity;
};

// matrix = inverse = identity, inverseValid set, normalValid clear.
void vyxTransformIdentity(vyxTransform& transform);
// matrix = R * matrix, R the right-handed rotation by angle (radians) about the unit axis.
void vyxTransformRotate(vyxTransform& transform, float angle, float x, float y, float z);
// matrix = diag(x, y, z, 1) * matrix.
void vyxTransformScale(vyxTransform& transform, float x, float y, float z);
// matrix = T(x, y, z) * matrix.
void vyxTransformTranslate(vyxTransform& transform, float x, float y, float z);
// First three rows of M * (p, 1).
vyxVec3 vyxTransformPoint(const vyxTransform& transform, vyxVec3 point);

// M^-1 applied to (p, 1); fills the cached inverse first when it is stale.
vyxVec3 vyxTransformPointInverse(vyxTransform& transform, vyxVec3 point);
// Upper-left 3x3 of (M^-1)^T applied to v (no translation, no normalisation); fills the
// cached normal matrix first when it is stale (inverting M afresh).
vyxVec3 vyxTransformNormal(vyxTransform& transform, vyxVec3 v);
// Carries a ray into the transform's object space: origin through M^-1, direction
// through M^-1 minus M^-1 (0, 0, 0). Fills the cached inverse first when it is stale.
void vyxTransformRayInverse(vyxTransform& transform, vyxVec3& origin, vyxVec3& direction);
// Fills both caches now, so later queries from many threads only read the record.
void vyxTransformPrepare(vyxTransform& transform);
// out = adjugate(m) / det(m); the unscaled adjugate when det is exactly 0.
// out must not alias m.
void vyxInvertMatrix(const float m[16], float out[16]);
