#include "trace/shade.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/query.h"
#include "tests/support/test_scene.h"
#include "tests/support/vector_near.h"
#include "trace/random.h"
#include "trace/raystats.h"
#include "trace/shadow.h"

static const vyxVec3 white{1.0f, 1.0f, 1.0f};
static const vyxVec3 black{0.0f, 0.0f, 0.0f};
static const vyxVec3 sky{0.2f, 0.4f, 0.6f};

static vyxVec3 grey(double v) { return vyxVec3{float(v), float(v), float(v)}; }

// Shades the floor y = 0 at (x, 0, z) from one unit straight above.
static vyxVec3 shadeFloorAt(const TestScene& s, float x, float z, const vyxRenderSettings& settings, int depth = 6) {
    return vyxShade(s.scene, vyxVec3{x, 1.0f, z}, vyxVec3{0.0f, -1.0f, 0.0f}, depth, settings);
}

TEST(CombineShading, OrderOfTheTerms) {
    vyxMaterial m = testMaterial(white);
    const float red[4] = {1, 0, 0, 1};
    const float redQuarter[4] = {1, 0, 0, 0.25f};
    struct Case {
        const char* name;
        float specular, reflectivity, tinted;
        const float* surface;
        vyxVec3 reflected, transmitted;
        float weight, fog;
        vyxVec3 want;
    } cases[] = {
        {"diffuse times surface plus highlight", 0.2f, 0, 0, red, black, black, 0, 0, {0.6f, 0.1f, 0.1f}},
        {"no highlight without specular", 0.0f, 0, 0, red, black, black, 0, 0, {0.5f, 0, 0}},
        {"blended with what is behind", 0.2f, 0, 0, redQuarter, black, {0, 0, 1}, 0, 0, {0.15f, 0.025f, 0.775f}},
        {"reflection by weight", 0.0f, 0.5f, 0, red, white, black, 0.8f, 0, {0.9f, 0.4f, 0.4f}},
        {"tinted reflection", 0.0f, 0, 0.5f, red, white, black, 0.8f, 0, {0.9f, 0, 0}},
        {"fog last", 0.0f, 0, 0, red, black, black, 0, 0.5f, {0.25f, 0.1f, 0.2f}},
    };
    for (const Case& c : cases) {
        m.specular = c.specular;
        m.reflectivity = c.reflectivity;
        m.tintedReflectivity = c.tinted;
        vyxVec3 out = vyxCombineShading(grey(0.5), grey(0.1), c.reflected, m, c.surface, c.transmitted, c.weight, c.fog,
                                        vyxVec3{0.0f, 0.2f, 0.4f});
        EXPECT_TRUE(vecNear(out, c.want, 1e-6)) << c.name;
    }
}

TEST(Shade, DepthBudgetSpentGivesBlack) {
    TestScene s;
    s.addFloor(0.0f, 10.0f, testMaterial(white)).unlit = 1;
    s.setCubeMap(&sky);
    vyxRayStatsReset();
    for (int depth : {0, -1, -100})
        EXPECT_TRUE(vecNear(shadeFloorAt(s, 0, 0, testSettings(), depth), black, 0.0)) << "depth " << depth;
    EXPECT_TRUE(vecNear(shadeFloorAt(s, 0, 0, testSettings(), 1), white, 0.0)) << "depth 1";
}

TEST(Shade, MissesShowTheEnvironmentWithoutFog) {
    vyxRenderSettings settings = testSettings();
    settings.fogDensity = 0.5f;
    settings.fogColour = vyxVec3{1.0f, 0.0f, 1.0f};
    struct Case {
        const char* name;
        bool cubeMap;
        const vyxVec3* faces;
        vyxVec3 want;
    } cases[] = {
        {"no cube map", false, nullptr, black},
        {"cube map", true, &sky, sky},
        {"cube map whose faces failed to load", true, nullptr, black},
    };
    const vyxVec3 directions[] = {{0, 0, -1}, {1, 2, 3}, {0, -5, 0}, {-1, 0, 0}};
    for (const Case& c : cases) {
        TestScene s;
        if (c.cubeMap)
            s.setCubeMap(c.faces);
        for (vyxVec3 d : directions)
            EXPECT_TRUE(vecNear(vyxShade(s.scene, vyxVec3{0, 0, 0}, d, 6, settings), c.want, 0.0)) << c.name;
    }
}

