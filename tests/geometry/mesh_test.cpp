// Meshes from OBJ models: triangle order across groups, quads, materials, corner
// normals and texture coordinates, missing data, and release.

#include "geometry/mesh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "geometry/query.h"
#include "scenefiles/obj.h"
#include "tests/support/capture.h"
#include "util/large_alloc.h"

namespace {

std::string dataPath(const char* name) { return std::string(VYX_TEST_DATA_DIR) + "/geometry/" + name; }

struct Corner {
    float p[3];
    float n[3];
    float uv[2];
};

void cross(const float a[3], const float b[3], float out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

} // namespace

TEST(MeshFromObj, GroupsFacesMaterialsNormalsAndTextureCoordinates) {
    vyxMesh mesh;
    vyxLoadMeshFromObj(dataPath("two-groups.obj").c_str(), mesh);
    ASSERT_EQ(mesh.triangleCount, 8);
    ASSERT_EQ(mesh.materialCount, 2);
    EXPECT_EQ(mesh.materials[0].textureFile, nullptr);
    ASSERT_NE(mesh.materials[1].textureFile, nullptr);
    EXPECT_EQ(mesh.materials[1].textureFile, dataPath("sand.jpg")) << "found beside its library";
    EXPECT_FLOAT_EQ(mesh.materials[0].color[1], 0.25f);

    const float P[5][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}};
    const float T[3][2] = {{0.25f, 0.5f}, {0.75f, 0.5f}, {0.5f, 1}};
    const float N[2][3] = {{0, 0, 2}, {0, 0, -1}};
    const float G[3] = {0, -1, 0}; // flat normal of (v1, v2, v5): (v2 - v1) x (v5 - v1)
    const float Z[2] = {0, 0};
    // Expected corners, triangle by triangle, in file order (the quad fans from its
    // first corner). Material 0 has no map, so its texture coordinates are all zero.
    struct Expected {
        int material;
        int p[3];
        const float* n[3];
        const float* uv[3];
    } expected[8] = {
        {0, {0, 1, 2}, {N[0], N[0], N[0]}, {Z, Z, Z}},
        {0, {1, 3, 2}, {N[0], N[0], N[0]}, {Z, Z, Z}},
        {0, {0, 1, 4}, {G, G, G}, {Z, Z, Z}},
        {1, {0, 1, 3}, {N[0], N[0], N[0]}, {T[0], T[1], T[2]}},
        {1, {0, 3, 2}, {N[0], N[0], N[0]}, {T[0], T[2], T[0]}},
        {1, {0, 1, 4}, {G, G, G}, {T[0], T[1], T[2]}},
        {1, {0, 2, 4}, {N[1], N[1], N[1]}, {Z, Z, Z}},
        {1, {1, 3, 4}, {N[1], N[1], N[1]}, {T[2], T[1], T[0]}},
    };
    for (int t = 0; t < 8; ++t) {
        const vyxTriangle& tri = mesh.triangles[t];
        const vyxTriangleShading sh = vyxShadingOf(mesh, t);
        const Expected& e = expected[t];
        const float* points[3] = {tri.p0, tri.p1, tri.p2};
        const float* normals[3] = {sh.normal0, sh.normal1, sh.normal2};
        const float* uvs[3] = {sh.uv0, sh.uv1, sh.uv2};
        EXPECT_EQ(sh.material, &mesh.materials[e.material]) << "triangle " << t;
        EXPECT_EQ(sh.patch, 1) << "triangle " << t;
        for (int c = 0; c < 3; ++c) {
            for (int a = 0; a < 3; ++a) {
                EXPECT_EQ(points[c][a], P[e.p[c]][a]) << "triangle " << t << " corner " << c;
                EXPECT_FLOAT_EQ(normals[c][a], e.n[c][a]) << "triangle " << t << " corner " << c;
            }
            EXPECT_EQ(uvs[c][0], e.uv[c][0]) << "triangle " << t << " corner " << c;
            EXPECT_EQ(uvs[c][1], e.uv[c][1]) << "triangle " << t << " corner " << c;
        }
        // The triangle is set up: its normal is the unit cross product of its edges.
        float e1[3], e2[3], n[3];
        for (int a = 0; a < 3; ++a) {
            e1[a] = tri.p1[a] - tri.p0[a];
            e2[a] = tri.p2[a] - tri.p0[a];
        }
        cross(e1, e2, n);
        float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (int a = 0; a < 3; ++a)
            EXPECT_NEAR(tri.normal[a], n[a] / len, 1e-6f) << "triangle " << t;
    }

