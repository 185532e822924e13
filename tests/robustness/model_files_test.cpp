// Bad model files through the whole path from file to traced rays: vyxLoadMeshFromObj
// (OBJ and MTL readers, mesh building, the hierarchy) and the queries. The reader-level
// details (which line is reported, how indices resolve) are the scenefiles tests'; here
// every case must give a mesh that loads, keeps what is valid, and traces correctly.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/scene.h"
#include "tests/robustness/robustness_util.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"
#include "trace/light.h"
#include "trace/shade.h"
#include "trace/texture.h"

namespace {

// The square [-1, 1] x [-1, 1] at z = 0 as two triangles (vertices 1-4); rays straight
// down from z = 5 onto it hit at t = 5.
const std::string square = "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 1 2 3\nf 1 3 4\n";
// The same square after any other content: relative indices.
const std::string squareAfter = "\nv -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf -4 -3 -2\nf -4 -2 -1\n";

double triangleArea(const vyxTriangle& t) {
    double e1[3], e2[3];
    for (int k = 0; k < 3; ++k) {
        e1[k] = static_cast<double>(t.p1[k]) - t.p0[k];
        e2[k] = static_cast<double>(t.p2[k]) - t.p0[k];
    }
    double c[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
    return 0.5 * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
}

std::string garbage(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xff);
    // Some keywords among the noise, so the reader also meets half-formed lines.
    for (size_t at = 0; at + 8 < size; at += 997)
        std::memcpy(&bytes[at], (seed & 1) ? "\nf 1 2 " : "\nv 1e3 ", 7);
    return bytes;
}

// Every hit names a triangle of the mesh; rays onto the square (when it is expected to
// be there) hit it at t = 5 on a triangle of non-zero area.
void expectSquareTraces(vyxMesh& mesh, bool squarePresent, const std::string& name) {
    vyxTransformPrepare(mesh.transform);
    for (int i = 0; i <= 8; ++i)
        for (int j = 0; j <= 8; ++j) {
            // Includes the diagonal x = y, where the degenerate cases put their slivers.
            float x = -0.95f + 0.2375f * static_cast<float>(i);
            float y = -0.95f + 0.2375f * static_cast<float>(j);
            vyxTraceResult hit = vyxTraceMesh(mesh, {x, y, 5}, {0, 0, -1}, -1.0f);
            if (hit.t >= 0) {
                ASSERT_GE(hit.triangle, 0) << name;
                ASSERT_LT(hit.triangle, mesh.triangleCount) << name;
            }
            if (!squarePresent)
                continue;
            EXPECT_NEAR(hit.t, 5.0f, 1e-5f) << name << " at " << x << ", " << y;
            if (hit.t >= 0) {
                EXPECT_GT(triangleArea(mesh.triangles[hit.triangle]), 1e-3) << name << " at " << x << ", " << y;
                EXPECT_NE(vyxShadingOf(mesh, hit.triangle).material, nullptr) << name;
            }
        }
    if (squarePresent) {
        // Beside the square nothing valid is hit.
        vyxTraceResult beside = vyxTraceMesh(mesh, {3, 3, 5}, {0, 0, -1}, -1.0f);
        if (beside.t >= 0) {
            EXPECT_FALSE(std::isfinite(triangleArea(mesh.triangles[beside.triangle])) &&
                         triangleArea(mesh.triangles[beside.triangle]) < 100)
                << name << ": a hit beside the square on a sane triangle";
        }
    }
}

} // namespace

