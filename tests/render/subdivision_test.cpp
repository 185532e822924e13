#include "render/subdivision.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "render/frame.h"
#include "render/standard.h"
#include "tests/render/render_scene.h"
#include "trace/shade.h"

namespace {

int roundUp8(int value) { return (value + 7) / 8 * 8; }

// Block corners of one band: the lattice reaches the next multiple of 8 on both axes.
uint64_t cornerCount(int width, int height) {
    return static_cast<uint64_t>(roundUp8(width) / 8 + 1) * static_cast<uint64_t>(roundUp8(height) / 8 + 1);
}

// Widths of the threaded renderer's bands: multiples of 8, the last one taking the rest.
std::vector<int> bandWidths(int width, int threads) {
    int share = width / threads;
    int step = share < 1 ? 8 : roundUp8(share);
    std::vector<int> widths;
    for (int k = 0; k < threads; ++k) {
        int left = k * step < width ? width - k * step : 0;
        widths.push_back(k == threads - 1 || left < step ? left : step);
    }
    return widths;
}

// A quad filling the whole view at z = 0.
void addBackdrop(TestScene& test, const vyxMaterial& material) {
    std::vector<TestTriangle> quad;
    addRectangle(quad, -30.0f, -30.0f, 30.0f, 30.0f, 0.0f);
    test.addMesh(quad, {material});
}

// A camera turned slightly off the axes: with the straight one, lattice rays run exactly
// along cube edges (x = z), where a rounding difference picks the neighbouring face.
vyxCamera offAxisCamera(int width, int height) {
    return makeCamera(width, height, {0.0f, 0.0f, 10.0f}, {0.31f, 0.17f, 0.0f});
}

// Largest channel difference over the image; fails on an unwritten pixel.
float largestImageDifference(SentinelFrame& a, SentinelFrame& b, const std::string& what) {
    float largest = 0.0f;
    for (int y = 0; y < a.frame.height; ++y) {
        for (int x = 0; x < a.frame.width; ++x) {
            EXPECT_TRUE(isWritten(a.at(x, y)) && isWritten(b.at(x, y)))
                << what << ": pixel (" << x << ", " << y << ") not written";
            float difference = largestDifference(a.at(x, y), b.at(x, y));
            largest = difference > largest ? difference : largest;
        }
    }
    return largest;
}

TEST(SubdivisionRenderer, AllMissSceneTracesOnlyBlockCorners) {
    SKIP_WITHOUT_RAY_STATS();
    for (int withCubeMap = 0; withCubeMap < 2; ++withCubeMap) {
        TestScene test;
        if (withCubeMap) {
            test.setSmoothCubeMap();
        }
        vyxRenderSettings settings = testSettings(RenderSubdivision);
        struct Size {
            int width, height, threads;
        };
        for (Size size : {Size{64, 48, 4}, Size{20, 12, 3}, Size{1, 1, 2}, Size{9, 17, 64}, Size{100, 75, 7}}) {
            std::ostringstream what;
            what << size.width << "x" << size.height << " cube map " << withCubeMap;
            vyxCamera camera = offAxisCamera(size.width, size.height);
            SentinelFrame image(size.width, size.height);
            vyxRayStatsReset();
            vyxRenderSubdivision(test.scene, camera, image.frame, settings);
            EXPECT_EQ(primaryRays(), cornerCount(size.width, size.height)) << what.str();

            SentinelFrame threaded(size.width, size.height);
            settings.threadCount = size.threads;
            vyxRayStatsReset();
            vyxRenderSubdivisionThreaded(test.scene, camera, threaded.frame, settings);
            uint64_t expected = 0;
            for (int bandWidth : bandWidths(size.width, size.threads)) {
                expected += bandWidth > 0 ? cornerCount(bandWidth, size.height) : 0;
            }
            EXPECT_EQ(primaryRays(), expected) << what.str() << " threads " << size.threads;

            // Every pixel shows the environment along (nearly) its own primary ray, or
            // black without one.
            for (int y = 0; y < size.height; ++y) {
                for (int x = 0; x < size.width; ++x) {
                    vyxVec3 origin, direction;
                    vyxPrimaryRay(camera, static_cast<float>(x), static_cast<float>(y), origin, direction);
                    vyxVec3 expectedColour = vyxShade(test.scene, origin, direction, 1, settings);
                    ASSERT_LT(largestDifference(image.at(x, y), expectedColour), 1e-4f)
                        << what.str() << " pixel (" << x << ", " << y << ")";
                    ASSERT_LT(largestDifference(threaded.at(x, y), expectedColour), 1e-4f)
                        << what.str() << " threaded pixel (" << x << ", " << y << ")";
                }
            }
        }
    }
}

TEST(SubdivisionRenderer, FlatEvenlyLitQuadNeedsNoRefinement) {
    SKIP_WITHOUT_RAY_STATS();
    TestScene test;
    addBackdrop(test, vyxDefaultMaterial());
    test.addLight(LightDirectional, {0.2f, -0.3f, -1.0f}, {0.9f, 0.8f, 0.7f});
    test.addLight(LightHemisphere, {0.0f, 1.0f, 0.0f}, {0.3f, 0.3f, 0.4f});
    vyxRenderSettings settings =
        testSettings(RenderSubdivision | RenderCheckShadows | RenderCheckSpecular | RenderCheckReflections);
    const int width = 40, height = 24;
    vyxCamera camera = makeCamera(width, height);
    SentinelFrame subdivided(width, height), standard(width, height);
    vyxRayStatsReset();
    vyxRenderSubdivision(test.scene, camera, subdivided.frame, settings);
    EXPECT_EQ(primaryRays(), cornerCount(width, height));
    vyxRenderStandard(test.scene, camera, standard.frame, settings);
    EXPECT_LT(largestImageDifference(subdivided, standard, "flat quad"), 1e-5f);
}

TEST(SubdivisionRenderer, FullRefinementTracesEveryLatticePointOnce) {
    SKIP_WITHOUT_RAY_STATS();
    TestScene test;
    addBackdrop(test, vyxDefaultMaterial());
    test.addLight(LightDirectional, {0.2f, -0.3f, -1.0f}, {0.9f, 0.8f, 0.7f});
    vyxRenderSettings settings = testSettings(RenderSubdivision | RenderCheckShadows);
    settings.subsampleThreshold = -1.0f; // every difference, even 0, exceeds it
    struct Size {
        int width, height;
    };
    for (Size size : {Size{24, 16}, Size{20, 13}, Size{1, 1}}) {
        vyxCamera camera = makeCamera(size.width, size.height);
        SentinelFrame subdivided(size.width, size.height), standard(size.width, size.height);
        vyxRayStatsReset();
        vyxRenderSubdivision(test.scene, camera, subdivided.frame, settings);
        // Clipped blocks skip quarters with no pixel in the image, so only sizes that
        // tile trace the whole lattice; the others trace at most that.
        uint64_t lattice = static_cast<uint64_t>(roundUp8(size.width) + 1) * (roundUp8(size.height) + 1);
        if (size.width % 8 == 0 && size.height % 8 == 0) {
            EXPECT_EQ(primaryRays(), lattice) << size.width << "x" << size.height;
        } else {
            EXPECT_LE(primaryRays(), lattice) << size.width << "x" << size.height;
        }
        vyxRenderStandard(test.scene, camera, standard.frame, settings);
        EXPECT_LT(largestImageDifference(subdivided, standard, "full refinement"), 1e-5f);
    }
}

// Unlit surfaces show their colour exactly, so wherever the renderer refines correctly
// its image equals the standard renderer's; a block filled across a border would show
// the wrong colour. The borders are placed between lattice columns.
TEST(SubdivisionRenderer, BordersRefineDownToPixels) {
    SKIP_WITHOUT_RAY_STATS();
    struct Case {
        const char* name;
        std::function<void(TestScene&)> build;
    };
    const Case cases[] = {
        {"silhouette",
         [](TestScene& test) {
             std::vector<TestTriangle> quad;
             addRectangle(quad, -4.13f, -3.71f, 5.29f, 6.17f, 0.0f);
             test.addMesh(quad, {unlitMaterial(0.9f, 0.5f, 0.1f)});
         }},
        {"object border",
         [](TestScene& test) {
             std::vector<TestTriangle> left, right;
             addRectangle(left, -30.0f, -30.0f, 0.37f, 30.0f, 0.0f);
             addRectangle(right, 0.37f, -30.0f, 30.0f, 30.0f, 0.0f);
             test.addMesh(left, {unlitMaterial(0.9f, 0.5f, 0.1f)});
             test.addMesh(right, {unlitMaterial(0.1f, 0.5f, 0.9f)});
         }},
        {"material border",
         [](TestScene& test) {
             std::vector<TestTriangle> quads;
             addRectangle(quads, -30.0f, -30.0f, 30.0f, 1.41f, 0.0f, 0);
             addRectangle(quads, -30.0f, 1.41f, 30.0f, 30.0f, 0.0f, 1);
             test.addMesh(quads, {unlitMaterial(0.9f, 0.5f, 0.1f), unlitMaterial(0.1f, 0.5f, 0.9f)});
         }},
        {"translucent panel in front",
         [](TestScene& test) {
             addBackdrop(test, unlitMaterial(0.2f, 0.6f, 0.2f));
             vyxMaterial glass = unlitMaterial(0.9f, 0.1f, 0.1f);
             glass.alpha = 0.5f;
             std::vector<TestTriangle> panel;
             addRectangle(panel, -2.77f, -5.3f, 3.61f, 2.9f, 2.0f);
             test.addMesh(panel, {glass});
         }},
    };
    const int width = 32, height = 24;
    vyxCamera camera = makeCamera(width, height);
    vyxRenderSettings settings = testSettings(RenderSubdivision);
    for (const Case& c : cases) {
        TestScene test;
        c.build(test);
        SentinelFrame subdivided(width, height), standard(width, height);
        vyxRayStatsReset();
        vyxRenderSubdivision(test.scene, camera, subdivided.frame, settings);
        EXPECT_GT(primaryRays(), cornerCount(width, height)) << c.name;
        vyxRenderStandard(test.scene, camera, standard.frame, settings);
        EXPECT_EQ(largestImageDifference(subdivided, standard, c.name), 0.0f) << c.name;
    }
}

TEST(SubdivisionRenderer, PatchBorderRefinesEvenWithinOneMaterial) {
    SKIP_WITHOUT_RAY_STATS();
    const int width = 32, height = 24;
    vyxCamera camera = makeCamera(width, height);
    vyxRenderSettings settings = testSettings(RenderSubdivision);
    for (int patches = 1; patches <= 2; ++patches) {
        TestScene test;
        std::vector<TestTriangle> quads;
        addRectangle(quads, -30.0f, -30.0f, 0.37f, 30.0f, 0.0f, 0, 1);
        addRectangle(quads, 0.37f, -30.0f, 30.0f, 30.0f, 0.0f, 0, patches);
        test.addMesh(quads, {unlitMaterial(0.5f, 0.5f, 0.5f)});
        SentinelFrame image(width, height);
        vyxRayStatsReset();
        vyxRenderSubdivision(test.scene, camera, image.frame, settings);
        if (patches == 1) {
            EXPECT_EQ(primaryRays(), cornerCount(width, height));
        } else {
            EXPECT_GT(primaryRays(), cornerCount(width, height));
        }
    }
}

// A wall outside the view shadows the right part of a lit floor; the shadow edge runs
// between lattice columns. Only the shadow check sees it.
TEST(SubdivisionRenderer, ShadowEdgeRefinesOnlyWithShadowCheck) {
    SKIP_WITHOUT_RAY_STATS();
    TestScene test;
    addBackdrop(test, vyxDefaultMaterial());
    std::vector<TestTriangle> wall;
    wall.push_back({{20.0f, -40.0f, 0.0f}, {20.0f, 40.0f, 0.0f}, {20.0f, 40.0f, 3.0f}, 0, 1});
    wall.push_back({{20.0f, -40.0f, 0.0f}, {20.0f, 40.0f, 3.0f}, {20.0f, -40.0f, 3.0f}, 0, 1});
    test.addMesh(wall, {vyxDefaultMaterial()});
    // Travelling toward -x and down: the wall's top edge shadows the floor from x = 5.3.
    test.addLight(LightDirectional, {-1.0f, 0.0f, -3.0f / 14.7f}, {3.0f, 3.0f, 3.0f});
    const int width = 64, height = 32;
    vyxCamera camera = makeCamera(width, height);
    for (int check = 0; check < 2; ++check) {
        vyxRenderSettings settings =
            testSettings(RenderSubdivision | (check ? static_cast<int32_t>(RenderCheckShadows) : 0));
        SentinelFrame subdivided(width, height), standard(width, height);
        vyxRayStatsReset();
        vyxRenderSubdivision(test.scene, camera, subdivided.frame, settings);
        uint64_t rays = primaryRays();
        vyxRenderStandard(test.scene, camera, standard.frame, settings);
        float difference = largestImageDifference(subdivided, standard, "shadow edge");
        if (check) {
            EXPECT_GT(rays, cornerCount(width, height));
            EXPECT_LT(difference, 1e-5f);
        } else {
            EXPECT_EQ(rays, cornerCount(width, height));
            EXPECT_GT(difference, 0.1f) << "the edge is interpolated away";
        }
    }
}

TEST(SubdivisionRenderer, NoBlockInterpolationWritesOnePixelPerUnrefinedBlock) {
    TestScene test;
    addBackdrop(test, unlitMaterial(0.5f, 0.6f, 0.7f));
    const int width = 40, height = 21;
    vyxCamera camera = makeCamera(width, height);
    vyxRenderSettings settings = testSettings(RenderSubdivision | RenderNoBlockInterpolation);
    for (int threads = 0; threads <= 3; ++threads) {
        settings.threadCount = threads;
        SentinelFrame image(width, height);
        if (threads == 0) {
            vyxRenderSubdivision(test.scene, camera, image.frame, settings);
        } else {
            vyxRenderSubdivisionThreaded(test.scene, camera, image.frame, settings);
        }
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                vyxVec3 expected = (x % 8 == 0 && y % 8 == 0) ? vyxVec3{0.5f, 0.6f, 0.7f} : vyxVec3{0, 0, 0};
                ASSERT_EQ(image.at(x, y), expected) << "threads " << threads << " pixel (" << x << ", " << y << ")";
            }
        }
    }

    // Blocks refined down to single pixels still write every pixel.
    settings = testSettings(RenderSubdivision | RenderNoBlockInterpolation | RenderCheckShadows);
    settings.subsampleThreshold = -1.0f;
    SentinelFrame refined(width, height);
    vyxRenderSubdivision(test.scene, camera, refined.frame, settings);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            ASSERT_EQ(refined.at(x, y), (vyxVec3{0.5f, 0.6f, 0.7f})) << "pixel (" << x << ", " << y << ")";
        }
    }
}

