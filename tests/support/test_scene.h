#pragma once
// Small scenes built in memory for the shading, visibility and renderer tests: meshes
// from triangle lists, lights updated on the way in, a cube map, and everything released
// when the scene goes out of scope.

#include <cstdint>
#include <memory>
#include <vector>

#include "geometry/mesh.h"
#include "geometry/scene.h"
#include "scenefiles/mtl.h"
#include "trace/light.h"
#include "trace/settings.h"
#include "trace/texture.h"

struct TestTriangle {
    vyxVec3 p0, p1, p2;
    int material = 0; // index into the mesh's materials
    int patch = 1;
};

// Fills mesh (its previous contents are not released) with the triangles and materials.
// Corner normals are the geometric normal of the triangle, texture coordinates (0, 0),
// (1, 0), (0, 1); the hierarchy is built and the transform is the identity, prepared.
// Free it with vyxFreeMesh.
void buildTestMesh(vyxMesh& mesh, const std::vector<TestTriangle>& triangles,
                   const std::vector<vyxMaterial>& materials = {vyxDefaultMaterial()});

// A mesh built by buildTestMesh that frees itself; it goes wherever a vyxMesh does.
struct TestMesh : vyxMesh {
    explicit TestMesh(const std::vector<TestTriangle>& triangleList,
                      const std::vector<vyxMaterial>& materialList = {vyxDefaultMaterial()});
    ~TestMesh();
    TestMesh(const TestMesh&) = delete;
    TestMesh& operator=(const TestMesh&) = delete;
};

// Opaque, lit, casting shadows, no highlight or reflection.
vyxMaterial testMaterial(vyxVec3 colour, float alpha = 1.0f);

// The defaults with the given flags and occlusion rays of length 20 (no fog, 10
// occlusion samples, antialiasing threshold 0.25).
vyxRenderSettings testSettings(int32_t flags = 0);

// A 1 x 1 float texture with channels values from texel (nearest, repeat).
vyxTexture testTexture(float* texel, uint8_t channels);

// A zeroed light of kind and colour.
vyxLight testLight(uint32_t kind, vyxVec3 colour);

class TestScene {
public:
    TestScene();
    ~TestScene();
    TestScene(const TestScene&) = delete;
    TestScene& operator=(const TestScene&) = delete;

    // One mesh of the given triangles and materials, as buildTestMesh makes it. Returns
    // the mesh's first material for further changes.
    vyxMaterial& addMesh(const std::vector<TestTriangle>& triangles, const std::vector<vyxMaterial>& materials);
    // The parallelogram corner, corner + u, corner + u + v, corner + v (normal along u x v).
    vyxMaterial& addQuad(vyxVec3 corner, vyxVec3 u, vyxVec3 v, const vyxMaterial& material);
    // A square of side 2 * half in the plane y = height, centred on the y axis, facing +y.
    vyxMaterial& addFloor(float height, float half, const vyxMaterial& material);
    // Copies the light into the scene's list and runs vyxUpdateLight on it.
    vyxLight& addLight(const vyxLight& light);
    // A light of kind, direction and colour with ground colour 0.1 and angle 0.05.
    vyxLight& addLight(uint32_t kind, vyxVec3 direction, vyxVec3 colour);
    // Six faces of one colour, 1 x 1 float RGB texels; null faces when colour is null.
    void setCubeMap(const vyxVec3* colour);
    // Six 4 x 4 float faces whose texels vary smoothly, sampled bilinearly, so that a
    // slightly different direction gives a slightly different colour.
    void setSmoothCubeMap();

    vyxScene scene;

private:
    std::vector<std::unique_ptr<TestMesh>> meshes_;
    std::vector<std::unique_ptr<vyxLight>> lights_;
    vyxCubeMap cubeMap_{};
    vyxTexture faces_[6] = {};
    float texels_[6][4 * 4 * 3] = {};
};