TEST(BadModelFiles, LoadKeepWhatIsValidAndTrace) {
    struct Case {
        const char* name;
        std::string model, library;
        int triangles;       // expected count, -1 = any
        bool squarePresent;  // rays onto the square must hit it
        const char* message; // expected in stderr or stdout, "" = none checked
    };
    const Case cases[] = {
        {"empty file", "", "", 0, false, "model.obj has no faces to draw"},
        {"empty library", "mtllib lib.mtl\nusemtl red\n" + square, "", 2, true, ""},
        {"binary garbage", garbage(65536, 1), "", -1, false, ""},
        {"binary garbage with a library", "mtllib lib.mtl\n" + garbage(65536, 2) + squareAfter, garbage(9000, 3), -1,
         true, ""},
        {"points and lines only", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\np 1 2\nl 1 2 3\n", "", 0, false,
         "model.obj has no faces to draw"},
        {"index zero", square + "f 0 1 2\n", "", 2, true, "model.obj:7"},
        {"index past the end", square + "f 1 2 5\n", "", 2, true, "model.obj:7"},
        {"negative index before the start", square + "f 1 2 -5\n", "", 2, true, "model.obj:7"},
        {"huge index", square + "f 1 2 4294967299\n", "", 2, true, "model.obj:7"},
        {"texture and normal indices out of range", "vt 0 0\nvn 0 0 1\n" + square + "f 1/2/1 2/1/1 3/1/1\n", "", 2,
         true, "model.obj:9"},
        // Left out when the mesh is built: their bounds would be NaN or infinite.
        {"NaN, infinite and huge coordinates",
         square + "v nan 0 0\nv inf inf 0\nv 1e39 -1e39 0\nv -inf 0 nan\n"
                  "v 0 2e18 0\nf 5 6 7\nf 1 5 2\nf 6 7 8\nf 3 8 4\nf 1 2 6\n"
                  "f 1 2 9\nv 0 1e18 0\nf 1 2 10\n",
         "", 3, true, "model.obj: 6 triangles with a corner that is not finite or beyond 1e18 left out"},
        {"degenerate triangles",
         square + "v 0 0 0\nv 0.5 0.5 0\n"
                  "f 1 1 2\nf 1 3 3\nf 1 5 3\nf 5 6 3\nf 2 2 2\nf 1 6 5\n",
         "", 8, true, ""},
        {"missing library", "mtllib gone.mtl\nusemtl red\n" + square, "", 2, true,
         "cannot open material library ./gone.mtl"},
        {"library that is a folder", "mtllib folder.mtl\nusemtl red\n" + square, "", 2, true, ""},
        {"unknown material", "mtllib lib.mtl\nusemtl blue\n" + square, "newmtl red\nKd 1 0 0\n", 2, true, ""},
    };
    ScratchWorkDir dir;
    ASSERT_EQ(mkdir("folder.mtl", 0700), 0);
    for (const Case& c : cases) {
        writeFile("model.obj", c.model);
        writeFile("lib.mtl", c.library);
        vyxMesh mesh;
        std::memset(&mesh, 0, sizeof(mesh));
        CapturedOutput output = capture([&] { vyxLoadMeshFromObj("model.obj", mesh); });
        if (c.triangles >= 0) {
            EXPECT_EQ(mesh.triangleCount, c.triangles) << c.name;
        }
        EXPECT_GE(mesh.triangleCount, 0) << c.name;
        ASSERT_NE(mesh.bih, nullptr) << c.name;
        if (*c.message) {
            EXPECT_NE((output.err + output.out).find(c.message), std::string::npos)
                << c.name << ": " << output.err << output.out;
        }
        for (int32_t t = 0; t < mesh.triangleCount; ++t) {
            vyxMaterial* material = vyxShadingOf(mesh, t).material;
            ASSERT_TRUE(material >= mesh.materials && material < mesh.materials + mesh.materialCount)
                << c.name << " triangle " << t;
        }
        expectSquareTraces(mesh, c.squarePresent, c.name);
        vyxFreeMesh(mesh);
    }
}

