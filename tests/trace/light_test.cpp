#include "trace/light.h"

#include <cmath>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

static std::string describe(vyxVec3 v) {
    std::ostringstream s;
    s << "(" << v.x << ", " << v.y << ", " << v.z << ")";
    return s.str();
}

static double angleBetween(vyxVec3 a, vyxVec3 b) {
    // atan2 of |a x b| and a . b in double stays accurate for tiny angles, unlike acos.
    double cx = double(a.y) * b.z - double(a.z) * b.y;
    double cy = double(a.z) * b.x - double(a.x) * b.z;
    double cz = double(a.x) * b.y - double(a.y) * b.x;
    double dot = double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;
    return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), dot);
}

TEST(UpdateLight, RationalPointLightRangeIsWhereItFadesToTenThousandth) {
    vyxLight light = vyxZeroLight();
    light.kind = LightPoint;
    light.falloff = FalloffRational;
    light.position = vyxVec3{1.0f, 2.0f, 3.0f};
    light.colour = vyxVec3{10.0f, 10.0f, 10.0f};
    light.angle = 9.0f;
    vyxUpdateLight(light);
    // sqrt((10 * 9 - 0.0009) / 0.0001)
    EXPECT_NEAR(light.range, 948.6828, 0.01);
    EXPECT_NEAR(light.rangeSquared, 899991.0, 1.0);
    EXPECT_NEAR(light.boxMin.x, 1.0 - 948.6828, 0.01);
    EXPECT_NEAR(light.boxMax.z, 3.0 + 948.6828, 0.01);
    // At that distance the attenuated mean colour is 0.0001.
    double d = light.range;
    EXPECT_NEAR(10.0 * 9.0 / (9.0 + d * d), 0.0001, 1e-8);
}

TEST(UpdateLight, RangesThatCannotCutOff) {
    struct Case {
        const char* name;
        uint32_t kind, falloff;
        float range, angle;
        vyxVec3 colour;
    } cases[] = {
        {"negative range", LightPoint, FalloffLinear, -5.0f, 0.0f, {1, 1, 1}},
        {"zero range", LightSpot, FalloffLinear, 0.0f, 0.5f, {1, 1, 1}},
        // The rational range of a light too dim to ever reach the threshold would be the
        // root of a negative number.
        {"dim rational light", LightPoint, FalloffRational, 0.0f, 9.0f, {0.00001f, 0.0f, 0.0f}},
        {"rational light with k = 0", LightPoint, FalloffRational, 0.0f, 0.0f, {1, 1, 1}},
    };
    for (const Case& c : cases) {
        vyxLight light = vyxZeroLight();
        light.kind = c.kind;
        light.falloff = c.falloff;
        light.range = c.range;
        light.angle = c.angle;
        light.colour = c.colour;
        light.position = vyxVec3{4.0f, 5.0f, 6.0f};
        vyxUpdateLight(light);
        EXPECT_EQ(light.range, 0.0f) << c.name;
        EXPECT_EQ(light.rangeSquared, 0.0f) << c.name;
        EXPECT_EQ(light.boxMin, (vyxVec3{0, 0, 0})) << c.name;
        EXPECT_EQ(light.boxMax, (vyxVec3{0, 0, 0})) << c.name;
    }
}

TEST(UpdateLight, SpotCosineAndBox) {
    vyxLight light = vyxZeroLight();
    light.kind = LightSpot;
    light.angle = 0.7853982f;
    light.range = 10.0f;
    light.position = vyxVec3{1.0f, -2.0f, 0.5f};
    vyxUpdateLight(light);
    EXPECT_NEAR(light.cosAngle, std::sqrt(0.5), 1e-6);
    EXPECT_EQ(light.rangeSquared, 100.0f);
    EXPECT_EQ(light.boxMin, (vyxVec3{-9.0f, -12.0f, -9.5f}));
    EXPECT_EQ(light.boxMax, (vyxVec3{11.0f, 8.0f, 10.5f}));
}

// The three sample directions form an equilateral triangle on the rim of the disc: their
// mean is the unit direction toward the light, each is tan(angle / 2) off it, and each
// lies on the plane one unit along that direction.
TEST(UpdateLight, DiscSampleDirectionsSurroundTheLight) {
    const vyxVec3 directions[] = {
        {0.0f, -1.0f, 0.0f},       // straight down: samples around (0, 1, 0)
        {0.0f, 1.0f, 0.0f},        // straight up: samples around (0, -1, 0)
        {0.0f, -7.0f, 0.0f},       // straight down, not unit length
        {1e-30f, -1.0f, 0.0f},     // down with a heading too small to square
        {-0.375f, -0.484f, -1.0f}, // a low sun
        {1.0f, 0.0f, 0.0f},        {-1.0f, 0.0f, 0.0f},  {0.0f, 0.0f, 1.0f},    {0.0f, 0.0f, -1.0f},
        {0.3f, -2.0f, 0.1f},       {-0.2f, 0.9f, -0.6f}, {0.001f, -1.0f, 0.0f},
    };
    const float angles[] = {0.034906585f, 0.5f, 1.5f};
    for (vyxVec3 direction : directions) {
        for (float angle : angles) {
            vyxLight light = vyxZeroLight();
            light.kind = LightDisc;
            light.direction = direction;
            light.angle = angle;
            vyxUpdateLight(light);
            std::string name = "direction " + describe(direction) + " angle " + std::to_string(angle);

            vyxVec3 w = -vyxNormalize(direction);
            double s = std::tan(angle * 0.5);
            vyxVec3 mean = (light.sampleDirs[0] + light.sampleDirs[1] + light.sampleDirs[2]) / 3.0f;
            EXPECT_NEAR(mean.x, w.x, 1e-5) << name;
            EXPECT_NEAR(mean.y, w.y, 1e-5) << name;
            EXPECT_NEAR(mean.z, w.z, 1e-5) << name;
            for (int i = 0; i < 3; i++) {
                vyxVec3 d = light.sampleDirs[i];
                EXPECT_NEAR(vyxDot(d, w), 1.0, 1e-5) << name << " sample " << i;
                EXPECT_NEAR(vyxLength(d), std::sqrt(1.0 + s * s), 1e-5) << name << " sample " << i;
                EXPECT_NEAR(angleBetween(d, w), angle * 0.5, 1e-5) << name << " sample " << i;
                vyxVec3 other = light.sampleDirs[(i + 1) % 3];
                EXPECT_NEAR(vyxLength(d - other), s * std::sqrt(3.0), 1e-5) << name << " samples " << i;
            }
        }
    }
}
