#pragma once
// Small scenes built in memory for the renderer tests: meshes from triangle lists, lights,
// a float cube map, a camera, settings, and frames filled with a NaN sentinel.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "geometry/bih.h"
#include "geometry/mesh.h"
#include "geometry/scene.h"
#include "geometry/transform.h"
#include "render/framebuffer.h"
#include "scenefiles/mtl.h"
#include "trace/camera.h"
#include "trace/light.h"
#include "trace/raystats.h"
#include "trace/settings.h"
#include "trace/texture.h"

struct TestTriangle {
    vyxVec3 p0, p1, p2;
    int material;  // index into the mesh's materials
    int patch;
};

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

class TestScene {
public:
    TestScene() { vyxSceneInit(scene); }
    ~TestScene() {
        for (int i = 0; i < scene.meshCount; ++i) {
            vyxFreeMesh(*scene.meshes[i]);
            delete scene.meshes[i];
        }
        for (int i = 0; i < scene.lightCount; ++i) {
            delete scene.lights[i];
        }
        for (vyxTexture& face : faces) {
            free(face.data);
        }
        vyxSceneFree(scene);
    }
    TestScene(const TestScene&) = delete;
    TestScene& operator=(const TestScene&) = delete;

    // A mesh with flat corner normals, texture coordinates (0, 0) and an identity transform.
    vyxMesh* addMesh(const std::vector<TestTriangle>& triangles, const std::vector<vyxMaterial>& materials) {
        auto* mesh = new vyxMesh{};
        mesh->triangleCount = static_cast<int32_t>(triangles.size());
        mesh->materialCount = static_cast<int32_t>(materials.size());
        mesh->triangles = static_cast<vyxTriangle*>(calloc(triangles.size(), sizeof(vyxTriangle)));
        mesh->shading = static_cast<vyxTriangleShading*>(calloc(triangles.size(), sizeof(vyxTriangleShading)));
        mesh->materials = static_cast<vyxMaterial*>(calloc(materials.size(), sizeof(vyxMaterial)));
        for (size_t m = 0; m < materials.size(); ++m) {
            mesh->materials[m] = materials[m];
        }
        for (size_t i = 0; i < triangles.size(); ++i) {
            const TestTriangle& source = triangles[i];
            vyxTriangle& triangle = mesh->triangles[i];
            const vyxVec3 points[3] = {source.p0, source.p1, source.p2};
            float* corners[3] = {triangle.p0, triangle.p1, triangle.p2};
            for (int c = 0; c < 3; ++c) {
                corners[c][0] = points[c].x;
                corners[c][1] = points[c].y;
                corners[c][2] = points[c].z;
            }
            vyxSetupTriangle(triangle);
            vyxTriangleShading& shading = mesh->shading[i];
            for (int a = 0; a < 3; ++a) {
                shading.normal0[a] = shading.normal1[a] = shading.normal2[a] = triangle.normal[a];
            }
            shading.patch = source.patch;
            shading.material = &mesh->materials[source.material];
        }
        mesh->bih = new vyxBIH{};
        vyxBuildBIH(mesh->triangleCount, *mesh->bih, mesh->triangles);
        vyxTransformIdentity(mesh->transform);
        vyxSceneAddMesh(scene, mesh);
        return mesh;
    }

    vyxLight* addLight(uint32_t kind, vyxVec3 direction, vyxVec3 colour) {
        auto* light = new vyxLight(vyxZeroLight());
        light->kind = kind;
        light->direction = direction;
        light->colour = colour;
        light->groundColour = {0.1f, 0.1f, 0.1f};
        light->angle = 0.05f;
        vyxUpdateLight(*light);
        vyxSceneAddLight(scene, light);
        return light;
    }

    // Six 4 x 4 float faces whose texels vary smoothly, sampled bilinearly, so that a
    // slightly different direction gives a slightly different colour.
    void addCubeMap() {
        for (int f = 0; f < 6; ++f) {
            auto* texels = static_cast<float*>(malloc(4 * 4 * 3 * sizeof(float)));
            for (int i = 0; i < 16; ++i) {
                texels[i * 3 + 0] = 0.1f + 0.1f * f;
                texels[i * 3 + 1] = 0.2f + 0.05f * (i % 4);
                texels[i * 3 + 2] = 0.3f + 0.05f * (i / 4);
            }
            vyxMakeTexture(faces[f], 4, 4, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
            cube.faces[f] = &faces[f];
        }
        scene.cubeMap = &cube;
    }

    vyxScene scene;

private:
    vyxTexture faces[6] = {};
    vyxCubeMap cube = {};
};

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

// Deterministic settings: no ambient occlusion, no jitter, no fog.
inline vyxRenderSettings testSettings(int32_t flags) {
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    settings.flags = flags;
    settings.aoDistance = 20.0f;
    settings.aaThreshold = 0.25f;
    return settings;
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
    test.addCubeMap();
}