// f = 1 - (1 - density)^distance over the segment; 1 - 0.9996^1000 is about 0.33.
TEST(Shade, FogOverTheRaySegment) {
    TestScene s;
    s.addQuad(vyxVec3{-1e4f, -1e4f, -1000.0f}, vyxVec3{2e4f, 0, 0}, vyxVec3{0, 2e4f, 0}, testMaterial(white)).unlit = 1;
    vyxRenderSettings settings = testSettings();
    settings.fogDensity = 0.0004f;
    settings.fogColour = vyxVec3{0.16f, 0.24f, 0.272f};
    double f = 1.0 - std::pow(0.9996, 1000.0);
    EXPECT_NEAR(f, 0.33, 0.005);
    vyxVec3 want{float(1.0 - f + 0.16 * f), float(1.0 - f + 0.24 * f), float(1.0 - f + 0.272 * f)};
    // The distance is that of the segment, whatever the direction's length.
    for (float length : {1.0f, 0.25f, 8.0f}) {
        vyxVec3 c = vyxShade(s.scene, vyxVec3{0, 0, 0}, vyxVec3{0, 0, -length}, 6, settings);
        EXPECT_TRUE(vecNear(c, want, 2e-4)) << "direction length " << length;
    }
}

// A white floor under one light, shaded from straight above: colour = cos(theta) * att.
TEST(Shade, PointAndSpotLightsOnAFloor) {
    struct Case {
        const char* name;
        uint32_t kind, falloff;
        float range, angle;
        vyxVec3 position;
        vyxVec3 at; // floor point shaded
        double att;
    } cases[] = {
        {"spot, 44 degrees off axis",
         LightSpot,
         FalloffLinear,
         0,
         float(vyxPi / 4),
         {0, 10, 0},
         {float(10 * std::tan(44 * vyxPi / 180)), 0, 0},
         1.0},
        {"spot, 46 degrees off axis",
         LightSpot,
         FalloffLinear,
         0,
         float(vyxPi / 4),
         {0, 10, 0},
         {float(10 * std::tan(46 * vyxPi / 180)), 0, 0},
         0.0},
        {"linear falloff at 5 of 10", LightPoint, FalloffLinear, 10, 0, {0, 5, 0}, {0, 0, 0}, 0.5},
        {"linear falloff at 11, outside the box", LightPoint, FalloffLinear, 10, 0, {0, 11, 0}, {0, 0, 0}, 0.0},
        {"linear falloff at 11, inside the box",
         LightPoint,
         FalloffLinear,
         10,
         0,
         {0, 6.35085f, 0},
         {6.35085f, 0, 6.35085f},
         0.0},
        {"no range: no falloff at 11", LightPoint, FalloffLinear, 0, 0, {0, 11, 0}, {0, 0, 0}, 1.0},
        {"no range: no falloff at 500", LightPoint, FalloffInverse, 0, 0, {0, 500, 0}, {0, 0, 0}, 1.0},
        {"inverse falloff at 5 of 10", LightPoint, FalloffInverse, 10, 0, {0, 5, 0}, {0, 0, 0}, 0.2 - 0.1},
        {"inverse-square falloff at 5 of 10",
         LightPoint,
         FalloffInverseSquare,
         10,
         0,
         {0, 5, 0},
         {0, 0, 0},
         0.04 - 0.01},
        {"unknown falloff inside the range", LightPoint, 7, 10, 0, {0, 5, 0}, {0, 0, 0}, 1.0},
        {"spot inside its range", LightSpot, FalloffLinear, 20, 0.5f, {0, 5, 0}, {0, 0, 0}, 0.75},
    };
    for (const Case& c : cases) {
        TestScene s;
        s.addFloor(0.0f, 100.0f, testMaterial(white));
        vyxLight light = testLight(c.kind, white);
        light.falloff = c.falloff;
        light.range = c.range;
        light.angle = c.angle;
        light.position = c.position;
        light.direction = vyxVec3{0.0f, -3.0f, 0.0f};
        s.addLight(light);
        vyxVec3 toLight = c.position - c.at;
        double cosTheta = toLight.y / vyxLength(toLight);
        EXPECT_TRUE(vecNear(shadeFloorAt(s, c.at.x, c.at.z, testSettings()), grey(cosTheta * c.att), 1e-3)) << c.name;
    }
}

