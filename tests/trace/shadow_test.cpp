#include "trace/shadow.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_scene.h"
#include "tests/support/vector_near.h"
#include "trace/random.h"
#include "trace/raystats.h"

static const vyxVec3 white{1.0f, 1.0f, 1.0f};
static const vyxVec3 red{1.0f, 0.0f, 0.0f};

// A square facing +z at depth z, half-width 50, centred on the z axis.
static vyxMaterial& addWall(TestScene& s, float z, const vyxMaterial& m) {
    return s.addQuad(vyxVec3{-50.0f, -50.0f, z}, vyxVec3{100.0f, 0.0f, 0.0f}, vyxVec3{0.0f, 100.0f, 0.0f}, m);
}

static uint64_t shadowRays() { return vyxRayStatsTotal().shadow; }

TEST(TraceShadow, TransmissionAlongTheRay) {
    struct Case {
        const char* name;
        std::vector<float> walls; // depths along -z
        std::vector<float> alphas;
        std::vector<uint8_t> castsShadows;
        vyxVec3 direction;
        float maxDistance;
        vyxVec3 want;
    } cases[] = {
        {"nothing in the way", {}, {}, {}, {0, 0, -1}, -1.0f, white},
        {"opaque wall", {-2}, {1}, {1}, {0, 0, -1}, -1.0f, {0, 0, 0}},
        {"one red half-transparent wall", {-2}, {0.5f}, {1}, {0, 0, -1}, -1.0f, {0.5f, 0, 0}},
        {"two red half-transparent walls", {-2, -4}, {0.5f, 0.5f}, {1, 1}, {0, 0, -1}, -1.0f, {0.25f, 0, 0}},
        {"wall that casts no shadow", {-2}, {1}, {0}, {0, 0, -1}, -1.0f, white},
        {"no-shadow wall before a red one", {-2, -4}, {1, 0.5f}, {0, 1}, {0, 0, -1}, -1.0f, {0.5f, 0, 0}},
        // Point lights: the ray and its continuations end at origin + direction, so an
        // opaque wall behind the light does not darken it.
        {"light between red and opaque walls", {-1, -3}, {0.5f, 1}, {1, 1}, {0, 0, -2}, 1.0f, {0.5f, 0, 0}},
        {"same walls, unlimited ray", {-1, -3}, {0.5f, 1}, {1, 1}, {0, 0, -2}, -1.0f, {0, 0, 0}},
        {"opaque wall beyond the light", {-3}, {1}, {1}, {0, 0, -2}, 1.0f, white},
        {"opaque wall before the light", {-1}, {1}, {1}, {0, 0, -2}, 1.0f, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        TestScene s;
        for (size_t i = 0; i < c.walls.size(); i++) {
            vyxMaterial m = testMaterial(red, c.alphas[i]);
            m.castsShadows = c.castsShadows[i];
            addWall(s, c.walls[i], m);
        }
        vyxVec3 t = vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, c.direction, c.maxDistance);
        EXPECT_TRUE(vecNear(t, c.want, 1e-6f)) << c.name;
        // Opaque walls marked as such are only searched for some hit: the same answer.
        vyxMarkOpaqueMeshes(s.scene);
        vyxVec3 marked = vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, c.direction, c.maxDistance);
        EXPECT_TRUE(marked.x == t.x && marked.y == t.y && marked.z == t.z) << c.name;
    }
}

