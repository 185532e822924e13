#pragma once
// What the renderer tests add to the shared test scenes: rectangles, unlit materials, a
// camera, a lit scene with a little of everything, and frames filled with a NaN sentinel.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "render/framebuffer.h"
#include "scenefiles/mtl.h"
#include "tests/support/test_scene.h"
#include "trace/camera.h"
#include "trace/raystats.h"

// Two triangles covering the rectangle [x0, x1] x [y0, y1] in the plane z.
inline void addRectangle(std::vector<TestTriangle>& triangles, float x0, float y0, float x1, float y1, float z,
                         int material = 0, int patch = 1, int secondPatch = -1) {
    triangles.push_back({{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, material, patch});
    triangles.push_back({{x0, y0, z}, {x1, y1, z}, {x0, y1, z}, material, secondPatch < 0 ? patch : secondPatch});
}

inline vyxMaterial unlitMaterial(float r, float g, float b) {
    vyxMaterial material = vyxDefaultMaterial();
    material.color[0] = r;
    material.color[1] = g;
    material.color[2] = b;
    material.unlit = 1;
    return material;
}

// Looks from (0, 0, 10) at the origin with a 90 degree field of view: the plane z = 0
// fills the image over x, y in [-10 * aspect, 10 * aspect] x [-10, 10].
inline vyxCamera makeCamera(int width, int height, vyxVec3 position = {0.0f, 0.0f, 10.0f},
                            vyxVec3 target = {0.0f, 0.0f, 0.0f}) {
    vyxCamera camera{};
    camera.upHint = {0.0f, 1.0f, 0.0f};
    camera.position = position;
    camera.target = target;
    camera.imageWidth = static_cast<uint32_t>(width);
    camera.imageHeight = static_cast<uint32_t>(height);
    camera.fov = 1.5707963267948966f;
    vyxUpdateCamera(camera);
    return camera;
}

// A frame filled with NaN, so that a pixel nobody wrote stands out.
struct SentinelFrame {
    SentinelFrame(int width, int height) : frame(vyxAllocFrame(width, height)) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (int i = 0; i < width * height; ++i) {
            frame.pixels[i] = {nan, nan, nan};
        }
    }
    ~SentinelFrame() { vyxFreeFrame(frame); }
    SentinelFrame(const SentinelFrame&) = delete;
    SentinelFrame& operator=(const SentinelFrame&) = delete;
    vyxVec3& at(int x, int y) { return frame.pixels[static_cast<size_t>(y) * frame.width + x]; }
    FrameBuffer frame;
};

inline bool isWritten(vyxVec3 colour) {
    return std::isfinite(colour.x) && std::isfinite(colour.y) && std::isfinite(colour.z);
}

inline float largestDifference(vyxVec3 a, vyxVec3 b) {
    float dx = std::fabs(a.x - b.x), dy = std::fabs(a.y - b.y), dz = std::fabs(a.z - b.z);
    return dx > dy ? (dx > dz ? dx : dz) : (dy > dz ? dy : dz);
}

// Primary rays traced since the last reset (all threads flushed by the renderers).
inline uint64_t primaryRays() { return vyxRayStatsTotal().primary; }

#ifdef VYX_RAY_STATS
#define SKIP_WITHOUT_RAY_STATS() ((void)0)
#else
#define SKIP_WITHOUT_RAY_STATS() GTEST_SKIP() << "built without VYX_RAY_STATS"
#endif

// A lit scene with a little of everything the shading does: a grey floor that leaves
// background showing at the top and bottom, a red translucent panel casting a coloured
// shadow, a tilted reflective and specular triangle, a directional and a hemisphere
// light, and the cube map.
inline void buildLitScene(TestScene& test) {
    std::vector<TestTriangle> floor;
    addRectangle(floor, -8.0f, -7.0f, 8.0f, 7.0f, 0.0f);
    test.addMesh(floor, {vyxDefaultMaterial()});

    vyxMaterial red = vyxDefaultMaterial();
    red.color[0] = 0.9f;
    red.color[1] = 0.1f;
    red.color[2] = 0.1f;
    red.alpha = 0.5f;
    std::vector<TestTriangle> panel;
    addRectangle(panel, -5.1f, -3.1f, 1.3f, 2.2f, 3.0f);
    test.addMesh(panel, {red});

    vyxMaterial mirror = vyxDefaultMaterial();
    mirror.reflectivity = 0.6f;
    mirror.fresnel = 0.3f;
    mirror.specular = 0.4f;
    test.addMesh({{{2.1f, -6.3f, 1.0f}, {7.2f, -5.1f, 3.0f}, {4.3f, 5.2f, 2.0f}, 0, 1}}, {mirror});

    test.addLight(LightDirectional, {-0.3f, -0.2f, -1.0f}, {0.9f, 0.9f, 0.8f});
    test.addLight(LightHemisphere, {0.0f, 0.0f, 1.0f}, {0.3f, 0.3f, 0.4f});
    test.setSmoothCubeMap();
}