// A rational point light without a range attenuates by k / (k + d^2) and nothing else.
TEST(Shade, RationalFalloffWithoutRange) {
    TestScene s;
    s.addFloor(0.0f, 100.0f, testMaterial(white));
    vyxLight light = testLight(LightSpot, grey(2.0)); // spots keep range 0 (no derived range)
    light.falloff = FalloffRational;
    light.angle = 1.2f; // also the cone half-angle here: wide enough
    light.position = vyxVec3{0, 3, 0};
    light.direction = vyxVec3{0, -1, 0};
    s.addLight(light);
    EXPECT_TRUE(vecNear(shadeFloorAt(s, 0, 0, testSettings()), grey(2.0 * 1.2 / (1.2 + 9.0)), 1e-3)) << "rational";
}

TEST(Shade, DirectionalHemisphereAmbientAndDiscLights) {
    vyxLight directional = testLight(LightDirectional, grey(0.8));
    directional.direction = vyxVec3{0.0f, -2.0f, -2.0f};
    vyxLight hemisphere = testLight(LightHemisphere, vyxVec3{0.2f, 0.4f, 0.8f});
    hemisphere.groundColour = vyxVec3{0.1f, 0.1f, 0.0f};
    hemisphere.direction = vyxVec3{0.0f, 5.0f, 0.0f};
    vyxLight sideways = hemisphere;
    sideways.direction = vyxVec3{1.0f, 0.0f, 0.0f};
    vyxLight ambient = testLight(LightAmbient, vyxVec3{0.1f, 0.2f, 0.3f});
    vyxLight disc = testLight(LightDisc, grey(0.5));
    disc.direction = vyxVec3{0.0f, -1.0f, 1.0f};
    disc.angle = 0.1f;
    vyxLight below = directional;
    below.direction = vyxVec3{0.0f, 1.0f, 0.0f};
    struct Case {
        const char* name;
        vyxLight light;
        vyxVec3 want;
    } cases[] = {
        {"directional at 45 degrees", directional, grey(0.8 * std::sqrt(0.5))},
        {"directional from below the floor", below, black},
        {"hemisphere facing the sky", hemisphere, {0.2f, 0.4f, 0.8f}},
        {"hemisphere with the sky sideways", sideways, {0.15f, 0.25f, 0.4f}},
        {"ambient", ambient, {0.1f, 0.2f, 0.3f}},
        {"disc at 45 degrees", disc, grey(0.5 * std::sqrt(0.5))},
    };
    for (const Case& c : cases) {
        TestScene s;
        s.addFloor(0.0f, 100.0f, testMaterial(white));
        s.addLight(c.light);
        EXPECT_TRUE(vecNear(shadeFloorAt(s, 0, 0, testSettings()), c.want, 1e-5)) << c.name;
    }
}

TEST(Shade, ShadowsOfTheLightsThatCastThem) {
    vyxLight directional = testLight(LightDirectional, white);
    directional.direction = vyxVec3{0.0f, -1.0f, 0.0f};
    vyxLight point = testLight(LightPoint, white);
    point.position = vyxVec3{0.0f, 5.0f, 0.0f};
    vyxLight disc = testLight(LightDisc, white);
    disc.direction = vyxVec3{0.0f, -1.0f, 0.0f};
    disc.angle = 0.05f;
    vyxLight ambient = testLight(LightAmbient, white);
    struct Case {
        const char* name;
        vyxLight light;
        vyxVec3 want;
    } cases[] = {
        {"directional", directional, black},
        {"point", point, black},
        {"disc", disc, black},
        {"ambient (no shadow)", ambient, white},
    };
    for (const Case& c : cases) {
        TestScene s;
        s.addFloor(0.0f, 100.0f, testMaterial(white));
        s.addFloor(2.0f, 3.0f, testMaterial(white)); // a small roof between the floor and the lights
        s.addLight(c.light);
        // Shade the floor from beside the roof, looking at the point under its middle.
        vyxVec3 c0 = vyxShade(s.scene, vyxVec3{0.0f, 1.0f, 1.0f}, vyxVec3{0.0f, -1.0f, -1.0f}, 6, testSettings());
        EXPECT_TRUE(vecNear(c0, c.want, 1e-6)) << c.name;
    }
}