// Shadow rays through a clutter of opaque, see-through and shadowless meshes, some rays
// starting exactly on a triangle (a first hit at t = 0 counts as no hit): single rays
// and the disc light's rays from one point give the very same transmission whether the
// opaque meshes are marked (searched for any hit) or not (searched for the nearest).
TEST(TraceShadow, MarkingOpaqueMeshesChangesNoShadow) {
    TestScene s;
    std::mt19937 rng(61);
    std::uniform_real_distribution<float> pos(-4.0f, 4.0f), size(0.2f, 2.0f);
    vyxMaterial glass = testMaterial(red, 0.5f), shadowless = testMaterial(red);
    shadowless.castsShadows = 0;
    const vyxMaterial kinds[] = {testMaterial(white), glass, shadowless, testMaterial(white)};
    std::vector<vyxVec3> onSurfaces;
    for (const vyxMaterial& material : kinds) {
        std::vector<TestTriangle> tris;
        for (int i = 0; i < 60; ++i) {
            vyxVec3 c{pos(rng), pos(rng), pos(rng)};
            float r = size(rng);
            tris.push_back({c + vyxVec3{r, 0, 0}, c + vyxVec3{0, r, 0}, c + vyxVec3{0, 0, r}});
            onSurfaces.push_back(tris.back().p1);
        }
        s.addMesh(tris, {material});
    }
    vyxLight& sun = s.addLight(LightDisc, vyxVec3{-0.3f, -1.0f, -0.2f}, white);
    vyxRenderSettings settings = testSettings();
    std::vector<vyxVec3> origins = onSurfaces;
    for (int i = 0; i < 300; ++i)
        origins.push_back(vyxVec3{pos(rng), pos(rng), pos(rng)});
    auto traceAll = [&] {
        std::vector<vyxVec3> out;
        for (size_t i = 0; i < origins.size(); ++i) {
            vyxVec3 d{pos(rng), pos(rng), pos(rng)};
            out.push_back(vyxTraceShadow(s.scene, origins[i], d, i % 2 ? 1.0f : -1.0f));
            out.push_back(vyxDiscVisibility(s.scene, sun, origins[i], settings));
        }
        return out;
    };
    rng.seed(62);
    std::vector<vyxVec3> nearest = traceAll();
    vyxMarkOpaqueMeshes(s.scene);
    ASSERT_TRUE(s.scene.meshes[0]->opaque && !s.scene.meshes[1]->opaque && !s.scene.meshes[2]->opaque &&
                s.scene.meshes[3]->opaque);
    rng.seed(62);
    std::vector<vyxVec3> marked = traceAll();
    int blocked = 0;
    for (size_t i = 0; i < nearest.size(); ++i) {
        EXPECT_TRUE(marked[i].x == nearest[i].x && marked[i].y == nearest[i].y && marked[i].z == nearest[i].z)
            << "ray " << i;
        blocked += nearest[i].x == 0.0f;
    }
    EXPECT_GT(blocked, 20);
}

TEST(TraceShadow, HitDistanceIsInUnitsOfTheDirection) {
    TestScene s;
    float h = 123.0f;
    vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 0, -0.5f}, -1.0f, &h);
    EXPECT_EQ(h, 123.0f) << "a miss leaves the distance untouched";

    addWall(s, -2.0f, testMaterial(red, 0.5f));
    addWall(s, -3.0f, testMaterial(red, 1.0f));
    vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 0, -0.5f}, -1.0f, &h);
    EXPECT_NEAR(h, 4.0f, 1e-5f) << "the first surface met, not the one that blocks";
    // A null place is fine.
    vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 0, -0.5f}, -1.0f, nullptr);
}

// Only a texture with an alpha channel lets light through, tinted by its colour.
TEST(TraceShadow, TexturedSurfaces) {
    float rgb[3] = {0.0f, 1.0f, 0.0f};
    float rgba[4] = {0.0f, 1.0f, 0.0f, 0.25f};
    float la[2] = {0.5f, 0.5f};
    float fullAlpha[4] = {0.0f, 1.0f, 0.0f, 1.0f};
    vyxTexture noImage{};
    noImage.channels = 4;
    struct Case {
        const char* name;
        vyxTexture texture;
        vyxVec3 want;
        bool opaque; // what vyxMarkOpaqueMeshes makes of the wall
    } cases[] = {
        {"3 channels block whatever the material's alpha", testTexture(rgb, 3), {0, 0, 0}, true},
        {"4 channels tint by colour and alpha", testTexture(rgba, 4), {0, 0.75f, 0}, false},
        {"2 channels: grey level and alpha", testTexture(la, 2), {0.25f, 0.25f, 0.25f}, false},
        {"4 channels whose alpha is full everywhere block", testTexture(fullAlpha, 4), {0, 0, 0}, true},
        {"4 channels without an image: opaque black", noImage, {0, 0, 0}, false},
    };
    for (Case& c : cases) {
        TestScene s;
        vyxMaterial& m = addWall(s, -2.0f, testMaterial(red, 0.5f));
        m.texture = &c.texture;
        EXPECT_TRUE(vecNear(vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 0, -1}, -1.0f), c.want, 1e-6f))
            << c.name;
        vyxMarkOpaqueMeshes(s.scene);
        EXPECT_EQ(s.scene.meshes[0]->opaque, c.opaque ? 1 : 0) << c.name;
    }
}

