#include "render/standard.h"

#include <gtest/gtest.h>

#include <sstream>

#include "render/frame.h"
#include "tests/render/render_scene.h"
#include "trace/shade.h"

namespace {

const vyxVec3 black = {0.0f, 0.0f, 0.0f};

void expectSameImage(const FrameBuffer& expected, const FrameBuffer& actual, const std::string& what) {
    ASSERT_EQ(expected.width, actual.width) << what;
    ASSERT_EQ(expected.height, actual.height) << what;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            size_t i = static_cast<size_t>(y) * expected.width + x;
            ASSERT_TRUE(isWritten(actual.pixels[i])) << what << " pixel (" << x << ", " << y << ") not written";
            ASSERT_EQ(expected.pixels[i], actual.pixels[i]) << what << " pixel (" << x << ", " << y << ")";
        }
    }
}

TEST(StandardRenderer, EachPixelIsTheShadeOfItsTopLeftCorner) {
    TestScene test;
    buildLitScene(test);
    const int width = 23, height = 17;
    vyxCamera camera = makeCamera(width, height);
    vyxRenderSettings settings = testSettings(RenderStandard);
    SentinelFrame image(width, height);
    vyxRayStatsReset();
    vyxRenderStandard(test.scene, camera, image.frame, settings);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            vyxVec3 origin, direction;
            vyxPrimaryRay(camera, static_cast<float>(x), static_cast<float>(y), origin, direction);
            vyxVec3 expected = vyxShade(test.scene, origin, direction, settings.maxDepth, settings);
            ASSERT_EQ(expected, image.at(x, y)) << "pixel (" << x << ", " << y << ")";
        }
    }
#ifdef VYX_RAY_STATS
    EXPECT_EQ(primaryRays(), static_cast<uint64_t>(width * height));
#endif
}

TEST(StandardRenderer, ThreadedEqualsSingleThreaded) {
    TestScene test;
    buildLitScene(test);
    struct Size {
        int width, height;
    };
    const Size sizes[] = {{23, 17}, {1, 1}, {1, 9}, {9, 1}, {40, 3}};
    const int threadCounts[] = {1, 2, 3, 5, 17, 20, 64, 0, 500};
    for (int antialias = 0; antialias < 2; ++antialias) {
        vyxRenderSettings settings = testSettings(static_cast<int32_t>(RenderStandard) |
                                                  (antialias ? static_cast<int32_t>(RenderAntialias) : 0));
        for (const Size& size : sizes) {
            vyxCamera camera = makeCamera(size.width, size.height);
            SentinelFrame reference(size.width, size.height);
            vyxRenderStandard(test.scene, camera, reference.frame, settings);
            for (int threads : threadCounts) {
                settings.threadCount = threads;
                SentinelFrame image(size.width, size.height);
                vyxRayStatsReset();
                vyxRenderStandardThreaded(test.scene, camera, image.frame, settings);
                std::ostringstream what;
                what << size.width << "x" << size.height << " threads " << threads << " antialias " << antialias;
                expectSameImage(reference.frame, image.frame, what.str());
#ifdef VYX_RAY_STATS
                if (!antialias) {
                    EXPECT_EQ(primaryRays(), static_cast<uint64_t>(size.width * size.height)) << what.str();
                }
#endif
            }
        }
    }
}

TEST(StandardRenderer, AntialiasingLeavesLastRowAndColumnAndSingleRows) {
    TestScene test;
    buildLitScene(test);
    struct Case {
        int width, height;
    };
    for (Case size : {Case{31, 24}, Case{30, 1}, Case{1, 12}}) {
        vyxCamera camera = makeCamera(size.width, size.height);
        SentinelFrame plain(size.width, size.height);
        SentinelFrame smooth(size.width, size.height);
        vyxRenderStandard(test.scene, camera, plain.frame, testSettings(RenderStandard));
        vyxRenderStandard(test.scene, camera, smooth.frame, testSettings(RenderStandard | RenderAntialias));
        int changed = 0;
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                bool edge = x == size.width - 1 || y == size.height - 1;
                if (edge) {
                    EXPECT_EQ(plain.at(x, y), smooth.at(x, y))
                        << size.width << "x" << size.height << " pixel (" << x << ", " << y << ")";
                }
                changed += plain.at(x, y) != smooth.at(x, y) ? 1 : 0;
            }
        }
        if (size.width > 1 && size.height > 1) {
            EXPECT_GT(changed, 0) << "the scene has edges, so some pixels are supersampled";
        } else {
            EXPECT_EQ(changed, 0) << size.width << "x" << size.height;
        }
    }
}