// r^50 with r the cosine between the light and the mirror direction.
TEST(Shade, HighlightExponent) {
    for (double degrees : {0.0, 5.0, 10.0, 20.0}) {
        TestScene s;
        vyxMaterial& m = s.addFloor(0.0f, 100.0f, testMaterial(black));
        m.specular = 0.5f;
        vyxLight light = testLight(LightDirectional, grey(2.0));
        light.direction = vyxVec3{0.0f, -1.0f, 0.0f};
        s.addLight(light);
        double b = degrees * vyxPi / 180.0;
        vyxVec3 d{float(std::sin(b)), float(-std::cos(b)), 0.0f};
        vyxVec3 c = vyxShade(s.scene, vyxVec3{0, 1, 0} - d, d, 6, testSettings());
        EXPECT_TRUE(vecNear(c, grey(2.0 * 0.5 * std::pow(std::cos(b), 50.0)), 1e-4)) << degrees << " degrees";
    }
}

// Both windings of a floor, seen from above, shade alike (and as the analytic value).
TEST(Shade, SurfaceSeenFromBehindShadesLikeItsFront) {
    vyxLight directional = testLight(LightDirectional, grey(0.9));
    directional.direction = vyxVec3{0.3f, -1.0f, 0.2f};
    vyxLight point = testLight(LightPoint, grey(0.7));
    point.position = vyxVec3{1.0f, 4.0f, -2.0f};
    vyxLight hemisphere = testLight(LightHemisphere, grey(0.3));
    hemisphere.direction = vyxVec3{0.0f, 1.0f, 0.0f};
    vyxMaterial m = testMaterial(vyxVec3{0.9f, 0.6f, 0.3f});
    m.specular = 0.4f;
    vyxVec3 colours[2];
    for (int flipped = 0; flipped < 2; flipped++) {
        TestScene s;
        vyxVec3 corner{-50, 0, -50}, u{0, 0, 100}, v{100, 0, 0};
        if (flipped)
            s.addQuad(corner, v, u, m); // normal -y
        else
            s.addQuad(corner, u, v, m); // normal +y
        s.addLight(directional);
        s.addLight(point);
        s.addLight(hemisphere);
        colours[flipped] = vyxShade(s.scene, vyxVec3{0.5f, 2.0f, 0.25f}, vyxVec3{0.1f, -1.0f, 0.3f}, 6, testSettings());
    }
    EXPECT_TRUE(vecNear(colours[1], colours[0], 1e-6)) << "flipped winding";
    EXPECT_GT(colours[0].x, 0.3f);
}

TEST(Shade, UnlitSurfacesIgnoreLightsAndShadows) {
    TestScene s;
    s.addFloor(0.0f, 100.0f, testMaterial(vyxVec3{0.3f, 0.6f, 0.9f})).unlit = 1;
    s.addFloor(2.0f, 5.0f, testMaterial(white)); // roof
    vyxLight light = testLight(LightDirectional, grey(5.0));
    light.direction = vyxVec3{0, -1, 0};
    s.addLight(light);
    EXPECT_TRUE(vecNear(vyxShade(s.scene, vyxVec3{0, 1, 1}, vyxVec3{0, -1, -1}, 6, testSettings()),
                        vyxVec3{0.3f, 0.6f, 0.9f}, 1e-6))
        << "unlit under a roof";
}

// Transparency spends no depth: three unlit white layers of alpha 0.5 in front of the sky
// at depth 1 give 0.5 + 0.25 + 0.125 + 0.125 * sky.
TEST(Shade, TransparencyFollowsTheWholeChain) {
    struct Case {
        int layers;
        bool cubeMap;
        vyxVec3 want;
    } cases[] = {
        {1, false, grey(0.5)},
        {3, true, grey(0.875) + sky * 0.125f},
    };
    for (const Case& c : cases) {
        TestScene s;
        for (int i = 0; i < c.layers; i++)
            s.addFloor(-float(i), 10.0f, testMaterial(white, 0.5f)).unlit = 1;
        if (c.cubeMap)
            s.setCubeMap(&sky);
        vyxRayStatsReset();
        EXPECT_TRUE(vecNear(shadeFloorAt(s, 0.1f, 0.2f, testSettings(), 1), c.want, 1e-6)) << c.layers << " layers";
#ifdef VYX_RAY_STATS
        EXPECT_EQ(vyxRayStatsTotal().transparency, uint64_t(c.layers)) << c.layers << " layers";
#endif
    }
}