    // Identity transform with a valid inverse, and a hierarchy over all 8 triangles.
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(mesh.transform.matrix[i], i % 5 == 0 ? 1.0f : 0.0f);
    EXPECT_TRUE(mesh.transform.inverseValid);
    EXPECT_FALSE(mesh.transform.normalValid);
    ASSERT_NE(mesh.bih, nullptr);
    EXPECT_EQ(mesh.bih->triangleCount, 8);
    vyxTransformPrepare(mesh.transform);
    vyxTransformPrepare(mesh.bih->transform);
    vyxTraceResult r = vyxTraceMesh(mesh, vyxVec3{0.8f, 0.9f, 3.0f}, vyxVec3{0, 0, -1}, -1.0f);
    EXPECT_EQ(r.t, 3.0f);
    EXPECT_TRUE(r.triangle == 1 || r.triangle == 4) << r.triangle; // both cover (0.8, 0.9)

    vyxFreeMesh(mesh);
    EXPECT_EQ(mesh.triangles, nullptr);
    EXPECT_EQ(mesh.materials, nullptr);
    EXPECT_EQ(mesh.bih, nullptr);
    EXPECT_EQ(mesh.triangleCount, 0);
    vyxFreeMesh(mesh); // safe twice
}

TEST(MeshFromObj, FacesWithoutAMaterialGetADefaultOne) {
    vyxMesh mesh;
    vyxLoadMeshFromObj(dataPath("no-material.obj").c_str(), mesh);
    ASSERT_EQ(mesh.triangleCount, 2);
    ASSERT_EQ(mesh.materialCount, 1);
    vyxMaterial def = vyxDefaultMaterial();
    for (int t = 0; t < 2; ++t) {
        ASSERT_EQ(vyxShadingOf(mesh, t).material, &mesh.materials[0]) << t;
        EXPECT_EQ(vyxShadingOf(mesh, t).material->color[0], def.color[0]);
        EXPECT_EQ(vyxShadingOf(mesh, t).material->alpha, def.alpha);
    }
    // Second face: no normals, reversed winding: the flat normal points along -z.
    EXPECT_EQ(vyxShadingOf(mesh, 1).normal0[2], -1.0f);
    EXPECT_EQ(vyxShadingOf(mesh, 0).normal2[2], 1.0f);
    vyxFreeMesh(mesh);
}

// An empty mesh either way; the missing file was reported by the reader, an empty model
// from memory is reported by its display name.
TEST(MeshFromObj, MissingFileOrEmptyModelGivesAnEmptyMeshThatMisses) {
    vyxMesh mesh;
    std::memset(&mesh, 0xab, sizeof(mesh)); // the loader must not trust the record's contents
    CapturedOutput output = capture([&] { vyxLoadMeshFromObj(dataPath("does-not-exist.obj").c_str(), mesh); });
    EXPECT_EQ(output.err.find("has no faces"), std::string::npos) << output.err;
    EXPECT_EQ(mesh.triangleCount, 0);
    EXPECT_EQ(mesh.materialCount, 0);
    ASSERT_NE(mesh.bih, nullptr);
    vyxTransformPrepare(mesh.transform);
    EXPECT_EQ(vyxTraceMesh(mesh, vyxVec3{0, 0, 0}, vyxVec3{1, 1, 1}, -1.0f).t, -1.0f);
    vyxFreeMesh(mesh);
    vyxFreeMesh(mesh);

    output = capture([&] { vyxBuildMeshFromObj(vyxObjModel(), "memory.obj", mesh); });
    EXPECT_EQ(output.err, "vyx: memory.obj has no faces to draw; the model is empty\n");
    EXPECT_EQ(mesh.triangleCount, 0);
    ASSERT_NE(mesh.bih, nullptr);
    vyxFreeMesh(mesh);
}

