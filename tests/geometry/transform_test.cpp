#include "geometry/transform.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "tests/support/vector_near.h"

namespace {

TEST(Transform, OperationsApplyInCallOrder) {
    vyxTransform t;
    vyxTransformIdentity(t);
    vyxTransformTranslate(t, 1, 2, 3);
    EXPECT_TRUE(vecNear(vyxTransformPoint(t, {0, 0, 0}), {1, 2, 3}, 0)) << "translate origin";

    vyxTransformIdentity(t);
    vyxTransformScale(t, 2, 2, 2);
    vyxTransformTranslate(t, 1, 0, 0);
    EXPECT_TRUE(vecNear(vyxTransformPoint(t, {1, 0, 0}), {3, 0, 0}, 0)) << "scale then translate";

    vyxTransformIdentity(t);
    vyxTransformTranslate(t, 1, 0, 0);
    vyxTransformScale(t, 2, 2, 2);
    EXPECT_TRUE(vecNear(vyxTransformPoint(t, {1, 0, 0}), {4, 0, 0}, 0)) << "translate then scale";
}

TEST(Transform, RotationsAreRightHanded) {
    struct Case {
        vyxVec3 axis;
        vyxVec3 point;
        vyxVec3 expected;
    } cases[] = {
        {{0, 1, 0}, {0, 0, -1}, {-1, 0, 0}}, // about +y, -z turns toward -x
        {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}},   // +z toward +x
        {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},  // about +x, -z turns toward +y
        {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},   // about +z, +x toward +y
    };
    for (const Case& c : cases) {
        vyxTransform t;
        vyxTransformIdentity(t);
        vyxTransformRotate(t, static_cast<float>(vyxPi / 2), c.axis.x, c.axis.y, c.axis.z);
        EXPECT_TRUE(vecNear(vyxTransformPoint(t, c.point), c.expected, 1e-6f)) << "quarter turn";
    }
}

TEST(Transform, ChangingTheMatrixClearsBothCaches) {
    vyxTransform t;
    vyxTransformIdentity(t);
    EXPECT_TRUE(t.inverseValid);
    EXPECT_FALSE(t.normalValid);
    vyxTransformPrepare(t);
    EXPECT_TRUE(t.normalValid);
    void (*ops[])(vyxTransform&) = {
        [](vyxTransform& x) { vyxTransformRotate(x, 0.3f, 0, 1, 0); },
        [](vyxTransform& x) { vyxTransformScale(x, 2, 3, 4); },
        [](vyxTransform& x) { vyxTransformTranslate(x, 1, 2, 3); },
    };
    for (auto op : ops) {
        vyxTransformPrepare(t);
        op(t);
        EXPECT_FALSE(t.inverseValid);
        EXPECT_FALSE(t.normalValid);
    }
}

TEST(Transform, InverseUndoesRandomComposites) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(-3, 3), scale(0.5f, 3);
    for (int i = 0; i < 200; ++i) {
        vyxTransform t;
        vyxTransformIdentity(t);
        vyxTransformScale(t, scale(rng), scale(rng), scale(rng));
        vyxVec3 axis = vyxNormalize({any(rng), any(rng), any(rng)});
        vyxTransformRotate(t, any(rng), axis.x, axis.y, axis.z);
        vyxTransformTranslate(t, any(rng), any(rng), any(rng));
        vyxVec3 p = {any(rng), any(rng), any(rng)};
        vyxVec3 back = vyxTransformPointInverse(t, vyxTransformPoint(t, p));
        EXPECT_TRUE(vecNear(back, p, 1e-4f)) << "inverse of forward";
        EXPECT_TRUE(t.inverseValid);

        // A normal stays perpendicular to every transformed tangent.
        vyxVec3 n = {any(rng), any(rng), any(rng)};
        vyxVec3 tangent = vyxCross(n, {any(rng), any(rng), any(rng)});
        vyxVec3 tn = vyxTransformNormal(t, n);
        vyxVec3 tt = vyxTransformPoint(t, tangent) - vyxTransformPoint(t, {0, 0, 0});
        EXPECT_NEAR(vyxDot(tn, tt) / (vyxLength(tn) * vyxLength(tt) + 1e-12f), 0.0f, 1e-4f) << "case " << i;
    }
}

TEST(Transform, SingularMatrixGivesUnscaledAdjugate) {
    float zero[16] = {};
    float out[16];
    vyxInvertMatrix(zero, out);
    for (float v : out)
        EXPECT_EQ(v, 0.0f);

    // diag(2, 0, 1, 1): det 0, adjugate diag(0, 2, 0, 0).
    float m[16] = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    vyxInvertMatrix(m, out);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[5], 2.0f);
    EXPECT_EQ(out[10], 0.0f);
    for (float v : out)
        EXPECT_TRUE(std::isfinite(v));
}

TEST(Vector, AngleBetween) {
    EXPECT_EQ(vyxAngleBetween({1, 0, 0}, {1, 0, 0}), 0.0f);
    EXPECT_EQ(vyxAngleBetween({1, 0, 0}, {-1, 0, 0}), 3.1415927410125732f);
    EXPECT_FLOAT_EQ(vyxAngleBetween({1, 0, 0}, {0, 1, 0}), 1.5707964f);
    // A dot product of exactly 1 from unequal vectors still counts as parallel.
    EXPECT_EQ(vyxAngleBetween({1, 0, 0}, {1, 1e-5f, 0}), 0.0f);
}

} // namespace
