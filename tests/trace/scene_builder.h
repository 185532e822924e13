#pragma once
// Small scenes for the shading and visibility tests: quads and triangle lists become
// meshes with one material each, lights are updated on the way in, and everything is
// released when the builder goes out of scope.

#include <array>
#include <vector>

#include "geometry/mesh.h"
#include "geometry/scene.h"
#include "scenefiles/mtl.h"
#include "trace/light.h"
#include "trace/settings.h"
#include "trace/texture.h"

using TestTriangle = std::array<vyxVec3, 3>;

// Opaque, lit, casting shadows, no highlight or reflection.
vyxMaterial testMaterial(vyxVec3 colour, float alpha = 1.0f);

// Defaults with no fog, no flags, occlusion rays of length 20 and 10 samples.
vyxRenderSettings testSettings();

class TestScene {
  public:
    TestScene();
    ~TestScene();
    TestScene(const TestScene&) = delete;
    TestScene& operator=(const TestScene&) = delete;

    // One mesh of the given triangles. Corner normals are the face normal along
    // (p1 - p0) x (p2 - p0); texture coordinates are (0, 0), (1, 0), (0, 1). Returns the
    // mesh's material for further changes.
    vyxMaterial& addMesh(const std::vector<TestTriangle>& triangles, const vyxMaterial& material);
    // The parallelogram corner, corner + u, corner + u + v, corner + v (normal along u x v).
    vyxMaterial& addQuad(vyxVec3 corner, vyxVec3 u, vyxVec3 v, const vyxMaterial& material);
    // A square of side 2 * half in the plane y = height, centred on the y axis, facing +y.
    vyxMaterial& addFloor(float height, float half, const vyxMaterial& material);
    // Copies the light into the scene's list and runs vyxUpdateLight on it.
    vyxLight& addLight(const vyxLight& light);
    // Six faces of one colour, 1 x 1 float RGB texels; null faces when colour is null.
    void setCubeMap(const vyxVec3* colour);

    vyxScene scene;

  private:
    std::vector<vyxMesh*> meshes_;
    std::vector<vyxLight*> lights_;
    vyxCubeMap cubeMap_{};
    vyxTexture face_{};
    float faceTexel_[3] = {0, 0, 0};
};

// A 1 x 1 float texture with channels values from texel (nearest, repeat).
vyxTexture testTexture(float* texel, uint8_t channels);

inline vyxLight testLight(uint32_t kind, vyxVec3 colour) {
    vyxLight light = vyxZeroLight();
    light.kind = kind;
    light.colour = colour;
    return light;
}
