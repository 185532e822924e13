#include "render/tiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "render/accumulate.h"
#include "render/frame.h"
#include "tests/render/render_scene.h"

namespace {

// The frame put together from every tile of plan, rendered in reverse order (any order
// must do), each into a buffer of its own.
FrameBuffer assembleTiles(const vyxScene& scene, const vyxCamera& camera, const vyxTilePlan& plan, int32_t sample,
                          const vyxRenderSettings& settings) {
    FrameBuffer image = vyxAllocFrame(plan.width, plan.height);
    std::memset(image.pixels, 0xff, static_cast<size_t>(plan.width) * plan.height * sizeof(vyxVec3));
    for (int32_t index = plan.tileCount - 1; index >= 0; --index) {
        vyxTile tile;
        EXPECT_TRUE(vyxTileOf(plan, camera, index, tile));
        if (tile.sample != sample)
            continue;
        std::vector<vyxVec3> pixels(static_cast<size_t>(tile.width) * tile.height);
        EXPECT_TRUE(vyxRenderTile(scene, camera, settings, plan, index, pixels.data()));
        vyxPlaceTile(image, tile, pixels.data());
    }
    return image;
}

bool sameImage(const FrameBuffer& a, const FrameBuffer& b) {
    return a.width == b.width && a.height == b.height &&
           std::memcmp(a.pixels, b.pixels, static_cast<size_t>(a.width) * a.height * sizeof(vyxVec3)) == 0;
}

void buildTileScene(TestScene& test) {
    buildLitScene(test);
    vyxLight& sun = test.addLight(LightDisc, {-0.4f, -0.3f, -1.0f}, {0.8f, 0.7f, 0.6f});
    sun.angle = 0.05f;
    vyxUpdateLight(sun);
}

} // namespace

// Tiles make exactly the renderers' pictures, bit for bit, whatever the renderer, the
// block count and the size (edges that cut blocks and tiles, a single row or column),
// including seeded soft-shadow jitter, which depends only on the row.
TEST(Tiles, AssembledTilesEqualTheWholeFrame) {
    TestScene test;
    buildTileScene(test);
    struct Case {
        int32_t flags;
        int32_t threadCount;
    };
    const int32_t checks = RenderCheckShadows | RenderCheckSpecular | RenderCheckReflections;
    const Case cases[] = {
        {RenderSubdivision | RenderThreaded, 20},
        {RenderSubdivision | RenderThreaded | checks, 7},
        {RenderSubdivision | RenderThreaded | RenderNoBlockInterpolation, 3},
        {RenderSubdivision | checks, 20},
        {RenderStandard | RenderThreaded, 20},
        {RenderStandard | RenderThreaded | RenderAntialias | RenderJitterSoftShadows, 20},
        {RenderStandard | RenderAntialias, 5},
        {0, 20},
    };
    const int sizes[][2] = {{96, 72}, {37, 29}, {1, 19}, {23, 1}, {130, 70}};
    for (const auto& size : sizes) {
        vyxCamera camera = makeCamera(size[0], size[1]);
        for (const Case& c : cases) {
            vyxRenderSettings settings = testSettings(c.flags);
            settings.threadCount = c.threadCount;
            settings.jitterSeed = 12345;
            FrameBuffer whole = vyxAllocFrame(size[0], size[1]);
            std::memset(whole.pixels, 0xff, static_cast<size_t>(size[0]) * size[1] * sizeof(vyxVec3));
            vyxRenderFrame(test.scene, camera, whole, settings);
            vyxTilePlan plan = vyxPlanTiles(camera, settings, TileFrame, 1);
            EXPECT_EQ(plan.tileCount == 0, c.flags == 0);
            FrameBuffer tiled = assembleTiles(test.scene, camera, plan, 0, settings);
            EXPECT_TRUE(sameImage(whole, tiled)) << size[0] << "x" << size[1] << ", flags " << c.flags;
            vyxFreeFrame(whole);
            vyxFreeFrame(tiled);
        }
    }
}

// Every sample of a set of still samples equals vyxRenderStillSample's picture of that
// sample index given the same seed, and the tiles cover each picture once.
TEST(Tiles, StillSampleTilesEqualStillSamples) {
    TestScene test;
    buildTileScene(test);
    vyxCamera camera = makeCamera(41, 35);
    vyxRenderSettings settings = testSettings(RenderSubdivision | RenderThreaded);
    vyxTilePlan plan = vyxPlanTiles(camera, settings, TileSamples, 3);
    std::vector<int32_t> covered(static_cast<size_t>(3) * 41 * 35, 0);
    for (int32_t index = 0; index < plan.tileCount; ++index) {
        vyxTile tile;
        ASSERT_TRUE(vyxTileOf(plan, camera, index, tile));
        for (int32_t y = tile.y; y < tile.y + tile.height; ++y)
            for (int32_t x = tile.x; x < tile.x + tile.width; ++x)
                ++covered[(static_cast<size_t>(tile.sample) * 35 + y) * 41 + x];
    }
    for (int32_t count : covered)
        ASSERT_EQ(count, 1);
    for (int32_t sample = 0; sample < 3; ++sample) {
        const int32_t index = 5 + sample;
        vyxRenderSettings sampleSettings = vyxStillSampleSettings(settings, index);
        sampleSettings.jitterSeed = 77u + static_cast<uint32_t>(sample);
        FrameBuffer reference = vyxAllocFrame(41, 35);
        vyxRenderSettings referenceSettings = settings;
        referenceSettings.jitterSeed = sampleSettings.jitterSeed;
        vyxRenderStillSample(test.scene, camera, reference, referenceSettings, index);
        FrameBuffer tiled = assembleTiles(test.scene, camera, plan, sample, sampleSettings);
        EXPECT_TRUE(sameImage(reference, tiled)) << "sample " << sample;
        vyxFreeFrame(reference);
        vyxFreeFrame(tiled);
    }
    vyxTile tile;
    EXPECT_FALSE(vyxTileOf(plan, camera, plan.tileCount, tile));
    EXPECT_FALSE(vyxTileOf(plan, camera, -1, tile));
}