// Layers of see-through surfaces, one unit apart along -z from z = -1, in one mesh.
static vyxMaterial& addLayers(TestScene& s, int count, const vyxMaterial& m) {
    std::vector<TestTriangle> triangles;
    for (int i = 1; i <= count; i++) {
        float z = -float(i);
        vyxVec3 a{-10, -10, z}, b{10, -10, z}, c{10, 10, z}, d{-10, 10, z};
        triangles.push_back({a, b, c});
        triangles.push_back({a, c, d});
    }
    return s.addMesh(triangles, {m});
}

// A chain of continuations ends after vyxMaxContinuations; the rest of the path then
// counts as blocked. Shorter chains are followed to the end.
TEST(TraceShadow, ContinuationCap) {
    struct Case {
        int layers;
        vyxVec3 want;
        uint64_t rays;
    } cases[] = {
        {vyxMaxContinuations - 1, white, uint64_t(vyxMaxContinuations)},
        {vyxMaxContinuations, white, uint64_t(vyxMaxContinuations) + 1},
        {vyxMaxContinuations + 1, {0, 0, 0}, uint64_t(vyxMaxContinuations) + 1},
        {200, {0, 0, 0}, uint64_t(vyxMaxContinuations) + 1},
    };
    for (const Case& c : cases) {
        TestScene s;
        vyxMaterial m = testMaterial(red, 1.0f);
        m.castsShadows = 0;
        addLayers(s, c.layers, m);
        vyxRayStatsReset();
        vyxVec3 t = vyxTraceShadow(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 0, -1}, -1.0f);
        EXPECT_TRUE(vecNear(t, c.want, 0.0f)) << "layers " << c.layers;
#ifdef VYX_RAY_STATS
        EXPECT_EQ(shadowRays(), c.rays) << c.layers << " layers";
#endif
    }
}

// Far from the origin the 0.001 step past a surface can vanish in rounding; the chain of
// continuations must still end, with a transmission no larger than the surface allows.
TEST(TraceShadow, SeeThroughSurfaceFarFromTheOrigin) {
    TestScene s;
    const float far = 1.0e8f;
    s.addQuad(vyxVec3{-1e9f, -1e9f, -far}, vyxVec3{2e9f, 0, 0}, vyxVec3{0, 2e9f, 0}, testMaterial(red, 0.5f));
    vyxRayStatsReset();
    vyxVec3 t = vyxTraceShadow(s.scene, vyxVec3{0.3f, 0.7f, 0.0f}, vyxVec3{0.001f, 0.002f, -1.0f}, -1.0f);
    EXPECT_TRUE(std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z));
    EXPECT_LE(t.x, 0.5f);
    EXPECT_EQ(t.y, 0.0f);
#ifdef VYX_RAY_STATS
    EXPECT_LE(shadowRays(), 1u + vyxMaxContinuations);
#endif
}

TEST(DiscVisibility, RefinementOfTheTriangleOfDirections) {
    TestScene empty; // every refinement ray is unobstructed
    vyxRenderSettings settings = testSettings();
    settings.softShadowThreshold = 0.25f;
    const vyxVec3 a{0, 1, 0}, b{1, 1, 0}, c{0, 1, 1};
    const vyxVec3 half{0.5f, 0.5f, 0.5f}, open = white, shut{0, 0, 0};
    const float third = 2.0f / 3.0f;
    struct Case {
        const char* name;
        vyxVec3 ta, tb, tc;
        int depth;
        bool checkValue; // the value of a split at the threshold is of no interest
        vyxVec3 want;
        uint64_t rays;
    } cases[] = {
        {"equal corners stop at once", half, half, half, 2, true, half, 0},
        {"depth 0 averages", open, open, shut, 0, true, {third, third, third}, 0},
        // (1,1,1), (1,1,1), (0,0,0): delta = 6. One split: three open quarters and one
        // with the shut corner (2/3): 11/12; that quarter splits again at depth 2: 47/48.
        {"shut corner, depth 1", open, open, shut, 1, true, open * (11.0f / 12.0f), 3},
        {"shut corner, depth 2", open, open, shut, 2, true, open * (47.0f / 48.0f), 6},
        {"delta exactly at the threshold splits", {0.125f, 0, 0}, shut, shut, 1, false, shut, 3},
        {"delta below the threshold does not", {0.12f, 0, 0}, shut, shut, 1, true, {0.04f, 0, 0}, 0},
    };
    for (const Case& k : cases) {
        vyxRayStatsReset();
        vyxVec3 t =
            vyxRefineDiscVisibility(empty.scene, vyxVec3{0, 0, 0}, a, b, c, k.ta, k.tb, k.tc, settings, k.depth);
        if (k.checkValue) {
            EXPECT_TRUE(vecNear(t, k.want, 1e-6f)) << k.name;
        }
#ifdef VYX_RAY_STATS
        EXPECT_EQ(shadowRays(), k.rays) << k.name;
#endif
    }
}

