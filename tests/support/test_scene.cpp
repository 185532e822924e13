#include "tests/support/test_scene.h"

#include <cstdlib>
#include <cstring>

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

vyxRenderSettings testSettings(int32_t flags) {
    vyxRenderSettings s = vyxDefaultRenderSettings();
    s.flags = flags;
    s.fogDensity = 0.0f;
    s.fogColour = vyxVec3{0.0f, 0.0f, 0.0f};
    s.aoDistance = 20.0f;
    s.aoSamples = 10.0f;
    s.aaThreshold = 0.25f;
    return s;
}

vyxTexture testTexture(float* texel, uint8_t channels) {
    vyxTexture t{};
    vyxMakeTexture(t, 1, 1, texel, channels, StorageFloats, FilterNearest, WrapRepeat, WrapRepeat);
    return t;
}

vyxLight testLight(uint32_t kind, vyxVec3 colour) {
    vyxLight light = vyxZeroLight();
    light.kind = kind;
    light.colour = colour;
    return light;
}

static void store(float out[3], vyxVec3 v) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

void buildTestMesh(vyxMesh& mesh, const std::vector<TestTriangle>& triangles,
                   const std::vector<vyxMaterial>& materials) {
    const size_t count = triangles.size();
    std::memset(static_cast<void*>(&mesh), 0, sizeof(mesh));
    mesh.triangleCount = static_cast<int32_t>(count);
    mesh.materialCount = static_cast<int32_t>(materials.size());
    mesh.triangles = static_cast<vyxTriangle*>(std::calloc(count, sizeof(vyxTriangle)));
    std::vector<vyxTriangleShading> records(count);
    mesh.materials = static_cast<vyxMaterial*>(std::calloc(materials.size(), sizeof(vyxMaterial)));
    for (size_t m = 0; m < materials.size(); ++m)
        mesh.materials[m] = materials[m];
    for (size_t i = 0; i < count; ++i) {
        const TestTriangle& source = triangles[i];
        vyxTriangle& triangle = mesh.triangles[i];
        store(triangle.p0, source.p0);
        store(triangle.p1, source.p1);
        store(triangle.p2, source.p2);
        vyxSetupTriangle(triangle);
        vyxTriangleShading& shading = records[i];
        for (int a = 0; a < 3; ++a)
            shading.normal0[a] = shading.normal1[a] = shading.normal2[a] = triangle.normal[a];
        shading.uv1[0] = 1.0f;
        shading.uv2[1] = 1.0f;
        shading.patch = source.patch;
        shading.material = &mesh.materials[source.material];
    }
    // A few records always fit: failing here would make every test of the mesh misleading.
    if (!vyxSetShading(mesh, records.data()))
        std::abort();
    mesh.bih = new vyxBIH{};
    vyxBuildBIH(mesh.triangleCount, *mesh.bih, mesh.triangles);
    vyxTransformIdentity(mesh.transform);
    // Fill the lazy matrix caches now, as the renderers do before tracing.
    vyxTransformPrepare(mesh.transform);
    vyxTransformPrepare(mesh.bih->transform);
}

TestMesh::TestMesh(const std::vector<TestTriangle>& triangleList, const std::vector<vyxMaterial>& materialList) {
    buildTestMesh(*this, triangleList, materialList);
}

TestMesh::~TestMesh() { vyxFreeMesh(*this); }

TestScene::TestScene() { vyxSceneInit(scene); }

TestScene::~TestScene() { vyxSceneFree(scene); }

vyxMaterial& TestScene::addMesh(const std::vector<TestTriangle>& triangles, const std::vector<vyxMaterial>& materials) {
    meshes_.push_back(std::make_unique<TestMesh>(triangles, materials));
    vyxSceneAddMesh(scene, meshes_.back().get());
    return meshes_.back()->materials[0];
}

vyxMaterial& TestScene::addQuad(vyxVec3 corner, vyxVec3 u, vyxVec3 v, const vyxMaterial& material) {
    vyxVec3 a = corner, b = corner + u, c = corner + u + v, d = corner + v;
    return addMesh({{a, b, c}, {a, c, d}}, {material});
}

vyxMaterial& TestScene::addFloor(float height, float half, const vyxMaterial& material) {
    // u = +z, v = +x: u x v = +y.
    return addQuad(vyxVec3{-half, height, -half}, vyxVec3{0.0f, 0.0f, 2.0f * half}, vyxVec3{2.0f * half, 0.0f, 0.0f},
                   material);
}

vyxLight& TestScene::addLight(const vyxLight& light) {
    lights_.push_back(std::make_unique<vyxLight>(light));
    vyxLight& added = *lights_.back();
    vyxUpdateLight(added);
    vyxSceneAddLight(scene, &added);
    return added;
}

vyxLight& TestScene::addLight(uint32_t kind, vyxVec3 direction, vyxVec3 colour) {
    vyxLight light = testLight(kind, colour);
    light.direction = direction;
    light.groundColour = {0.1f, 0.1f, 0.1f};
    light.angle = 0.05f;
    return addLight(light);
}

void TestScene::setCubeMap(const vyxVec3* colour) {
    for (vyxTexture*& f : cubeMap_.faces)
        f = nullptr;
    if (colour) {
        store(texels_[0], *colour);
        faces_[0] = testTexture(texels_[0], 3);
        for (vyxTexture*& f : cubeMap_.faces)
            f = &faces_[0];
    }
    scene.cubeMap = &cubeMap_;
}

void TestScene::setSmoothCubeMap() {
    for (int f = 0; f < 6; ++f) {
        float* texels = texels_[f];
        for (int i = 0; i < 16; ++i) {
            texels[i * 3 + 0] = 0.1f + 0.1f * f;
            texels[i * 3 + 1] = 0.2f + 0.05f * (i % 4);
            texels[i * 3 + 2] = 0.3f + 0.05f * (i / 4);
        }
        vyxMakeTexture(faces_[f], 4, 4, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
        cubeMap_.faces[f] = &faces_[f];
    }
    scene.cubeMap = &cubeMap_;
}
