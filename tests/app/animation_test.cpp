// Mesh animation and the four camera modes at chosen clock values, against the closed
// forms of the path, orbit and view direction computed in double precision.

#include "app/animation.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/sample_scene.h"
#include "geometry/transform.h"
#include "tests/support/test_scene.h"
#include "tests/support/vector_near.h"

struct Vec3d {
    double x, y, z;
};

static Vec3d path(double w) {
    double r = 100.0 * std::sin(2.0 * w);
    return {std::cos(w) * r, (1.0 - std::cos(4.0 * w)) * 30.0, std::sin(w) * r};
}

TEST(CameraPath, MatchesTheClosedForm) {
    const float ws[] = {0.0f, 0.3f, 1.0f, 2.5f, -4.0f, 10.0f};
    for (float w : ws) {
        vyxVec3 p = vyxCameraPath(w);
        Vec3d expected = path(w);
        EXPECT_TRUE(vecNear(p, expected, 1e-3)) << "w = " << w;
    }
}

TEST(Animation, MeshTransformsFollowTheClock) {
    GSSampleScene scene;
    const float times[] = {0.0f, 100.0f, 777.5f};
    for (float t : times) {
        scene.animationTime = t;
        scene.cameraIndex = 0;
        scene.Animate();
        double u = t * 0.01, v = t * 0.01 + vyxPi;
        // Torus: rotate by v about z, scale by cos u + 2, lift by 2 sin u.
        vyxVec3 p = vyxTransformPoint(scene.torus.transform, {1.0f, 0.0f, 0.0f});
        Vec3d torus = {std::cos(v) * (std::cos(u) + 2), std::sin(v) * (std::cos(u) + 2) + 2 * std::sin(u), 0};
        EXPECT_TRUE(vecNear(p, torus, 1e-4)) << "torus at t = " << t;
        // Copy: rotate by u about x, scale by cos v + 2, lift by 2 sin v.
        p = vyxTransformPoint(scene.torusCopy.transform, {0.0f, 1.0f, 0.0f});
        Vec3d copy = {0, std::cos(u) * (std::cos(v) + 2) + 2 * std::sin(v), std::sin(u) * (std::cos(v) + 2)};
        EXPECT_TRUE(vecNear(p, copy, 1e-4)) << "torus copy at t = " << t;
        // Model: scale 1.5, turning about y (positive angles turn +x toward -z).
        p = vyxTransformPoint(scene.model.transform, {1.0f, 0.0f, 0.0f});
        Vec3d model = {1.5 * std::cos(u), 0, -1.5 * std::sin(u)};
        EXPECT_TRUE(vecNear(p, model, 1e-4)) << "model at t = " << t;
        p = vyxTransformPoint(scene.terrain.transform, {1.0f, 1.0f, 1.0f});
        EXPECT_TRUE(vecNear(p, Vec3d{40, 225, 40}, 1e-4)) << "terrain at t = " << t;
    }
}

