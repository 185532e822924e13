#include "geometry/triangle.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "tests/support/test_geometry.h"

namespace {

using geotest::setUp;

vyxTraceResult trace(const vyxTriangle& t, float ox, float oy, float oz, float dx, float dy, float dz) {
    return vyxTestTrace(t, ox, oy, oz, dx, dy, dz);
}

TEST(Triangle, SetupNormalAndDominantAxis) {
    vyxTriangle t = setUp({{0, 0, 0, 1, 0, 0, 0, 1, 0}});
    EXPECT_EQ(t.normal[2], 1.0f); // along (p1 - p0) x (p2 - p0)
    EXPECT_EQ(t.k, 2);

    struct Case {
        vyxTriangle tri;
        int k;
        const char* what;
    } cases[] = {
        {setUp({{5, 0, 0, 5, 1, 0, 5, 0, 1}}), 0, "plane x = const"},
        {setUp({{0, 0, 0, 1, -1, 0, 0, 0, 1}}), 1, "|nx| = |ny| > |nz| goes to y"},
        {setUp({{0, 0, 0, 1, 0, -1, 0, 1, 0}}), 2, "|nx| = |nz| >= |ny| goes to z"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.tri.k, c.k) << c.what;
}

TEST(Triangle, HitsBothSidesWithTheSameWeights) {
    vyxTriangle t = setUp({{0, 0, 0, 1, 0, 0, 0, 1, 0}});
    vyxTraceResult front = trace(t, 0.2f, 0.3f, 1, 0, 0, -1);
    vyxTraceResult back = trace(t, 0.2f, 0.3f, -1, 0, 0, 1);
    EXPECT_FLOAT_EQ(front.t, 1.0f);
    EXPECT_FLOAT_EQ(back.t, 1.0f);
    EXPECT_FLOAT_EQ(front.w1, back.w1);
    EXPECT_FLOAT_EQ(front.w2, back.w2);
    EXPECT_FLOAT_EQ(front.w0, 0.5f);
    EXPECT_FLOAT_EQ(front.w1, 0.2f);
    EXPECT_FLOAT_EQ(front.w2, 0.3f);
}

TEST(Triangle, EdgeCases) {
    vyxTriangle t = setUp({{0, 0, 0, 2, 0, 0, 0, 2, 0}});
    // Parallel rays miss, even lying in the plane.
    EXPECT_EQ(trace(t, 0.5f, 0.5f, 1, 1, 0, 0).t, -1.0f);
    EXPECT_EQ(trace(t, -1, 0.5f, 0, 1, 0, 0).t, -1.0f);
    // Starting on the plane and crossing it: t = 0 is a hit.
    EXPECT_EQ(trace(t, 0.5f, 0.5f, 0, 0, 0, 1).t, 0.0f);
    // Behind the origin: miss.
    EXPECT_EQ(trace(t, 0.5f, 0.5f, 1, 0, 0, 1).t, -1.0f);
    // Exactly on an edge and at a vertex: hits.
    EXPECT_GE(trace(t, 1, 0, 1, 0, 0, -1).t, 0.0f);
    vyxTraceResult vertex = trace(t, 2, 0, 1, 0, 0, -1);
    EXPECT_GE(vertex.t, 0.0f);
    EXPECT_NEAR(vertex.w1, 1.0f, 1e-6f);
    EXPECT_NEAR(vertex.w0, 0.0f, 1e-6f);
    // Outside: t stays -1 although weights were written.
    vyxTraceResult outside = trace(t, 3, 3, 1, 0, 0, -1);
    EXPECT_EQ(outside.t, -1.0f);
    // Doubling the direction halves t and keeps the weights.
    vyxTraceResult a = trace(t, 0.5f, 0.25f, 4, 0, 0, -1);
    vyxTraceResult b = trace(t, 0.5f, 0.25f, 4, 0, 0, -2);
    EXPECT_FLOAT_EQ(b.t * 2, a.t);
    EXPECT_FLOAT_EQ(a.w1, b.w1);
    EXPECT_FLOAT_EQ(a.w2, b.w2);
}

TEST(Triangle, DegenerateTriangleNeverReportsAHit) {
    vyxTriangle repeated = setUp({{1, 1, 1, 1, 1, 1, 2, 2, 2}});
    vyxTriangle collinear = setUp({{0, 0, 0, 1, 1, 1, 2, 2, 2}});
    for (const vyxTriangle* t : {&repeated, &collinear}) {
        vyxTraceResult r = trace(*t, 0, 0, 5, 0.1f, 0.1f, -1);
        EXPECT_FALSE(r.t >= 0.0f) << "t = " << r.t;
    }
}

// The weights reproduce the hit point and sum to one for random rays that hit.
TEST(Triangle, WeightsReproduceTheHitPoint) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-2, 2);
    int hits = 0;
    for (int i = 0; i < 5000; ++i) {
        vyxTriangle t = setUp({{u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), u(rng)}});
        float o[3] = {u(rng) * 3, u(rng) * 3, u(rng) * 3};
        float target[3] = {(t.p0[0] + t.p1[0] + t.p2[0]) / 3 + u(rng) * 0.3f,
                           (t.p0[1] + t.p1[1] + t.p2[1]) / 3 + u(rng) * 0.3f,
                           (t.p0[2] + t.p1[2] + t.p2[2]) / 3 + u(rng) * 0.3f};
        float d[3] = {target[0] - o[0], target[1] - o[1], target[2] - o[2]};
        vyxTraceResult r = trace(t, o[0], o[1], o[2], d[0], d[1], d[2]);
        if (r.t < 0)
            continue;
        ++hits;
        EXPECT_NEAR(r.w0 + r.w1 + r.w2, 1.0f, 1e-4f);
        for (int a = 0; a < 3; ++a) {
            float fromWeights = r.w0 * t.p0[a] + r.w1 * t.p1[a] + r.w2 * t.p2[a];
            float fromRay = o[a] + r.t * d[a];
            EXPECT_NEAR(fromWeights, fromRay, 2e-3f * (1 + std::fabs(fromRay))) << "case " << i << " axis " << a;
        }
    }
    EXPECT_GT(hits, 1000);
}

} // namespace