TEST(BadModelFiles, MillionIdenticalTriangles) {
    // Every triangle lies on the same spot: the hierarchy cannot separate them, so its
    // build must halve the list instead of recursing without end, and stay shallow
    // enough for the traversal's fixed stack.
    const int count = VYX_ROBUSTNESS_SANITIZED ? 200000 : 1000000;
    ScratchWorkDir dir;
    {
        std::string text = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
        text.reserve(text.size() + 8u * count);
        for (int i = 0; i < count; ++i)
            text += "f 1 2 3\n";
        writeFile("same.obj", text);
    }
    vyxMesh mesh;
    std::memset(&mesh, 0, sizeof(mesh));
    CapturedOutput output = capture([&] { vyxLoadMeshFromObj("same.obj", mesh); });
    ASSERT_EQ(mesh.triangleCount, count) << output.err;
    ASSERT_NE(mesh.bih, nullptr);
    vyxTransformPrepare(mesh.transform);
    vyxTraceResult hit = vyxTraceMesh(mesh, {0.25f, 0.25f, 5}, {0, 0, -1}, -1.0f);
    EXPECT_FLOAT_EQ(hit.t, 5.0f);
    EXPECT_GE(hit.triangle, 0);
    EXPECT_LT(hit.triangle, count);
    EXPECT_NEAR(hit.w1, 0.25f, 1e-6f);
    EXPECT_NEAR(hit.w2, 0.25f, 1e-6f);
    EXPECT_LT(vyxTraceMesh(mesh, {0.75f, 0.75f, 5}, {0, 0, -1}, -1.0f).t, 0.0f);
    EXPECT_LT(vyxTraceMesh(mesh, {0.25f, 0.25f, 5}, {0, 0, 1}, -1.0f).t, 0.0f);
    // A few hundred bytes per triangle: the file's faces, the triangles, their shading
    // and the hierarchy's nodes.
    if (!VYX_ROBUSTNESS_SANITIZED) {
        EXPECT_LT(peakResidentMiB(), 1024) << "peak resident memory for " << count << " triangles";
    }
    vyxFreeMesh(mesh);
}

TEST(BadModelFiles, HundredMegabyteLines) {
    // One comment line and one library name of 100 MB, and a material library with a
    // line as long: the square before and after still loads.
    const size_t length = VYX_ROBUSTNESS_SANITIZED ? 10u << 20 : 100u << 20;
    ScratchWorkDir dir;
    {
        std::string longText(length, 'x');
        writeFile("long.obj", "mtllib lib.mtl\nv -1 -1 0\nv 1 -1 0\n# " + longText + "\nmtllib " + longText +
                                  "\nv 1 1 0\nv -1 1 0\nusemtl red\nf 1 2 3\nf 1 3 4\n");
        writeFile("lib.mtl", "newmtl " + longText + "\nKd 0 0 1\nnewmtl red\nKd 1 0 0\n");
    }
    vyxMesh mesh;
    std::memset(&mesh, 0, sizeof(mesh));
    CapturedOutput output = capture([&] { vyxLoadMeshFromObj("long.obj", mesh); });
    ASSERT_EQ(mesh.triangleCount, 2) << output.err;
    EXPECT_NE(output.out.find("Unable to open file."), std::string::npos) << "the 100 MB library name";
    ASSERT_NE(vyxShadingOf(mesh, 0).material, nullptr);
    EXPECT_EQ(vyxShadingOf(mesh, 0).material->color[0], 1.0f) << "material red from the library";
    EXPECT_EQ(vyxShadingOf(mesh, 0).material->color[2], 0.0f);
    expectSquareTraces(mesh, true, "100 MB lines");
    vyxFreeMesh(mesh);
}