// A chain of see-through surfaces ends after vyxMaxContinuations; past it the surface
// counts as opaque over black. Shorter chains are not affected.
TEST(Shade, TransparencyContinuationCap) {
    for (int layers : {vyxMaxContinuations, vyxMaxContinuations + 1, 300}) {
        TestScene s;
        std::vector<TestTriangle> triangles;
        for (int i = 0; i < layers; i++) {
            float y = -float(i);
            vyxVec3 a{-10, y, -10}, b{-10, y, 10}, c{10, y, 10}, d{10, y, -10};
            triangles.push_back({a, b, c});
            triangles.push_back({a, c, d});
        }
        // Fully see-through and unlit: every layer passes everything behind it.
        s.addMesh(triangles, {testMaterial(white, 0.0f)}).unlit = 1;
        s.setCubeMap(&sky);
        vyxRayStatsReset();
        vyxVec3 c = shadeFloorAt(s, 0.1f, 0.2f, testSettings(), 6);
        EXPECT_TRUE(vecNear(c, layers <= vyxMaxContinuations ? sky : black, 1e-6)) << layers << " layers";
#ifdef VYX_RAY_STATS
        EXPECT_EQ(vyxRayStatsTotal().transparency, uint64_t(std::min(layers, vyxMaxContinuations))) << layers;
#endif
    }
}

TEST(Shade, SeeThroughSurfaceFarFromTheOriginEnds) {
    TestScene s;
    const float far = 1.0e8f;
    s.addQuad(vyxVec3{-1e9f, -1e9f, -far}, vyxVec3{2e9f, 0, 0}, vyxVec3{0, 2e9f, 0}, testMaterial(white, 0.5f)).unlit =
        1;
    vyxRayStatsReset();
    vyxVec3 c = vyxShade(s.scene, vyxVec3{0.3f, 0.7f, 0.0f}, vyxVec3{0.001f, 0.002f, -1.0f}, 6, testSettings());
    EXPECT_NEAR(c.x, 0.5f, 1e-6);
#ifdef VYX_RAY_STATS
    EXPECT_LE(vyxRayStatsTotal().transparency, uint64_t(vyxMaxContinuations));
#endif
}

// A black mirror floor under the sky shows the sky by the reflection weight
// (fresnel (1 - c) + 1 - fresnel)^3, c the cosine between normal and view direction;
// reflections spend depth.
TEST(Shade, MirrorReflection) {
    const vyxVec3 down45{0.0f, -1.0f, -1.0f};
    const vyxVec3 down60{float(std::sin(vyxPi / 3)), float(-std::cos(vyxPi / 3)), 0.0f};
    const vyxVec3 straightDown{0.0f, -1.0f, 0.0f};
    struct Case {
        const char* name;
        float reflectivity, tinted, fresnel;
        vyxVec3 direction;
        int depth;
        vyxVec3 want;
    } cases[] = {
        {"fresnel 0 reflects fully", 1, 0, 0, down45, 6, sky},
        {"the reflected ray needs depth", 1, 0, 0, down45, 1, black},
        {"depth 2 is enough", 1, 0, 0, down45, 2, sky},
        {"fresnel 1 head-on reflects nothing", 1, 0, 1, straightDown, 6, black},
        {"fresnel 1 at 60 degrees: weight 1/8", 1, 0, 1, down60, 6, sky * 0.125f},
        {"half reflectivity", 0.5f, 0, 0, down45, 6, sky * 0.5f},
        {"tinted by a red surface", 0, 1, 0, down45, 6, {sky.x, 0, 0}},
    };
    for (const Case& c : cases) {
        TestScene s;
        vyxMaterial& m = s.addFloor(0.0f, 100.0f, testMaterial(c.tinted > 0 ? vyxVec3{1, 0, 0} : black));
        m.reflectivity = c.reflectivity;
        m.tintedReflectivity = c.tinted;
        m.fresnel = c.fresnel;
        s.setCubeMap(&sky);
        EXPECT_TRUE(vecNear(vyxShade(s.scene, vyxVec3{0, 1, 0} - c.direction, c.direction, c.depth, testSettings()),
                            c.want, 1e-5))
            << c.name;
    }
}

