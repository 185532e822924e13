// The soft-shadow refinement traces each distinct direction once: the midpoints that
// neighbouring triangles of directions share are reused, and the result is the same as
// a refinement that traces every midpoint afresh.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "tests/support/test_scene.h"
#include "trace/raystats.h"
#include "trace/shadow.h"

namespace {

using Bits = std::tuple<uint32_t, uint32_t, uint32_t>;

Bits bitsOf(vyxVec3 v) {
    uint32_t x, y, z;
    std::memcpy(&x, &v.x, 4);
    std::memcpy(&y, &v.y, 4);
    std::memcpy(&z, &v.z, 4);
    return Bits{x, y, z};
}

// The refinement written out plainly: every midpoint traced, each distinct one noted.
vyxVec3 reference(const vyxScene& scene, vyxVec3 p, vyxVec3 a, vyxVec3 b, vyxVec3 c, vyxVec3 ta, vyxVec3 tb, vyxVec3 tc,
                  float threshold, int depth, std::set<Bits>& traced) {
    if (depth > 0) {
        float sa = ta.x + ta.y + ta.z, sb = tb.x + tb.y + tb.z, sc = tc.x + tc.y + tc.z;
        if (std::fabs(sa - sb) + std::fabs(sc - sb) + std::fabs(sc - sa) >= threshold) {
            vyxVec3 ab = (a + b) * 0.5f, bc = (b + c) * 0.5f, ac = (a + c) * 0.5f;
            for (vyxVec3 d : {ab, bc, ac})
                traced.insert(bitsOf(d));
            vyxVec3 tab = vyxTraceShadow(scene, p, ab, -1.0f);
            vyxVec3 tbc = vyxTraceShadow(scene, p, bc, -1.0f);
            vyxVec3 tac = vyxTraceShadow(scene, p, ac, -1.0f);
            vyxVec3 sum = reference(scene, p, a, ab, ac, ta, tab, tac, threshold, depth - 1, traced);
            sum += reference(scene, p, ab, b, bc, tab, tb, tbc, threshold, depth - 1, traced);
            sum += reference(scene, p, ac, bc, c, tac, tbc, tc, threshold, depth - 1, traced);
            sum += reference(scene, p, ab, bc, ac, tab, tbc, tac, threshold, depth - 1, traced);
            return sum * 0.25f;
        }
    }
    return (ta + tb + tc) / 3.0f;
}

TEST(SoftShadowRefinement, TracesSharedMidpointsOnceWithTheSameResult) {
    // A few tiles of different opacity overhead, so that visibility varies across the
    // triangle of directions.
    TestScene s;
    s.addQuad(vyxVec3{-0.9f, 1.0f, -0.9f}, vyxVec3{0.7f, 0, 0}, vyxVec3{0, 0, 0.5f}, testMaterial({1, 1, 1}));
    s.addQuad(vyxVec3{0.1f, 1.0f, -0.4f}, vyxVec3{0.6f, 0, 0}, vyxVec3{0, 0, 0.9f},
              testMaterial({0.2f, 0.9f, 0.4f}, 0.5f));
    s.addQuad(vyxVec3{-0.3f, 1.2f, 0.3f}, vyxVec3{0.5f, 0, 0}, vyxVec3{0, 0, 0.4f}, testMaterial({1, 1, 1}));
    const vyxVec3 p{0.0f, 0.0f, 0.0f};
    const vyxVec3 a{-1.0f, 1.0f, -1.0f}, b{1.0f, 1.0f, -0.7f}, c{0.1f, 1.0f, 1.0f};

    struct Case {
        const char* name;
        float threshold;
        int depth;
    } cases[] = {
        {"every triangle splits", 0.0f, 2},
        {"three levels", 0.0f, 3},
        {"usual threshold", 0.25f, 2},
        {"no split", 100.0f, 2},
    };
    for (const Case& k : cases) {
        vyxRenderSettings settings = testSettings();
        settings.softShadowThreshold = k.threshold;
        vyxVec3 ta = vyxTraceShadow(s.scene, p, a, -1.0f);
        vyxVec3 tb = vyxTraceShadow(s.scene, p, b, -1.0f);
        vyxVec3 tc = vyxTraceShadow(s.scene, p, c, -1.0f);
        std::set<Bits> traced;
        vyxVec3 want = reference(s.scene, p, a, b, c, ta, tb, tc, k.threshold, k.depth, traced);

        vyxRayStatsReset();
        vyxVec3 got = vyxRefineDiscVisibility(s.scene, p, a, b, c, ta, tb, tc, settings, k.depth);
        EXPECT_EQ(got.x, want.x) << k.name;
        EXPECT_EQ(got.y, want.y) << k.name;
        EXPECT_EQ(got.z, want.z) << k.name;
#ifdef VYX_RAY_STATS
        // One ray per distinct direction, plus one continuation through the half-clear
        // tile for every direction that meets it; count those with the reference rays.
        uint64_t rays = vyxRayStatsTotal().shadow;
        vyxRayStatsReset();
        for (const Bits& bits : traced) {
            vyxVec3 d;
            std::memcpy(&d.x, &std::get<0>(bits), 4);
            std::memcpy(&d.y, &std::get<1>(bits), 4);
            std::memcpy(&d.z, &std::get<2>(bits), 4);
            vyxTraceShadow(s.scene, p, d, -1.0f);
        }
        EXPECT_EQ(rays, vyxRayStatsTotal().shadow) << k.name;
#endif
    }
    // At depth 2 with every triangle split there are 3 + 12 midpoints, 3 of them shared.
    std::set<Bits> traced;
    vyxVec3 open{1, 1, 1}, shut{0, 0, 0};
    reference(s.scene, p, a, b, c, open, shut, open, 0.0f, 2, traced);
    EXPECT_EQ(traced.size(), 12u);
}

} // namespace