TEST(BadModelFiles, TextureCoordinatesOfNaNAndHugeValuesShade) {
    // The texture lookup turns coordinates into texel indices: a NaN or 1e9 must land on
    // some texel without an out-of-range float-to-integer conversion.
    ScratchWorkDir dir;
    writeFile("uv.obj", "mtllib uv.mtl\nusemtl tex\n"
                        "vt nan nan\nvt 1e9 -1e9\nvt inf -inf\nvt 3e38 1e30\nvt 0.5 0.5\n" +
                            std::string("v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\n") + "f 1/1 2/2 3/3\nf 1/4 3/5 4/1\n");
    writeFile("uv.mtl", "newmtl tex\nKd 1 1 1\nmap_Kd texture.png\n");
    vyxMesh mesh;
    std::memset(&mesh, 0, sizeof(mesh));
    capture([&] { vyxLoadMeshFromObj("uv.obj", mesh); });
    ASSERT_EQ(mesh.triangleCount, 2);
    // A 2 x 2 texture of grey levels 0.2 .. 0.8, bilinear and repeating, then nearest.
    uint8_t texels[16] = {51, 51, 51, 255, 102, 102, 102, 255, 153, 153, 153, 255, 204, 204, 204, 255};
    vyxTexture texture;
    vyxMakeTexture(texture, 2, 2, texels, 4, StorageBytes, FilterBilinear, WrapRepeat, WrapRepeat);
    for (int32_t m = 0; m < mesh.materialCount; ++m)
        mesh.materials[m].texture = &texture;

    vyxLight sun = vyxZeroLight();
    sun.kind = LightDirectional;
    sun.direction = {0.1f, 0.2f, -1.0f};
    sun.colour = {1, 1, 1};
    vyxUpdateLight(sun);
    vyxScene scene;
    vyxSceneInit(scene);
    vyxSceneAddMesh(scene, &mesh);
    vyxSceneAddLight(scene, &sun);
    vyxTransformPrepare(mesh.transform);
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    for (uint8_t filter : {FilterBilinear, FilterNearest})
        for (uint8_t wrap : {WrapRepeat, WrapClamp}) {
            texture.filter = filter;
            texture.wrapU = texture.wrapV = wrap;
            for (float x : {-0.9f, -0.3f, 0.1f, 0.6f})
                for (float y : {-0.7f, 0.0f, 0.4f, 0.9f}) {
                    vyxVec3 colour = vyxShade(scene, {x, y, 3}, {0, 0, -1}, 4, settings);
                    // Lit from (nearly) straight above: the texel's grey times the cosine.
                    EXPECT_TRUE(std::isfinite(colour.x) && colour.x <= 0.81f && colour.x >= 0.0f)
                        << x << ", " << y << ": " << colour.x;
                }
        }
    vyxSceneFree(scene);
    for (int32_t m = 0; m < mesh.materialCount; ++m)
        mesh.materials[m].texture = nullptr;
    vyxFreeMesh(mesh);
}

TEST(BadModelFiles, EveryTruncatedPrefixLoads) {
    // A model using every kind of face corner and a library using every property, cut
    // after each byte: the mesh never holds more than the whole files give, and its
    // hits name its own triangles.
    const std::string model = "mtllib lib.mtl\no thing\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\n"
                              "vt 1 1\nvn 0 0 1\ng first\nusemtl red\nf 1/1/1 2/2/1 3/3/1 4/1/1\n"
                              "g second\nusemtl glass\nf -4//1 -3//1 -2//1\nf 1 2 3\n";
    const std::string library = "newmtl red\nKd 1 0 0\nKs 0.5 0.5 0.5\nNs 20\nillum 2\n"
                                "newmtl glass\nKd 0.2 0.3 0.4\nd 0.5\nTr 0.5\nmap_Kd glass.png\nillum 9\n";
    ScratchWorkDir dir;
    writeFile("lib.mtl", library);
    writeFile("model.obj", model);
    vyxMesh whole;
    std::memset(&whole, 0, sizeof(whole));
    capture([&] { vyxLoadMeshFromObj("model.obj", whole); });
    ASSERT_EQ(whole.triangleCount, 4);
    ASSERT_EQ(whole.materialCount, 2);
    vyxFreeMesh(whole);
    for (int file = 0; file < 2; ++file) {
        const std::string& text = file == 0 ? model : library;
        for (size_t length = 0; length < text.size(); ++length) {
            writeFile(file == 0 ? "model.obj" : "lib.mtl", text.substr(0, length));
            vyxMesh mesh;
            std::memset(&mesh, 0, sizeof(mesh));
            capture([&] { vyxLoadMeshFromObj("model.obj", mesh); });
            std::string where = (file == 0 ? "model cut at " : "library cut at ") + std::to_string(length);
            EXPECT_LE(mesh.triangleCount, 4) << where;
            EXPECT_LE(mesh.materialCount, 2 + 1) << where << " (the two, or a default one)";
            if (file == 1) {
                EXPECT_EQ(mesh.triangleCount, 4) << where << ": the model is whole";
            }
            expectSquareTraces(mesh, false, where);
            vyxFreeMesh(mesh);
        }
        writeFile(file == 0 ? "model.obj" : "lib.mtl", text);
    }
}
