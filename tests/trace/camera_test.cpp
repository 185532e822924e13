#include "trace/camera.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tests/support/vector_near.h"

namespace {

vyxCamera lookDownMinusZ(uint32_t width, uint32_t height) {
    vyxCamera c{};
    c.upHint = {0, 1, 0};
    c.position = {0, 0, 0};
    c.target = {0, 0, -1};
    c.imageWidth = width;
    c.imageHeight = height;
    c.fov = 1.5707963705062866f;
    vyxUpdateCamera(c);
    return c;
}

TEST(Camera, BasisAndCornerRays) {
    vyxCamera c = lookDownMinusZ(1280, 720);
    EXPECT_TRUE(vecNear(c.forward, {0, 0, -1}, 0));
    EXPECT_TRUE(vecNear(c.right, {1, 0, 0}, 0));
    EXPECT_TRUE(vecNear(c.up, {0, 1, 0}, 0));
    EXPECT_NEAR(c.focal, 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(c.aspect, 1.7777778f);

    vyxVec3 o, d;
    vyxPrimaryRay(c, 640, 360, o, d);
    EXPECT_TRUE(vecNear(d, {0, 0, -1}, 1e-6f));
    vyxPrimaryRay(c, 0, 0, o, d);
    EXPECT_TRUE(vecNear(d, {-1.7777778f, 1, -1}, 1e-6f));
    vyxPrimaryRay(c, 1280, 720, o, d);
    EXPECT_TRUE(vecNear(d, {1.7777778f, -1, -1}, 1e-6f));
}

TEST(Camera, DirectionIsAffineInImagePosition) {
    vyxCamera c = lookDownMinusZ(640, 480);
    c.position = {1, 2, 3};
    c.target = {4, 1, -2};
    vyxUpdateCamera(c);
    vyxVec3 o, a, b, mid;
    vyxPrimaryRay(c, 10, 20, o, a);
    vyxPrimaryRay(c, 30, 60, o, b);
    vyxPrimaryRay(c, 20, 40, o, mid);
    EXPECT_TRUE(vecNear((a + b) * 0.5f, mid, 1e-5f));
    EXPECT_TRUE(vecNear(o, {1, 2, 3}, 0));
}

TEST(Camera, UpHintIsStraightened) {
    vyxCamera c = lookDownMinusZ(100, 100);
    c.upHint = {0, 5, 3};
    c.target = {1, -1, -3};
    vyxUpdateCamera(c);
    EXPECT_NEAR(vyxDot(c.up, c.forward), 0, 1e-6f);
    EXPECT_NEAR(vyxDot(c.up, c.right), 0, 1e-6f);
    EXPECT_NEAR(vyxLength(c.up), 1, 1e-6f);
    EXPECT_GT(c.up.y, 0);
}

TEST(Camera, InvalidSizeOrFieldOfViewKeepsFocalAndAspect) {
    struct Case {
        uint32_t width, height;
        float fov;
    } cases[] = {{100, 50, 0.0f}, {100, 50, 3.1415927410125732f}, {100, 50, 4.0f}, {100, 50, NAN}, {0, 50, 1.0f},
                 {100, 0, 1.0f}};
    for (const Case& k : cases) {
        vyxCamera c = lookDownMinusZ(640, 480);
        float focal = c.focal, aspect = c.aspect;
        c.imageWidth = k.width;
        c.imageHeight = k.height;
        c.fov = k.fov;
        c.target = {0, 0, 1};
        vyxUpdateCamera(c);
        EXPECT_EQ(c.focal, focal) << k.width << "x" << k.height << " fov " << k.fov;
        EXPECT_EQ(c.aspect, aspect);
        EXPECT_TRUE(vecNear(c.forward, {0, 0, 1}, 0)); // the basis is still rebuilt
    }
}

} // namespace
