#include "render/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "render/standard.h"
#include "render/subdivision.h"
#include "tests/render/render_scene.h"
#include "trace/random.h"

namespace {

const vyxVec3 marker = {7.0f, -3.0f, 11.0f};

void fill(FrameBuffer& frame, vyxVec3 colour) {
    for (int i = 0; i < frame.width * frame.height; ++i) {
        frame.pixels[i] = colour;
    }
}

bool sameImage(const FrameBuffer& a, const FrameBuffer& b) {
    return a.width == b.width && a.height == b.height &&
           memcmp(a.pixels, b.pixels, static_cast<size_t>(a.width) * a.height * sizeof(vyxVec3)) == 0;
}

TEST(RenderFrame, NoRendererLeavesImageButPreparesLightsTransformsAndTable) {
    TestScene test;
    buildLitScene(test);
    vyxLight& point = test.addLight(LightPoint, {0, 0, 0}, {1, 1, 1});
    vyxLight& disc = test.addLight(LightDisc, {0.0f, -1.0f, 0.0f}, {1, 1, 1});
    // Undo what adding the lights derived, and move one mesh and its hierarchy so their
    // caches go stale.
    point.position = {1.0f, 2.0f, 3.0f};
    point.range = 4.0f;
    point.boxMin = point.boxMax = {0, 0, 0};
    for (vyxVec3& direction : disc.sampleDirs) {
        direction = {0, 0, 0};
    }
    vyxMesh* mesh = test.scene.meshes[0];
    vyxTransformTranslate(mesh->transform, 0.0f, 0.0f, 0.5f);
    vyxTransformIdentity(mesh->bih->transform);
    ASSERT_FALSE(mesh->transform.inverseValid && mesh->transform.normalValid);
    ASSERT_FALSE(mesh->bih->transform.inverseValid && mesh->bih->transform.normalValid);

    bool filledBefore = vyxRandomTableFilled.load();
    vyxCamera camera = makeCamera(12, 9);
    FrameBuffer image = vyxAllocFrame(12, 9);
    FrameBuffer untouched = vyxAllocFrame(12, 9);
    fill(image, marker);
    fill(untouched, marker);
    for (int32_t flags : {0, static_cast<int32_t>(RenderThreaded | RenderAntialias | RenderCheckShadows)}) {
        vyxRenderSettings settings = testSettings(flags);
        vyxRenderFrame(test.scene, camera, image, settings);
        EXPECT_TRUE(sameImage(image, untouched)) << "flags " << flags;
    }
    vyxFreeFrame(image);
    vyxFreeFrame(untouched);

    EXPECT_EQ(point.boxMin, (vyxVec3{-3.0f, -2.0f, -1.0f}));
    EXPECT_EQ(point.boxMax, (vyxVec3{5.0f, 6.0f, 7.0f}));
    for (vyxVec3 direction : disc.sampleDirs) {
        // Toward the disc, which lies opposite its travel direction (0, -1, 0).
        EXPECT_GT(direction.y, 0.0f);
    }
    EXPECT_TRUE(mesh->transform.inverseValid && mesh->transform.normalValid);
    EXPECT_TRUE(mesh->bih->transform.inverseValid && mesh->bih->transform.normalValid);

    ASSERT_TRUE(vyxRandomTableFilled.load()) << "filled before: " << filledBefore;
    float table[vyxRandomTableSize];
    memcpy(table, vyxRandomTable, sizeof(table));
    for (float value : table) {
        EXPECT_GE(value, 0.0f);
        EXPECT_LE(value, 1.0f);
    }
    vyxRenderSettings settings = testSettings(0);
    FrameBuffer again = vyxAllocFrame(12, 9);
    vyxRenderFrame(test.scene, camera, again, settings);
    vyxFreeFrame(again);
    EXPECT_EQ(memcmp(table, vyxRandomTable, sizeof(table)), 0) << "the table is filled once per process";
}

// The flags choose the renderer; the images of the four renderers differ on this scene
// (no block interpolation leaves black pixels), so each comparison identifies one.
TEST(RenderFrame, FlagsChooseTheRenderer) {
    TestScene test;
    buildLitScene(test);
    const int width = 30, height = 20;
    vyxCamera camera = makeCamera(width, height);
    using Renderer = void (*)(const vyxScene&, const vyxCamera&, FrameBuffer&, const vyxRenderSettings&);
    struct Case {
        const char* name;
        int32_t flags;
        Renderer expected;
    };
    const int32_t extras = RenderNoBlockInterpolation | RenderCheckShadows | RenderCheckSpecular;
    const Case cases[] = {
        {"standard", RenderStandard | extras, vyxRenderStandard},
        {"both renderer bits", RenderStandard | RenderSubdivision | extras, vyxRenderStandard},
        {"standard threaded", RenderStandard | RenderThreaded | RenderAntialias, vyxRenderStandardThreaded},
        {"subdivision", RenderSubdivision | extras, vyxRenderSubdivision},
        {"subdivision ignores antialiasing", RenderSubdivision | RenderAntialias | extras, vyxRenderSubdivision},
        {"subdivision threaded", RenderSubdivision | RenderThreaded | extras, vyxRenderSubdivisionThreaded},
    };
    for (const Case& c : cases) {
        vyxRenderSettings settings = testSettings(c.flags);
        settings.threadCount = 3;
        SentinelFrame viaFrame(width, height), direct(width, height);
        vyxRenderFrame(test.scene, camera, viaFrame.frame, settings);
        c.expected(test.scene, camera, direct.frame, settings);
        EXPECT_TRUE(sameImage(viaFrame.frame, direct.frame)) << c.name;
    }
    // The subsample checks and block interpolation do not touch the standard renderer.
    SentinelFrame plain(width, height), checked(width, height);
    vyxRenderSettings plainSettings = testSettings(RenderStandard);
    vyxRenderSettings checkedSettings = testSettings(RenderStandard | extras | RenderCheckReflections);
    vyxRenderFrame(test.scene, camera, plain.frame, plainSettings);
    vyxRenderFrame(test.scene, camera, checked.frame, checkedSettings);
    EXPECT_TRUE(sameImage(plain.frame, checked.frame));
    // And antialiasing does not touch the subdivision renderer.
    SentinelFrame subdivided(width, height), antialiased(width, height);
    vyxRenderSettings subdivisionSettings = testSettings(RenderSubdivision);
    vyxRenderSettings antialiasSettings = testSettings(RenderSubdivision | RenderAntialias);
    vyxRenderFrame(test.scene, camera, subdivided.frame, subdivisionSettings);
    vyxRenderFrame(test.scene, camera, antialiased.frame, antialiasSettings);
    EXPECT_TRUE(sameImage(subdivided.frame, antialiased.frame));
}

TEST(RenderFrame, WorkersReportTheirRays) {
    SKIP_WITHOUT_RAY_STATS();
    TestScene test;
    buildLitScene(test);
    const int width = 21, height = 13;
    vyxCamera camera = makeCamera(width, height);
    vyxRenderSettings settings = testSettings(RenderStandard | RenderThreaded);
    settings.threadCount = 5;
    SentinelFrame image(width, height);
    vyxRayStatsReset();
    vyxRenderFrame(test.scene, camera, image.frame, settings);
    vyxRayStats stats = vyxRayStatsTotal();
    EXPECT_EQ(stats.primary, static_cast<uint64_t>(width * height));
    EXPECT_GT(stats.shadow, 0u);
    EXPECT_GT(stats.reflection, 0u);
    EXPECT_GT(stats.transparency, 0u);
}

TEST(RenderFrame, FrameNotMatchingTheCameraIsLeftAlone) {
    TestScene test;
    buildLitScene(test);
    vyxCamera camera = makeCamera(12, 10);
    for (int32_t flags : {static_cast<int32_t>(RenderStandard), static_cast<int32_t>(RenderSubdivision),
                          static_cast<int32_t>(RenderStandard | RenderThreaded),
                          static_cast<int32_t>(RenderSubdivision | RenderThreaded)}) {
        vyxRenderSettings settings = testSettings(flags);
        FrameBuffer small = vyxAllocFrame(10, 10);
        FrameBuffer untouched = vyxAllocFrame(10, 10);
        fill(small, marker);
        fill(untouched, marker);
        vyxRenderFrame(test.scene, camera, small, settings);
        EXPECT_TRUE(sameImage(small, untouched)) << "flags " << flags;
        vyxFreeFrame(small);
        vyxFreeFrame(untouched);
        FrameBuffer empty = {0, 0, nullptr};
        vyxRenderFrame(test.scene, camera, empty, settings);
    }
}

// Sizes that do not tile into 8 x 8 blocks or into equal bands, and more threads than
// rows or columns: every renderer writes every pixel and nothing outside the frame
// (the sanitizer build checks the latter).
TEST(RenderFrame, OddSizesAndThreadCountsFillTheWholeFrame) {
    TestScene test;
    buildLitScene(test);
    struct Case {
        int width, height, threads;
    };
    const Case cases[] = {{100, 75, 7}, {1, 1, 1}, {1, 1, 64}, {9, 17, 64}, {17, 9, 64}, {2, 50, 3}, {50, 2, 7}};
    const int32_t modes[] = {RenderStandard | RenderAntialias, RenderStandard | RenderAntialias | RenderThreaded,
                             RenderSubdivision | RenderCheckShadows,
                             RenderSubdivision | RenderCheckShadows | RenderThreaded};
    for (const Case& c : cases) {
        vyxCamera camera = makeCamera(c.width, c.height);
        for (int32_t flags : modes) {
            vyxRenderSettings settings = testSettings(flags);
            settings.threadCount = c.threads;
            SentinelFrame image(c.width, c.height);
            vyxRenderFrame(test.scene, camera, image.frame, settings);
            int missing = 0;
            for (int y = 0; y < c.height; ++y) {
                for (int x = 0; x < c.width; ++x) {
                    missing += isWritten(image.at(x, y)) ? 0 : 1;
                }
            }
            EXPECT_EQ(missing, 0) << c.width << "x" << c.height << " threads " << c.threads << " flags " << flags;
        }
    }
}

} // namespace