static vyxLight sunStraightDown(float apex) {
    vyxLight light = testLight(LightDisc, white);
    light.direction = vyxVec3{0.0f, -1.0f, 0.0f};
    light.angle = apex;
    return light;
}

TEST(DiscVisibility, OpenCoveredAndPartlyCovered) {
    vyxRenderSettings settings = testSettings();
    for (int jitter = 0; jitter < 2; jitter++) {
        settings.flags = jitter ? int32_t(RenderJitterSoftShadows) : 0;
        const char* mode = jitter ? "jittered" : "fixed";

        TestScene open;
        vyxLight& light = open.addLight(sunStraightDown(1.0471976f)); // 60 degrees: s = tan 30
        EXPECT_TRUE(vecNear(vyxDiscVisibility(open.scene, light, vyxVec3{0, 0, 0}, settings), white, 0.0f)) << mode;

        TestScene roofed;
        vyxLight& light2 = roofed.addLight(sunStraightDown(1.0471976f));
        roofed.addFloor(1.0f, 50.0f, testMaterial(white));
        EXPECT_TRUE(
            vecNear(vyxDiscVisibility(roofed.scene, light2, vyxVec3{0, 0, 0}, settings), vyxVec3{0, 0, 0}, 0.0f))
            << mode;

        // A roof over x < -0.1 at height 1 hides a segment of the disc (radius tan 30 on
        // that plane): 39% of its area, so about 61% stays visible.
        TestScene edge;
        vyxLight& light3 = edge.addLight(sunStraightDown(1.0471976f));
        edge.addQuad(vyxVec3{-100.0f, 1.0f, -50.0f}, vyxVec3{0, 0, 100.0f}, vyxVec3{99.9f, 0, 0}, testMaterial(white));
        const int calls = jitter ? 400 : 1;
        double sum = 0.0;
        float lowest = 1.0f, highest = 0.0f;
        for (int i = 0; i < calls; i++) {
            vyxVec3 t = vyxDiscVisibility(edge.scene, light3, vyxVec3{0, 0, 0}, settings);
            EXPECT_GE(t.x, 0.0f) << mode;
            EXPECT_LE(t.x, 1.0f) << mode;
            EXPECT_EQ(t.x, t.y) << mode;
            sum += t.x;
            lowest = std::min(lowest, t.x);
            highest = std::max(highest, t.x);
        }
        EXPECT_NEAR(sum / calls, 0.61, 0.12) << mode;
        if (jitter) {
            EXPECT_LT(lowest, highest) << "every call draws a new rotation";
        }
    }
}

class AmbientOcclusion : public ::testing::Test {
protected:
    void SetUp() override { vyxFillRandomTable(); }
};

TEST_F(AmbientOcclusion, NoSamplesMeansOpen) {
    TestScene s;
    s.addFloor(1.0f, 50.0f, testMaterial(white)); // would occlude if anything were sampled
    for (float samples : {0.0f, -3.0f, std::nanf("")}) {
        vyxRenderSettings settings = testSettings();
        settings.aoSamples = samples;
        uint32_t before = vyxRandomCursor.load();
        EXPECT_TRUE(vecNear(vyxAmbientOcclusion(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 1, 0}, settings), white, 0.0f))
            << "no samples";
        EXPECT_EQ(vyxRandomCursor.load(), before) << samples;
    }
}