TEST(SubdivisionRenderer, ThreadedMatchesSingleThreadedAtAnySize) {
    TestScene test;
    buildLitScene(test);
    vyxRenderSettings settings =
        testSettings(RenderSubdivision | RenderCheckShadows | RenderCheckSpecular | RenderCheckReflections);
    struct Case {
        int width, height, threads;
    };
    const Case cases[] = {{64, 48, 1}, {64, 48, 2}, {64, 48, 8}, {160, 48, 20}, {100, 75, 7}, {9, 17, 64},
                          {1, 1, 1},   {1, 1, 64},  {3, 40, 5},  {70, 2, 3},    {33, 9, 100}, {17, 8, 0}};
    for (const Case& c : cases) {
        std::ostringstream what;
        what << c.width << "x" << c.height << " threads " << c.threads;
        vyxCamera camera = offAxisCamera(c.width, c.height);
        settings.threadCount = c.threads;
        SentinelFrame single(c.width, c.height), threaded(c.width, c.height);
        vyxRenderSubdivision(test.scene, camera, single.frame, settings);
        vyxRenderSubdivisionThreaded(test.scene, camera, threaded.frame, settings);
        EXPECT_LT(largestImageDifference(single, threaded, what.str()), 1e-4f) << what.str();
    }
}

// Whether a block is split, from hand-made corner samples: corners that partly miss, lie
// on different meshes, materials or patches, or are partly see-through split it; corners
// that all miss do not; differences in diffuse light, highlights and reflections split
// it only when their check is on and the difference exceeds its threshold. The samples
// lie on a mesh whose triangles carry the materials and patches the cases need.
class RefinementRules : public ::testing::Test {
protected:
    enum Triangle { Plain, PlainToo, OtherMaterial, OtherPatch, Shiny, Mirror, Tinted, WeakMirror, Count };