TEST(CameraModes, OrbitPathAndChase) {
    GSSampleScene scene;
    const float times[] = {0.0f, 1234.0f, 30000.0f};
    for (float t : times) {
        scene.animationTime = t;
        double w = t * 0.001;

        scene.cameraIndex = 0;
        scene.Animate();
        Vec3d orbit = {3 * std::sin(t * 0.0017), 2 * std::sin(t * 0.0013), 3 * std::cos(t * 0.0017)};
        EXPECT_TRUE(vecNear(scene.camera.position, orbit, 1e-4)) << "orbit position at t = " << t;
        EXPECT_TRUE(vecNear(scene.camera.target, Vec3d{0, 0, 0}, 0)) << "orbit target at t = " << t;
        EXPECT_NEAR(scene.camera.fov, vyxPi / 2, 1e-6);
        EXPECT_TRUE(vecNear(scene.camera.upHint, Vec3d{0, 1, 0}, 0)) << "up hint";

        scene.cameraIndex = 1;
        scene.Animate();
        Vec3d position = path(w), target = path(w + 0.001), torus = path(w + 0.011);
        position.y -= 2;
        target.y -= 2;
        torus.y -= 2;
        // The path has a radius of 100, so float rounding of w moves it by ~1e-3.
        EXPECT_TRUE(vecNear(scene.camera.position, position, 2e-3)) << "path position at t = " << t;
        EXPECT_TRUE(vecNear(scene.camera.target, target, 2e-3)) << "path target at t = " << t;
        EXPECT_TRUE(vecNear(vyxTransformPoint(scene.torus.transform, {0, 0, 0}), torus, 2e-3)) << "torus on path";
        EXPECT_TRUE(vecNear(vyxTransformPoint(scene.torusCopy.transform, {0, 0, 0}), torus, 2e-3)) << "copy on path";
        // The torus lies flat: rotated 1.57 about x, so its y axis turns toward +z.
        vyxVec3 up =
            vyxTransformPoint(scene.torus.transform, {0, 1, 0}) - vyxTransformPoint(scene.torus.transform, {0, 0, 0});
        EXPECT_TRUE(vecNear(up, Vec3d{0, std::cos(1.57), std::sin(1.57)}, 1e-4)) << "torus orientation";
        EXPECT_NEAR(scene.camera.fov, vyxPi / 2, 1e-6);

        scene.cameraIndex = 2;
        scene.Animate();
        Vec3d chased = path(w);
        EXPECT_NEAR(scene.camera.fov, 15.0 * vyxPi / 180.0, 1e-6) << "chase view is narrow";
        EXPECT_TRUE(vecNear(scene.camera.target, chased, 2e-3)) << "chase target at t = " << t;
        EXPECT_TRUE(vecNear(scene.camera.position, Vec3d{chased.x - 8, chased.y + 1, chased.z + 4}, 2e-3))
            << "chase position at t = " << t;
        EXPECT_TRUE(vecNear(vyxTransformPoint(scene.torusCopy.transform, {0, 0, 0}), chased, 2e-3)) << "copy chased";
    }
}

TEST(CameraModes, FreeWalkStandsTenUnitsAboveTheGround) {
    GSSampleScene scene;
    // A flat square terrain: object-space y = 0 over x, z in [-1, 1], which the terrain
    // transform (scale 40, 20, 40, then up 205) puts at world height 205 over [-40, 40].
    const vyxVec3 c00{-1, 0, -1}, c10{1, 0, -1}, c11{1, 0, 1}, c01{-1, 0, 1};
    buildTestMesh(scene.terrain, {{c00, c10, c11}, {c00, c11, c01}});
    scene.cameraIndex = 3;
    struct Case {
        vyxVec3 walk;
        float yaw, pitch;
        float height; // expected walkPosition.y
    };
    const Case cases[] = {
        {{0, 0, 0}, 0.0f, 0.0f, 215.0f},
        {{30, -50, -20}, 0.3f, 0.2f, 215.0f},
        {{-12, 999, 39}, -2.0f, -1.5f, 215.0f},
        {{100, 7, 100}, 1.0f, 1.5f, 0.0f}, // beyond the terrain: drops to 0
    };
    for (const Case& c : cases) {
        scene.walkPosition = c.walk;
        scene.yaw = c.yaw;
        scene.pitch = c.pitch;
        scene.animationTime = 500.0f;
        scene.Animate();
        EXPECT_NEAR(scene.walkPosition.y, c.height, 0.1) << "walk at " << c.walk.x << "," << c.walk.z;
        EXPECT_TRUE(vecNear(scene.camera.position, scene.walkPosition, 0)) << "camera at the walk position";
        Vec3d view = {-std::sin(c.yaw) * std::cos(c.pitch), std::sin(c.pitch), -std::cos(c.yaw) * std::cos(c.pitch)};
        vyxVec3 direction = scene.camera.target - scene.camera.position;
        EXPECT_TRUE(vecNear(direction, view, 1e-4)) << "view direction yaw " << c.yaw << " pitch " << c.pitch;
        EXPECT_NEAR(scene.camera.fov, vyxPi / 2, 1e-6);
        // The model stands larger above the ground while walking.
        EXPECT_TRUE(vecNear(vyxTransformPoint(scene.model.transform, {1, 0, 0}), Vec3d{3, 5, 0}, 1e-5)) << "model";
    }
    // Leaving the walk shrinks the model back in the same frame.
    scene.cameraIndex = 0;
    scene.animationTime = 0.0f;
    scene.Animate();
    EXPECT_TRUE(vecNear(vyxTransformPoint(scene.model.transform, {1, 0, 0}), Vec3d{1.5, 0, 0}, 1e-5)) << "model";
    vyxFreeMesh(scene.terrain);
}