// In an empty scene without environment every shade is black, so the quad's result and
// the rays it spends follow from its corner colours alone.
TEST(AntialiasQuad, RefinesOnRelativeDifferenceOnly) {
    TestScene empty;
    vyxRenderSettings settings = testSettings(RenderStandard | RenderAntialias);
    settings.aaThreshold = 0.25f;
    const vyxVec3 origin = {0.0f, 0.0f, 0.0f};
    const vyxVec3 d00 = {-1.0f, 1.0f, -1.0f}, d10 = {1.0f, 1.0f, -1.0f};
    const vyxVec3 d01 = {-1.0f, -1.0f, -1.0f}, d11 = {1.0f, -1.0f, -1.0f};
    struct Case {
        const char* name;
        vyxVec3 c00, c10, c01, c11;
        int levels;
        vyxVec3 expected;
        uint64_t rays;
    };
    const vyxVec3 dark = {0.1f, 0.1f, 0.1f}, darkPlus = {0.2f, 0.1f, 0.2f};
    const vyxVec3 bright = {2.0f, 2.0f, 2.0f}, brightPlus = {2.1f, 2.0f, 2.1f};
    const Case cases[] = {
        // Difference 0.2 / 0.3 of the brightness: refine; one level averages c00 with
        // three black midpoint shades.
        {"dark", dark, darkPlus, dark, dark, 1, dark * 0.25f, 5},
        // The same absolute difference against a bright pixel stays below the threshold.
        {"bright", bright, brightPlus, bright, bright, 1, bright, 0},
        {"bright lower-right", bright, bright, bright, brightPlus, 3, bright, 0},
        // 0 / 0 is not a number and does not refine; anything / 0 is infinite and does.
        {"all black", black, black, black, black, 3, black, 0},
        {"black beside red", black, black, black, {0.001f, 0.0f, 0.0f}, 1, black, 5},
        // Three levels refine only the sub-quads that touch the bright top-right
        // corner: 5 + 5 + 5 rays, and the black top-left colours average to black.
        {"three levels", black, {1.0f, 1.0f, 1.0f}, black, black, 3, black, 15},
        {"zero levels", black, {1.0f, 1.0f, 1.0f}, black, black, 0, black, 0},
    };
    for (const Case& c : cases) {
        vyxRayStatsReset();
        vyxVec3 result =
            vyxAntialiasQuad(empty.scene, origin, d00, d10, d01, d11, c.c00, c.c10, c.c01, c.c11, c.levels, settings);
        EXPECT_LT(largestDifference(result, c.expected), 1e-6f) << c.name;
#ifdef VYX_RAY_STATS
        EXPECT_EQ(primaryRays(), c.rays) << c.name;
#endif
    }
}

TEST(AntialiasQuad, OneLevelAveragesCornerWithTopLeftAndCentreShades) {
    TestScene test;
    buildLitScene(test);
    vyxRenderSettings settings = testSettings(RenderStandard | RenderAntialias);
    vyxCamera camera = makeCamera(16, 16);
    // A pixel on the edge of the floor: the corners differ, so the quad refines.
    vyxVec3 origin, d00, d10, d01, d11;
    float x = 1.0f, y = 1.0f;
    vyxPrimaryRay(camera, x, y, origin, d00);
    vyxPrimaryRay(camera, x + 1.0f, y, origin, d10);
    vyxPrimaryRay(camera, x, y + 1.0f, origin, d01);
    vyxPrimaryRay(camera, x + 1.0f, y + 1.0f, origin, d11);
    const vyxVec3 c00 = {0.05f, 0.05f, 0.05f}, c11 = {1.0f, 1.0f, 1.0f};
    vyxVec3 result = vyxAntialiasQuad(test.scene, origin, d00, d10, d01, d11, c00, c00, c00, c11, 1, settings);
    auto shade = [&](vyxVec3 direction) {
        return vyxShade(test.scene, origin, direction, settings.maxDepth, settings);
    };
    vyxVec3 expected =
        (c00 + shade((d00 + d10) * 0.5f) + shade((d00 + d01) * 0.5f) + shade((d00 + d11) * 0.5f)) * 0.25f;
    EXPECT_LT(largestDifference(result, expected), 1e-6f);
}

TEST(FrameBuffer, AllocationRejectsEmptySizesAndFreeIsRepeatable) {
    for (int size : {0, -1, -1000}) {
        FrameBuffer wide = vyxAllocFrame(size, 10);
        FrameBuffer tall = vyxAllocFrame(10, size);
        EXPECT_EQ(wide.pixels, nullptr);
        EXPECT_EQ(tall.pixels, nullptr);
        EXPECT_EQ(wide.width, 0);
        EXPECT_EQ(tall.height, 0);
    }
    FrameBuffer frame = vyxAllocFrame(3, 2);
    ASSERT_NE(frame.pixels, nullptr);
    EXPECT_EQ(frame.width, 3);
    EXPECT_EQ(frame.height, 2);
    vyxFreeFrame(frame);
    EXPECT_EQ(frame.pixels, nullptr);
    vyxFreeFrame(frame);
}

} // namespace