// Each query takes two table entries per sample, a fractional count rounded up.
TEST_F(AmbientOcclusion, CursorAdvancesTwicePerSample) {
    TestScene s;
    s.addFloor(0.0f, 50.0f, testMaterial(white));
    struct Case {
        float samples;
        uint32_t advance;
    } cases[] = {{10.0f, 20}, {2.5f, 6}, {1.0f, 2}, {0.01f, 2}};
    for (const Case& c : cases) {
        vyxRenderSettings settings = testSettings();
        settings.aoSamples = c.samples;
        uint32_t before = vyxRandomCursor.load();
        vyxVec3 a = vyxAmbientOcclusion(s.scene, vyxVec3{0, 0.001f, 0}, vyxVec3{0, 2, 0}, settings);
        EXPECT_EQ(vyxRandomCursor.load() - before, c.advance) << c.samples;
        // Just above a floor with nothing overhead every sample is open.
        EXPECT_TRUE(vecNear(a, white, 1e-6f)) << "open space";
    }
}

TEST_F(AmbientOcclusion, CursorWrapsAround) {
    TestScene s;
    vyxRandomCursor.store(0xFFFFFFF0u);
    vyxVec3 a = vyxAmbientOcclusion(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 1, 0}, testSettings());
    EXPECT_EQ(vyxRandomCursor.load(), 4u);
    EXPECT_TRUE(vecNear(a, white, 1e-6f)) << "open space across the wrap";
}

TEST_F(AmbientOcclusion, ThreadsShareTheCursorWithoutLosingSteps) {
    TestScene s;
    vyxRenderSettings settings = testSettings();
    const int threads = 4, calls = 500;
    uint32_t before = vyxRandomCursor.load();
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; i++)
        workers.emplace_back([&] {
            for (int j = 0; j < calls; j++)
                vyxAmbientOcclusion(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 1, 0}, settings);
        });
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(vyxRandomCursor.load() - before, uint32_t(threads * calls * 20));
}

// A roof at height 5 with occlusion rays of length 20: a ray at angle a from the normal
// meets it at 5 / cos a, openness g = min(1, 0.25 / cos a). Over the cosine-weighted
// hemisphere E[g] = integral of 2c min(1, 0.25 / c) dc = 0.0625 + 0.375 = 0.4375.
// A red half-transparent roof adds (1 - g) * (0.5, 0, 0).
TEST_F(AmbientOcclusion, RoofAgreesWithTheIntegral) {
    struct Case {
        const char* name;
        float alpha;
        vyxVec3 want;
    } cases[] = {
        {"opaque roof", 1.0f, {0.4375f, 0.4375f, 0.4375f}},
        {"red half-transparent roof", 0.5f, {0.4375f + 0.5f * 0.5625f, 0.4375f, 0.4375f}},
    };
    for (const Case& c : cases) {
        TestScene s;
        s.addFloor(5.0f, 1000.0f, testMaterial(red, c.alpha));
        vyxRenderSettings settings = testSettings();
        settings.aoSamples = 1024; // the whole table once
        vyxVec3 a = vyxAmbientOcclusion(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 1, 0}, settings);
        EXPECT_TRUE(vecNear(a, c.want, 0.04f)) << c.name;
    }
}

TEST_F(AmbientOcclusion, BottomOfANarrowWellIsDark) {
    TestScene s;
    vyxMaterial m = testMaterial(white);
    const float depth = 100.0f;
    s.addFloor(0.0f, 0.5f, m);
    s.addQuad(vyxVec3{-0.5f, 0, -0.5f}, vyxVec3{1, 0, 0}, vyxVec3{0, depth, 0}, m);
    s.addQuad(vyxVec3{-0.5f, 0, 0.5f}, vyxVec3{1, 0, 0}, vyxVec3{0, depth, 0}, m);
    s.addQuad(vyxVec3{-0.5f, 0, -0.5f}, vyxVec3{0, 0, 1}, vyxVec3{0, depth, 0}, m);
    s.addQuad(vyxVec3{0.5f, 0, -0.5f}, vyxVec3{0, 0, 1}, vyxVec3{0, depth, 0}, m);
    vyxRenderSettings settings = testSettings();
    settings.aoSamples = 256;
    vyxVec3 a = vyxAmbientOcclusion(s.scene, vyxVec3{0, 0.01f, 0}, vyxVec3{0, 1, 0}, settings);
    // Walls about 0.5 away give g of about 0.5 / (20 sin a): roughly 0.05 on average.
    EXPECT_LT(a.x, 0.12f);
    EXPECT_GT(a.x, 0.0f);
}
