#include "scene_builder.h"

#include <cstdlib>

#include "geometry/bih.h"
#include "geometry/transform.h"
#include "geometry/triangle.h"

vyxMaterial testMaterial(vyxVec3 colour, float alpha) {
    vyxMaterial m{};
    m.color[0] = colour.x;
    m.color[1] = colour.y;
    m.color[2] = colour.z;
    m.alpha = alpha;
    m.castsShadows = 1;
    return m;
}

vyxRenderSettings testSettings() {
    vyxRenderSettings s = vyxDefaultRenderSettings();
    s.flags = 0;
    s.fogDensity = 0.0f;
    s.fogColour = vyxVec3{0.0f, 0.0f, 0.0f};
    s.aoDistance = 20.0f;
    s.aoSamples = 10.0f;
    return s;
}

TestScene::TestScene() {
    vyxSceneInit(scene);
}

TestScene::~TestScene() {
    for (vyxMesh* mesh : meshes_) {
        vyxFreeBIH(*mesh->bih);
        delete mesh->bih;
        std::free(mesh->triangles);
        std::free(mesh->shading);
        std::free(mesh->materials);
        delete mesh;
    }
    for (vyxLight* light : lights_)
        delete light;
    vyxSceneFree(scene);
}

static void store(float out[3], vyxVec3 v) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

vyxMaterial& TestScene::addMesh(const std::vector<TestTriangle>& triangles, const vyxMaterial& material) {
    int32_t count = static_cast<int32_t>(triangles.size());
    vyxMesh* mesh = new vyxMesh{};
    mesh->triangleCount = count;
    mesh->materialCount = 1;
    mesh->triangles = static_cast<vyxTriangle*>(std::calloc(count, sizeof(vyxTriangle)));
    mesh->shading = static_cast<vyxTriangleShading*>(std::calloc(count, sizeof(vyxTriangleShading)));
    mesh->materials = static_cast<vyxMaterial*>(std::calloc(1, sizeof(vyxMaterial)));
    mesh->materials[0] = material;
    for (int32_t i = 0; i < count; i++) {
        const TestTriangle& t = triangles[i];
        vyxTriangle& tri = mesh->triangles[i];
        store(tri.p0, t[0]);
        store(tri.p1, t[1]);
        store(tri.p2, t[2]);
        vyxSetupTriangle(tri);
        vyxVec3 n = vyxNormalize(vyxCross(t[1] - t[0], t[2] - t[0]));
        vyxTriangleShading& rec = mesh->shading[i];
        store(rec.normal0, n);
        store(rec.normal1, n);
        store(rec.normal2, n);
        rec.uv1[0] = 1.0f;
        rec.uv2[1] = 1.0f;
        rec.patch = 1;
        rec.material = &mesh->materials[0];
    }
    mesh->bih = new vyxBIH{};
    vyxBuildBIH(count, *mesh->bih, mesh->triangles);
    vyxTransformIdentity(mesh->transform);
    // Fill the lazy matrix caches now, as the renderers do before tracing.
    vyxTransformPrepare(mesh->transform);
    vyxTransformPrepare(mesh->bih->transform);
    meshes_.push_back(mesh);
    vyxSceneAddMesh(scene, mesh);
    return mesh->materials[0];
}

vyxMaterial& TestScene::addQuad(vyxVec3 corner, vyxVec3 u, vyxVec3 v, const vyxMaterial& material) {
    vyxVec3 a = corner, b = corner + u, c = corner + u + v, d = corner + v;
    return addMesh({TestTriangle{a, b, c}, TestTriangle{a, c, d}}, material);
}

vyxMaterial& TestScene::addFloor(float height, float half, const vyxMaterial& material) {
    // u = +z, v = +x: u x v = +y.
    return addQuad(vyxVec3{-half, height, -half}, vyxVec3{0.0f, 0.0f, 2.0f * half},
                   vyxVec3{2.0f * half, 0.0f, 0.0f}, material);
}

vyxLight& TestScene::addLight(const vyxLight& light) {
    vyxLight* copy = new vyxLight(light);
    vyxUpdateLight(*copy);
    lights_.push_back(copy);
    vyxSceneAddLight(scene, copy);
    return *copy;
}

void TestScene::setCubeMap(const vyxVec3* colour) {
    for (vyxTexture*& f : cubeMap_.faces)
        f = nullptr;
    if (colour) {
        faceTexel_[0] = colour->x;
        faceTexel_[1] = colour->y;
        faceTexel_[2] = colour->z;
        face_ = testTexture(faceTexel_, 3);
        for (vyxTexture*& f : cubeMap_.faces)
            f = &face_;
    }
    scene.cubeMap = &cubeMap_;
}

vyxTexture testTexture(float* texel, uint8_t channels) {
    vyxTexture t{};
    vyxMakeTexture(t, 1, 1, texel, channels, StorageFloats, FilterNearest, WrapRepeat, WrapRepeat);
    return t;
}