// The mesh keeps corners shared between faces; whatever it shares, every triangle's
// shading must be what its face alone gives: the file's normal or the triangle's flat one,
// the file's texture coordinates under a textured material or (0, 0). Random faces over
// few normals and coordinates, with missing and out-of-range indices, on two materials.
TEST(MeshFromObj, SharedCornersGiveEveryFaceItsOwnShading) {
    uint32_t state = 12345;
    auto next = [&state](int32_t n) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int32_t>((state >> 8) % static_cast<uint32_t>(n));
    };
    for (const bool seams : {true, false}) {
        vyxObjModel model;
        for (int i = 0; i < 30; ++i)
            model.positions.push_back(static_cast<float>(next(1000)) * 0.01f);
        for (int i = 0; i < 8 * 3; ++i) {
            model.normals.push_back(static_cast<float>(next(200) - 100));
            model.texcoords.push_back(static_cast<float>(next(100)) * 0.01f);
        }
        model.materials.resize(2);
        model.materials[1].mapKd = "stone.png";
        model.materials[1].hasMapKd = true;
        model.groups.resize(1);
        for (int f = 0; f < 400; ++f) {
            vyxObjFace face;
            for (int c = 0; c < 3; ++c) {
                face.position[c] = (f + c) % 10;
                // Without seams a normal always comes with the same coordinate.
                face.normal[c] = next(11) - 1; // -1 .. 9: missing, valid or past the 8 normals
                face.texcoord[c] = seams ? next(11) - 1 : face.normal[c];
            }
            face.material = next(3) - 1; // -1: the default material
            model.groups[0].faces.push_back(face);
        }
        const vyxObjModel copy = model;
        vyxMesh mesh;
        vyxBuildMeshFromObj(std::move(model), "corners", mesh);
        ASSERT_EQ(mesh.triangleCount, 400);
        ASSERT_NE(mesh.materials[1].textureFile, nullptr);
        std::set<std::pair<int32_t, int32_t>> pairs;
        for (int t = 0; t < mesh.triangleCount; ++t) {
            const vyxObjFace& face = copy.groups[0].faces[static_cast<size_t>(t)];
            const vyxTriangleShading sh = vyxShadingOf(mesh, t);
            const int material = face.material >= 0 ? face.material : 2;
            ASSERT_EQ(sh.material, &mesh.materials[material]) << t;
            const float* normals[3] = {sh.normal0, sh.normal1, sh.normal2};
            const float* uvs[3] = {sh.uv0, sh.uv1, sh.uv2};
            for (int c = 0; c < 3; ++c) {
                const int32_t ni = face.normal[c] < 8 ? face.normal[c] : -1;
                const int32_t ti = material == 1 && face.texcoord[c] < 8 ? face.texcoord[c] : -1;
                const float* n = ni >= 0 ? &copy.normals[3 * static_cast<size_t>(ni)] : mesh.triangles[t].normal;
                for (int a = 0; a < 3; ++a)
                    ASSERT_EQ(normals[c][a], n[a]) << t << " " << c;
                ASSERT_EQ(uvs[c][0], ti >= 0 ? copy.texcoords[3 * static_cast<size_t>(ti)] : 0.0f) << t << " " << c;
                ASSERT_EQ(uvs[c][1], ti >= 0 ? copy.texcoords[3 * static_cast<size_t>(ti) + 1] : 0.0f) << t << " " << c;
                if (ni >= 0 || ti >= 0)
                    pairs.insert({ni, ti});
            }
        }
        // Without seams the pairs a normal takes part in are few, and each is stored once.
        if (!seams) {
            EXPECT_EQ(mesh.cornerCount, static_cast<int32_t>(pairs.size()));
        }
        EXPECT_LE(mesh.cornerCount, 3 * mesh.triangleCount);
        vyxFreeMesh(mesh);
    }
}

// Memory running out at each large allocation of a model's loading in turn: either the
// model is reported by name and left empty, or (when it ran out for the hierarchy) it is
// whole and traced through its interval nodes with the same hits; nothing leaks (the
// address sanitizer's run checks).
TEST(MeshFromObj, MemoryRunningOutAtAnyAllocationIsReportedOrMakesNoDifference) {
    const std::string path = dataPath("two-groups.obj");
    vyxMesh usual;
    vyxLoadMeshFromObj(path.c_str(), usual);
    ASSERT_EQ(usual.triangleCount, 8);
    vyxTransformPrepare(usual.transform);
    const vyxVec3 origins[2] = {{0.2f, 0.3f, 5.0f}, {0.5f, -5.0f, 0.2f}}, directions[2] = {{0, 0, -1}, {0, 1, 0}};
    for (int64_t k = 0;; ++k) {
        vyxMesh mesh;
        vyxFailLargeAllocation(k);
        CapturedOutput output = capture([&] { vyxLoadMeshFromObj(path.c_str(), mesh); });
        const bool ranOut = !vyxLargeAllocationFailurePending();
        vyxFailLargeAllocation(-1);
        if (!ranOut) {
            ASSERT_GT(k, 2) << "triangles, corners and the hierarchy are allocated";
            vyxFreeMesh(mesh);
            break;
        }
        if (mesh.triangleCount == 0) {
            EXPECT_NE(output.err.find("out of memory for the 8 triangles of " + path), std::string::npos)
                << k << ": " << output.err;
        } else {
            ASSERT_EQ(mesh.triangleCount, 8) << k;
            vyxTransformPrepare(mesh.transform);
            for (int r = 0; r < 2; ++r) {
                const vyxTraceResult got = vyxTraceMesh(mesh, origins[r], directions[r], -1.0f);
                const vyxTraceResult want = vyxTraceMesh(usual, origins[r], directions[r], -1.0f);
                EXPECT_GT(want.t, 0.0f) << r;
                EXPECT_EQ(got.t, want.t) << k << ", ray " << r;
                EXPECT_EQ(got.triangle, want.triangle) << k << ", ray " << r;
            }
        }
        vyxFreeMesh(mesh);
    }
    vyxFreeMesh(usual);
}