// A texture replaces colour and alpha; one without an image leaves opaque black.
TEST(Shade, TexturedSurfaces) {
    float rgba[4] = {0.2f, 0.4f, 0.6f, 1.0f};
    vyxTexture image = testTexture(rgba, 4);
    vyxTexture noImage{};
    noImage.channels = 4;
    struct Case {
        const char* name;
        vyxTexture* texture;
        vyxVec3 want;
    } cases[] = {
        {"texture colour", &image, {0.2f, 0.4f, 0.6f}},
        {"no image: black, opaque", &noImage, black},
    };
    for (const Case& c : cases) {
        TestScene s;
        vyxMaterial& m = s.addFloor(0.0f, 10.0f, testMaterial(white, 0.1f));
        m.unlit = 1;
        m.texture = c.texture;
        s.setCubeMap(&white);
        EXPECT_TRUE(vecNear(shadeFloorAt(s, 0, 0, testSettings()), c.want, 1e-6)) << c.name;
    }
}

// Occlusion scales ambient and hemisphere light only under the flag, and is computed
// only when the scene has such a light.
TEST(Shade, AmbientOcclusionOnlyWhenAsked) {
    vyxFillRandomTable();
    vyxLight ambient = testLight(LightAmbient, white);
    vyxLight directional = testLight(LightDirectional, white);
    directional.direction = vyxVec3{0, -1, 0};
    struct Case {
        const char* name;
        bool flag;
        vyxLight light;
        bool roof;
        uint32_t advance;
        float low, high;
    } cases[] = {
        {"open floor", true, ambient, false, 20, 1.0f, 1.0f},
        {"under a roof", true, ambient, true, 20, 0.2f, 0.7f},
        {"under a roof, flag off", false, ambient, true, 0, 1.0f, 1.0f},
        {"no ambient light", true, directional, false, 0, 1.0f, 1.0f},
    };
    for (const Case& c : cases) {
        TestScene s;
        s.addFloor(0.0f, 1000.0f, testMaterial(white));
        if (c.roof) {
            vyxMaterial roof = testMaterial(white);
            roof.castsShadows = 1;
            s.addQuad(vyxVec3{-1000, 5, -1000}, vyxVec3{2000, 0, 0}, vyxVec3{0, 0, 2000}, roof);
        }
        s.addLight(c.light);
        vyxRenderSettings settings = testSettings();
        settings.flags = c.flag ? int32_t(RenderAmbientOcclusion) : 0;
        uint32_t before = vyxRandomCursor.load();
        vyxVec3 colour = shadeFloorAt(s, 0, 0, settings);
        EXPECT_EQ(vyxRandomCursor.load() - before, c.advance) << c.name;
        EXPECT_GE(colour.x, c.low - 1e-6f) << c.name;
        EXPECT_LE(colour.x, c.high + 1e-6f) << c.name;
    }
}

// vyxShadeHit records what vyxShade combines; the transmitted ray keeps the depth and the
// reflected one spends a unit.
TEST(ShadeHit, RecordsTheComponents) {
    TestScene s;
    vyxMaterial& m = s.addFloor(0.0f, 10.0f, testMaterial(vyxVec3{1.0f, 0.5f, 0.25f}, 0.5f));
    m.reflectivity = 1.0f;
    vyxLight light = testLight(LightDirectional, grey(0.5));
    light.direction = vyxVec3{0, -1, 0};
    s.addLight(light);
    s.setCubeMap(&sky);
    vyxRenderSettings settings = testSettings();
    const vyxVec3 origin{0, 1, 0}, direction{0, -1, 0};

    vyxHitShading out{};
    vyxTraceResult miss{};
    miss.t = -1.0f;
    EXPECT_FALSE(vyxShadeHit(s.scene, miss, origin, direction, 1, settings, out));
    EXPECT_EQ(out.material, nullptr) << "a miss leaves the record untouched";

    vyxTraceResult hit = vyxTraceScene(s.scene, origin, direction, -1.0f);
    ASSERT_GT(hit.t, 0.0f);
    ASSERT_TRUE(vyxShadeHit(s.scene, hit, origin, direction, 1, settings, out));
    EXPECT_EQ(out.material, &m);
    EXPECT_EQ(out.surface[3], 0.5f);
    EXPECT_TRUE(vecNear(out.diffuse, grey(0.5), 1e-6)) << "diffuse";
    EXPECT_TRUE(vecNear(out.transmitted, sky, 0.0)) << "transmitted at the same depth";
    EXPECT_TRUE(vecNear(out.reflected, black, 0.0)) << "reflected with depth 0";
    EXPECT_NEAR(out.reflectionWeight, 1.0f, 1e-6);
    EXPECT_EQ(out.fog, 0.0f);

    ASSERT_TRUE(vyxShadeHit(s.scene, hit, origin, direction, 2, settings, out));
    EXPECT_TRUE(vecNear(out.reflected, sky, 0.0)) << "reflected with depth 1";
    vyxVec3 combined = vyxCombineShading(out.diffuse, out.specular, out.reflected, *out.material, out.surface,
                                         out.transmitted, out.reflectionWeight, out.fog, settings.fogColour);
    EXPECT_TRUE(vecNear(combined, vyxShade(s.scene, origin, direction, 2, settings), 0.0)) << "same as vyxShade";
}