    void SetUp() override {
        vyxMaterial plain = vyxDefaultMaterial();
        vyxMaterial other = vyxDefaultMaterial();
        other.color[0] = 0.1f;
        vyxMaterial shiny = vyxDefaultMaterial();
        shiny.specular = 0.5f;
        vyxMaterial mirror = vyxDefaultMaterial();
        mirror.reflectivity = 0.5f;
        vyxMaterial tinted = vyxDefaultMaterial();
        tinted.tintedReflectivity = 0.5f;
        vyxMaterial weak = vyxDefaultMaterial();
        weak.reflectivity = 0.25f;
        const int materialOf[Count] = {0, 0, 1, 0, 2, 3, 4, 5};
        std::vector<TestTriangle> triangles;
        for (int i = 0; i < Count; ++i) {
            float x = static_cast<float>(i);
            triangles.push_back({{x, 0, 0}, {x + 1, 0, 0}, {x, 1, 0}, materialOf[i], i == OtherPatch ? 2 : 1});
        }
        test.addMesh(triangles, {plain, other, shiny, mirror, tinted, weak});
        test.addMesh({{{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, 0, 1}}, {plain});
    }

    vyxSample hitSample(int object, int triangle) const {
        vyxSample sample{};
        sample.traced = 1;
        sample.scene = &test.scene;
        sample.hit = {1.0f, triangle, object, 0.3f, 0.3f, 0.4f};
        sample.surface[0] = sample.surface[1] = sample.surface[2] = 0.8f;
        sample.surface[3] = 1.0f;
        sample.diffuse = {0.5f, 0.5f, 0.5f};
        return sample;
    }

    TestScene test;
};

TEST_F(RefinementRules, FirstDecidingRuleWins) {
    struct Case {
        const char* name;
        int32_t flags;
        std::function<void(vyxSample* corners)> change;
        bool refine;
    };
    const vyxVec3 grey = {0.5f, 0.5f, 0.5f};
    auto miss = [](vyxSample& s) { s.hit.t = -1.0f; };
    auto all = [](vyxSample* c, std::function<void(vyxSample&)> f) {
        for (int i = 0; i < 4; ++i)
            f(c[i]);
    };
    const int32_t checks = RenderCheckShadows | RenderCheckSpecular | RenderCheckReflections;
    const Case cases[] = {
        {"identical hits", checks, [](vyxSample*) {}, false},
        {"miss at c10", 0, [&](vyxSample* c) { miss(c[1]); }, true},
        {"miss at c01", 0, [&](vyxSample* c) { miss(c[2]); }, true},
        {"miss at c11", 0, [&](vyxSample* c) { miss(c[3]); }, true},
        {"miss at c00 only", 0, [&](vyxSample* c) { miss(c[0]); }, true},
        {"all miss", checks, [&](vyxSample* c) { all(c, miss); }, false},
        {"other object", 0,
         [](vyxSample* c) {
             c[3].hit.object = 1;
             c[3].hit.triangle = 0;
         },
         true},
        {"other triangle, same material and patch", 0, [](vyxSample* c) { c[2].hit.triangle = PlainToo; }, false},
        {"other material", 0, [](vyxSample* c) { c[1].hit.triangle = OtherMaterial; }, true},
        {"other patch", 0, [](vyxSample* c) { c[2].hit.triangle = OtherPatch; }, true},
        {"all translucent", 0, [&](vyxSample* c) { all(c, [](vyxSample& s) { s.surface[3] = 0.5f; }); }, false},
        {"one translucent", 0, [](vyxSample* c) { c[3].surface[3] = 0.99f; }, true},
        {"shadow edge unchecked", 0,
         [](vyxSample* c) {
             c[1].diffuse = {0, 0, 0};
         },
         false},
        {"shadow edge checked", RenderCheckShadows,
         [](vyxSample* c) {
             c[1].diffuse = {0, 0, 0};
         },
         true},
        // Means 0.75 and 0.5: a difference exactly at the threshold does not refine.
        {"shadow difference at threshold", RenderCheckShadows,
         [](vyxSample* c) {
             c[3].diffuse = {0.75f, 0.75f, 0.75f};
         },
         false},
        // Only the pair (c10, c01) differs by more than 0.25.
        {"shadow across the diagonal", RenderCheckShadows,
         [](vyxSample* c) {
             c[1].diffuse = {0.7f, 0.7f, 0.7f};
             c[2].diffuse = {0.3f, 0.3f, 0.3f};
         },
         true},
        {"highlight on a matte material", RenderCheckSpecular,
         [](vyxSample* c) {
             c[0].specular = {1, 1, 1};
         },
         false},
        {"highlight unchecked", 0,
         [&](vyxSample* c) {
             all(c, [](vyxSample& s) { s.hit.triangle = Shiny; });
             c[0].specular = {1, 1, 1};
         },
         false},
        {"highlight checked", RenderCheckSpecular,
         [&](vyxSample* c) {
             all(c, [](vyxSample& s) { s.hit.triangle = Shiny; });
             c[0].specular = {1, 1, 1};
         },
         true},
        {"reflection on a matte material", RenderCheckReflections,
         [](vyxSample* c) {
             c[0].reflected = {1, 1, 1};
         },
         false},
        {"reflection unchecked", RenderCheckShadows | RenderCheckSpecular,
         [&](vyxSample* c) {
             all(c, [](vyxSample& s) { s.hit.triangle = Mirror; });
             c[0].reflected = {1, 1, 1};
         },
         false},
        {"reflection checked", RenderCheckReflections,
         [&](vyxSample* c) {
             all(c, [](vyxSample& s) { s.hit.triangle = Mirror; });
             c[0].reflected = {1, 1, 1};
         },
         true},
        {"tinted reflection checked", RenderCheckReflections,
         [&](vyxSample* c) {
             all(c, [](vyxSample& s) { s.hit.triangle = Tinted; });
             c[3].reflected = {1, 1, 1};
         },
         true},
        // Weighted by the reflectivity 0.25: 0.25 x 0.8 stays below the threshold.
        {"weak reflection", RenderCheckReflections,
         [&](vyxSample* c) {
             all(c, [](vyxSample& s) { s.hit.triangle = WeakMirror; });
             c[3].reflected = {0.8f, 0.8f, 0.8f};
         },
         false},
    };
    for (const Case& c : cases) {
        vyxSample corners[4];
        for (auto& corner : corners) {
            corner = hitSample(0, Plain);
        }
        corners[0].diffuse = grey;
        c.change(corners);
        vyxRenderSettings settings = testSettings(RenderSubdivision | c.flags);
        settings.subsampleThreshold = 0.25f;
        settings.reflectionThreshold = 0.25f;
        EXPECT_EQ(vyxBlockNeedsRefinement(corners[0], corners[1], corners[2], corners[3], settings), c.refine)
            << c.name;
    }
}

} // namespace
