#include "geometry/transform.h"

#include <cmath>
#include <cstring>

#include "util/assert.h"

static const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// matrix = op * matrix; each entry the float sum of four float products.
static void multiplyLeft(vyxTransform& transform, const float op[16]) {
    float result[16];
    const float* m = transform.matrix;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            result[row * 4 + col] = op[row * 4 + 0] * m[0 * 4 + col] + op[row * 4 + 1] * m[1 * 4 + col] +
                                    op[row * 4 + 2] * m[2 * 4 + col] + op[row * 4 + 3] * m[3 * 4 + col];
    std::memcpy(transform.matrix, result, sizeof(result));
    transform.inverseValid = false;
    transform.normalValid = false;
}

static vyxVec3 applyAffine(const float* m, vyxVec3 p) {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

// The inverse cache and what is derived with it; inverse must hold M^-1 already.
static void deriveFromInverse(vyxTransform& transform) {
    vyxVec3 base = applyAffine(transform.inverse, vyxVec3{0.0f, 0.0f, 0.0f});
    transform.inverseOrigin[0] = base.x;
    transform.inverseOrigin[1] = base.y;
    transform.inverseOrigin[2] = base.z;
    transform.inverseIdentity = std::memcmp(transform.inverse, kIdentity, sizeof(kIdentity)) == 0;
    transform.inverseValid = true;
}

static void fillInverse(vyxTransform& transform) {
    vyxInvertMatrix(transform.matrix, transform.inverse);
    deriveFromInverse(transform);
}

void vyxTransformIdentity(vyxTransform& transform) {
    std::memcpy(transform.matrix, kIdentity, sizeof(kIdentity));
    std::memcpy(transform.inverse, kIdentity, sizeof(kIdentity));
    std::memcpy(transform.normal, kIdentity, sizeof(kIdentity));
    // What deriveFromInverse would find for the identity.
    transform.inverseOrigin[0] = transform.inverseOrigin[1] = transform.inverseOrigin[2] = 0.0f;
    transform.inverseIdentity = true;
    transform.inverseValid = true;
    transform.normalValid = false;
}

void vyxTransformRotate(vyxTransform& transform, float angle, float x, float y, float z) {
    float c = static_cast<float>(std::cos(static_cast<double>(angle)));
    float s = static_cast<float>(std::sin(static_cast<double>(angle)));
    float k = 1.0f - c;
    const float op[16] = {c + x * x * k,
                          x * y * k - z * s,
                          x * z * k + y * s,
                          0,
                          x * y * k + z * s,
                          c + y * y * k,
                          y * z * k - x * s,
                          0,
                          x * z * k - y * s,
                          y * z * k + x * s,
                          c + z * z * k,
                          0,
                          0,
                          0,
                          0,
                          1};
    multiplyLeft(transform, op);
}

void vyxTransformScale(vyxTransform& transform, float x, float y, float z) {
    const float op[16] = {x, 0, 0, 0, 0, y, 0, 0, 0, 0, z, 0, 0, 0, 0, 1};
    multiplyLeft(transform, op);
}

void vyxTransformTranslate(vyxTransform& transform, float x, float y, float z) {
    const float op[16] = {1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z, 0, 0, 0, 1};
    multiplyLeft(transform, op);
}

vyxVec3 vyxTransformPoint(const vyxTransform& transform, vyxVec3 point) { return applyAffine(transform.matrix, point); }

vyxVec3 vyxTransformPointInverse(vyxTransform& transform, vyxVec3 point) {
    if (!transform.inverseValid)
        fillInverse(transform);
    return applyAffine(transform.inverse, point);
}

void vyxTransformRayInverse(vyxTransform& transform, vyxVec3& origin, vyxVec3& direction) {
    if (!transform.inverseValid)
        fillInverse(transform);
    // Through an inverse that is exactly the identity the products give x + 0 for finite
    // input: x itself, a zero made positive; non-finite input stays non-finite.
    const vyxVec3 zero{0.0f, 0.0f, 0.0f};
    if (transform.inverseIdentity) {
        origin = origin + zero;
        direction = (direction + zero) - zero;
        return;
    }
    const vyxVec3 base{transform.inverseOrigin[0], transform.inverseOrigin[1], transform.inverseOrigin[2]};
    origin = applyAffine(transform.inverse, origin);
    direction = applyAffine(transform.inverse, direction) - base;
}

static void fillNormalMatrix(vyxTransform& transform) {
    float inverse[16];
    vyxInvertMatrix(transform.matrix, inverse);
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            transform.normal[row * 4 + col] = inverse[col * 4 + row];
    transform.normalValid = true;
}

vyxVec3 vyxTransformNormal(vyxTransform& transform, vyxVec3 v) {
    if (!transform.normalValid)
        fillNormalMatrix(transform);
    const float* n = transform.normal;
    return {n[0] * v.x + n[1] * v.y + n[2] * v.z, n[4] * v.x + n[5] * v.y + n[6] * v.z,
            n[8] * v.x + n[9] * v.y + n[10] * v.z};
}

void vyxTransformPrepare(vyxTransform& transform) {
    if (!transform.inverseValid)
        fillInverse(transform);
    if (!transform.normalValid)
        fillNormalMatrix(transform);
}

void vyxInvertMatrix(const float m[16], float out[16]) {
    VYX_ASSERT(out != m);
    float a[16]; // adjugate, row-major: a[r*4+c] is the cofactor of m[c][r]
    a[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
           m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    a[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
           m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    a[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
           m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    a[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
            m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    a[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
           m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    a[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
           m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    a[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
           m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    a[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
            m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    a[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] + m[13] * m[2] * m[7] -
           m[13] * m[3] * m[6];
    a[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
           m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    a[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
            m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    a[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
            m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    a[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] - m[9] * m[2] * m[7] +
           m[9] * m[3] * m[6];
    a[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] + m[8] * m[2] * m[7] -
           m[8] * m[3] * m[6];
    a[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] - m[8] * m[1] * m[7] +
            m[8] * m[3] * m[5];
    a[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] + m[8] * m[1] * m[6] -
            m[8] * m[2] * m[5];

    // M's first column against the adjugate's first row.
    float det = m[0] * a[0] + m[4] * a[1] + m[8] * a[2] + m[12] * a[3];
    float scale = det == 0.0f ? 1.0f : 1.0f / det;
    for (int i = 0; i < 16; ++i)
        out[i] = a[i] * scale;
}