// Shading many rays at once (the soft-shadow rays of their hits traced together) gives
// every ray exactly what shading it alone gives, with the random draws in the same order:
// rays fanning over a floor under a roof of opaque, see-through and mirror tiles, in every
// way disc lights are sampled, with occlusion, and with two disc lights.
TEST(ShadeRays, EqualShadingOneRayAtATime) {
    const int32_t flagSets[] = {0, RenderJitterSoftShadows, RenderSampleDiscArea, RenderAmbientOcclusion};
    for (int discs = 1; discs <= 2; ++discs) {
        TestScene s;
        s.addFloor(0.0f, 50.0f, testMaterial(white));
        s.addQuad(vyxVec3{-1.0f, 1.0f, -1.0f}, vyxVec3{1.2f, 0, 0}, vyxVec3{0, 0, 0.8f}, testMaterial(white));
        s.addQuad(vyxVec3{0.0f, 1.3f, -0.5f}, vyxVec3{0.9f, 0, 0}, vyxVec3{0, 0, 1.5f},
                  testMaterial({0.3f, 0.8f, 0.5f}, 0.4f));
        // Under it a second see-through tile: a hit seen through a hit seen through another.
        s.addQuad(vyxVec3{0.0f, 0.8f, -0.5f}, vyxVec3{0.9f, 0, 0}, vyxVec3{0, 0, 1.5f},
                  testMaterial({0.8f, 0.4f, 0.3f}, 0.5f));
        s.addQuad(vyxVec3{-1.5f, 0.5f, 0.5f}, vyxVec3{0.8f, 0, 0}, vyxVec3{0, 0.8f, 0.4f}, testMaterial(white))
            .reflectivity = 0.7f;
        for (int k = 0; k < discs; ++k) {
            vyxLight& disc = s.addLight(LightDisc, vyxVec3{0.3f - 0.6f * k, -1.0f, 0.2f}, grey(0.6));
            disc.angle = 0.2f;
            vyxUpdateLight(disc);
        }
        s.addLight(LightHemisphere, vyxVec3{0, 1, 0}, grey(0.2));
        s.setSmoothCubeMap();
        // A row over the floor, then a grid of rays down through the tiles, whose hits are
        // seen through and in others (neither a whole number of batches nor of packets).
        const int count = 74;
        std::vector<vyxVec3> origins(count, vyxVec3{0.1f, 3.0f, 4.0f}), directions(count);
        for (int i = 0; i < count / 2; ++i)
            directions[i] = vyxVec3{-0.1f + 0.02f * static_cast<float>(i), -1.0f, -1.2f};
        for (int i = count / 2, k = 0; i < count; ++i, ++k) {
            origins[i] = vyxVec3{0.1f, 3.0f, 2.0f};
            const vyxVec3 target{-1.6f + 0.52f * static_cast<float>(k % 6), 0.0f,
                                 -1.0f + 0.33f * static_cast<float>(k / 6)};
            directions[i] = target - origins[i];
        }
        for (int32_t flags : flagSets) {
            const vyxRenderSettings settings = testSettings(flags);
            const std::string what = std::to_string(discs) + " disc(s), flags " + std::to_string(flags);
            std::vector<vyxVec3> alone(count), together(count);
            vyxSeedJitter(42, 7);
            vyxRandomCursor = 0;
            for (int i = 0; i < count; ++i)
                alone[i] = vyxShade(s.scene, origins[i], directions[i], 3, settings);
            vyxSeedJitter(42, 7);
            vyxRandomCursor = 0;
            vyxShadeRays(s.scene, origins.data(), directions.data(), count, 3, settings, together.data());
            for (int i = 0; i < count; ++i)
                EXPECT_EQ(std::memcmp(&alone[i], &together[i], sizeof(vyxVec3)), 0) << what << ", ray " << i;
        }
    }
}
