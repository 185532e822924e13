// Models of every format through vyxLoadModelFile: Debian's sample files and files the
// tests write, checked against what the files say and, for glTF, against a second reader;
// and files that break the import helper, which must end in one line naming the problem.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiny_gltf.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/image.h"
#include "app/model_file.h"
#include "scenefiles/import_stream.h"
#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"
#include "util/large_alloc.h"

namespace {

const std::string kSamples = "/usr/share/assimp/models/";

// The program's run of the helper built with the tests, without the progress line, and
// with ample time: the size-derived limit of a few seconds could pass on a loaded machine.
vyxImportHelperRun testRun() {
    vyxImportHelperRun run = vyxDefaultImportHelperRun();
    run.helperPath = VYX_IMPORT_HELPER;
    run.progress = false;
    run.secondsLimit = 300;
    return run;
}

struct Box {
    float low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
};

// Triangle count and bounds of a glTF file as tinygltf reads it: every triangle
// primitive of every node of the default scene, carried through the node matrices.
bool referenceGltf(const std::string& path, long& triangles, Box& box) {
    tinygltf::Model model;
    tinygltf::TinyGLTF reader;
    std::string error, warning;
    const bool binary = path.compare(path.size() - 4, 4, ".glb") == 0;
    if (!(binary ? reader.LoadBinaryFromFile(&model, &error, &warning, path)
                 : reader.LoadASCIIFromFile(&model, &error, &warning, path)))
        return false;
    triangles = 0;
    std::vector<std::pair<int, std::vector<double>>> stack;
    for (int node : model.scenes[static_cast<size_t>(std::max(model.defaultScene, 0))].nodes)
        stack.push_back({node, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}});
    while (!stack.empty()) {
        auto [index, parent] = stack.back();
        stack.pop_back();
        const tinygltf::Node& node = model.nodes[static_cast<size_t>(index)];
        // Column-major, as glTF stores it: local from the matrix, or translation and scale
        // (the test files rotate nothing).
        std::vector<double> local = node.matrix;
        if (local.empty()) {
            local = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            for (size_t k = 0; k < node.scale.size(); ++k)
                local[5 * k] = node.scale[k];
            for (size_t k = 0; k < node.translation.size(); ++k)
                local[12 + k] = node.translation[k];
        }
        std::vector<double> world(16, 0.0);
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                for (int k = 0; k < 4; ++k)
                    world[4 * c + r] += parent[4 * k + r] * local[4 * c + k];
        for (int child : node.children)
            stack.push_back({child, world});
        if (node.mesh < 0)
            continue;
        for (const tinygltf::Primitive& primitive : model.meshes[static_cast<size_t>(node.mesh)].primitives) {
            if (primitive.mode != TINYGLTF_MODE_TRIANGLES)
                continue;
            const tinygltf::Accessor& positions =
                model.accessors[static_cast<size_t>(primitive.attributes.at("POSITION"))];
            const long corners = primitive.indices >= 0
                                     ? static_cast<long>(model.accessors[static_cast<size_t>(primitive.indices)].count)
                                     : static_cast<long>(positions.count);
            triangles += corners / 3;
            const tinygltf::BufferView& view = model.bufferViews[static_cast<size_t>(positions.bufferView)];
            const size_t stride = view.byteStride ? view.byteStride : 12;
            const unsigned char* data =
                &model.buffers[static_cast<size_t>(view.buffer)].data[view.byteOffset + positions.byteOffset];
            for (size_t v = 0; v < positions.count; ++v) {
                float p[3];
                std::memcpy(p, data + v * stride, sizeof p);
                for (int r = 0; r < 3; ++r) {
                    float x =
                        static_cast<float>(world[r] * p[0] + world[4 + r] * p[1] + world[8 + r] * p[2] + world[12 + r]);
                    box.low[r] = std::fmin(box.low[r], x);
                    box.high[r] = std::fmax(box.high[r], x);
                }
            }
        }
    }
    return true;
}

// A glTF file with its buffer beside it: one triangle (0,0,0), (1,0,0), (0,1,0) as mesh 0
// with the given material, and the nodes given (JSON array text) of which node 0 is the
// scene's root.
std::string writeGltf(const ScratchDir& dir, const std::string& name, const std::string& material,
                      const std::string& nodes) {
    const float corners[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    dir.write(name + ".bin", std::string(reinterpret_cast<const char*>(corners), sizeof corners));
    return dir.write(name + ".gltf",
                     "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":" + nodes +
                         ",\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0},\"material\":0}]}],"
                         "\"materials\":[" +
                         material + "],\"buffers\":[{\"uri\":\"" + name +
                         ".bin\",\"byteLength\":36}],\"bufferViews\":[{\"buffer\":0,\"byteLength\":36}],"
                         "\"accessors\":[{\"bufferView\":0,\"componentType\":5126,\"count\":3,\"type\":\"VEC3\","
                         "\"min\":[0,0,0],\"max\":[1,1,0]}]}");
}

} // namespace

// One file per format: the triangle count and bounds the file gives (for glTF those a
// second reader finds), and the colour of its first material (-1: none in the file).
TEST(ModelFile, EveryFormatMatchesTheFile) {
    SdlSession sdl;
    ScratchDir dir;
    const std::string twoNodes = writeGltf(
        dir, "two-nodes", "{\"pbrMetallicRoughness\":{\"baseColorFactor\":[0.2,0.4,0.6,0.5]},\"alphaMode\":\"BLEND\"}",
        "[{\"children\":[1,2]},{\"mesh\":0},{\"mesh\":0,\"translation\":[5,0,-2],\"scale\":[1,3,1]}]");
    const std::string cutOut =
        writeGltf(dir, "cut-out", "{\"pbrMetallicRoughness\":{\"baseColorFactor\":[1,0,0,0.3]},\"alphaMode\":\"MASK\"}",
                  "[{\"mesh\":0}]");
    struct Case {
        std::string path;
        int triangles;
        Box bounds;          // unused for glTF: the reference reader gives them
        float colour[4];     // first material's colour and opacity; colour[0] -1 = not checked
        std::string texture; // an image file showing the material's texture; "embedded": one the file holds
    };
    const std::string box = kSamples + "glTF2/BoxTextured-glTF/";
    const Case cases[] = {
        {twoNodes, 2, {}, {0.2f, 0.4f, 0.6f, 0.5f}, ""},
        // OBJ text whatever the name: the program's own reader.
        {dir.write("square.txt", "v 0 0 0\nv 2 0 0\nv 2 3 0\nv 0 3 1\nf 1 2 3 4\n"),
         2,
         {{0, 0, 0}, {2, 3, 1}},
         {-1},
         ""},
        {cutOut, 1, {}, {1, 0, 0, 0}, ""},
        {box + "BoxTextured.gltf", 12, {}, {-1}, box + "CesiumLogoFlat.png"},
        {kSamples + "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", 12, {}, {-1}, box + "CesiumLogoFlat.png"},
        {kSamples + "PLY/cube.ply", 12, {{0, 0, 0}, {1, 1, 1}}, {-1}, ""},
        {kSamples + "STL/triangle.stl", 1, {{-1, -1, 0}, {1, 1, 0}}, {-1}, ""},
        // Written in the file's world frame, Z up, with its texture named TEST.PNG beside
        // test.png; turned to Y up (y = z, z = -y).
        {kSamples + "3DS/cube_with_diffuse_texture.3DS",
         12,
         {{-50.0f, -30.540165f, -82.617737f}, {0.0000077f, 19.459839f, -32.617729f}},
         {150 / 255.0f, 150 / 255.0f, 150 / 255.0f, 1},
         kSamples + "3DS/test.png"},
        // Corners at +-23.622 and 0 to 47.244 inches, scaled by 0.0254 ("Lcl Scaling");
        // its image is embedded in the file.
        {kSamples + "FBX/embedded_ascii/box.FBX",
         12,
         {{-0.6f, -0.6f, 0}, {0.6f, 0.6f, 1.2f}},
         {0.588235f, 0.588235f, 0.588235f, 1},
         "embedded"},
        // Corners at +-50 in centimetres (unit meter 0.01).
        {kSamples + "Collada/cube_triangulate.dae",
         12,
         {{-0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, 0.5f}},
         {0.137255f, 0.403922f, 0.870588f, 1},
         ""},
    };
    const vyxImportHelperRun run = testRun();
    for (const Case& c : cases) {
        vyxMesh mesh;
        std::string why;
        CapturedOutput output = capture([&] { ASSERT_TRUE(vyxLoadModelFile(c.path.c_str(), run, mesh, why)) << why; });
        ASSERT_EQ(mesh.triangleCount, c.triangles) << c.path << output.err;
        Box expected = c.bounds;
        if (c.path.find(".gl") != std::string::npos) {
            long triangles = 0;
            ASSERT_TRUE(referenceGltf(c.path, triangles, expected)) << c.path;
            EXPECT_EQ(triangles, c.triangles) << c.path;
        }
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(mesh.bih->boundsMin[k], expected.low[k], 1e-4f) << c.path << " axis " << k;
            EXPECT_NEAR(mesh.bih->boundsMax[k], expected.high[k], 1e-4f) << c.path << " axis " << k;
        }
        const vyxMaterial& material = *vyxShadingOf(mesh, 0).material;
        for (int k = 0; k < 4 && c.colour[0] >= 0; ++k)
            EXPECT_NEAR(k < 3 ? material.color[k] : material.alpha, c.colour[k], 1e-5f) << c.path << " channel " << k;
        if (c.texture == "embedded") {
            ASSERT_NE(material.texture, nullptr) << c.path << output.err;
            std::free(material.texture->data);
            delete material.texture;
        } else if (!c.texture.empty()) {
            vyxTexture reference;
            ASSERT_TRUE(vyxLoadImageTexture(c.texture.c_str(), reference, FilterBilinear));
            ASSERT_NE(material.texture, nullptr) << c.path << output.err;
            EXPECT_EQ(material.texture->width, reference.width) << c.path;
            EXPECT_EQ(std::memcmp(material.texture->data, reference.data,
                                  static_cast<size_t>(reference.width) * reference.height * 4),
                      0)
                << c.path << ": texels";
            std::free(reference.data);
            std::free(material.texture->data);
            delete material.texture;
        }
        vyxFreeMesh(mesh);
    }
}

// Files that make the import helper crash, hang or run out of memory, files that are no
// models, and helpers that misbehave: each gives one line saying what happened and an
// empty mesh. Only the file that hangs meets the time limit, whatever the machine's load:
// the others have ample time to fail by themselves.
TEST(ModelFile, BrokenFilesAndHelpersEndInOneLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators end the helper on a request they cannot meet, where the
    // plain one throws.
    const std::string outOfMemory = "the importer crashed (aborted";
#else
    const std::string outOfMemory = "the model needs more memory than the import may use";
#endif
    SdlSession sdl;
    ScratchDir dir;
    const std::string ply = kSamples + "PLY/cube_binary.ply", wuson = readFile(kSamples + "PLY/Wuson.ply");
    std::string chain = "[";
    for (int i = 0; i < 30000; ++i)
        chain += "{\"children\":[" + std::to_string(i + 1) + "]},";
    chain += "{\"mesh\":0}]";
    ASSERT_EQ(mkfifo(dir.file("fifo.obj").c_str(), 0600), 0);
    // A sparse file larger than half the memory.
    dir.write("huge.glb", "");
    ASSERT_EQ(truncate(dir.file("huge.glb").c_str(), static_cast<off_t>(vyxPhysicalMemoryBytes() / 2 + 1)), 0);
    // A helper that sends bytes of the test's choosing.
    auto fakeHelper = [&dir](const std::string& name, const std::string& bytes) {
        const std::string helper = dir.write(name + ".sh", "#!/bin/sh\nexec cat " + dir.write(name, bytes) + "\n");
        EXPECT_EQ(chmod(helper.c_str(), 0700), 0);
        return helper;
    };
    // A material, then a mesh of 3 vertices and 1 triangle (68 bytes: 20 of header, 36 of
    // corners, 12 of indices) whose last index is the given one.
    auto stream = [](uint32_t lastIndex, uint64_t meshLength) {
        std::string bytes(vyxImportMagic, sizeof vyxImportMagic);
        auto put = [&bytes](const void* data, size_t size) { bytes.append(static_cast<const char*>(data), size); };
        const uint32_t materialTag = ImportMaterial, meshTag = ImportMesh;
        const uint64_t materialLength = 52;
        const uint32_t material[13] = {0, 0, 0, 0, 0, 0, 0, ImportOpaque, 0, 0, 0xffffffff, 0, 0};
        const uint32_t mesh[5] = {0, 3, 1, 0, 0};
        const float corners[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        const uint32_t indices[3] = {0, 1, lastIndex};
        put(&materialTag, 4), put(&materialLength, 8), put(material, sizeof material);
        put(&meshTag, 4), put(&meshLength, 8), put(mesh, sizeof mesh), put(corners, sizeof corners);
        put(indices, sizeof indices);
        return bytes;
    };
    struct Case {
        std::string path, helper, expected;
        bool hangs = false; // the helper never ends on it
    };
    const Case cases[] = {
        {dir.write("cut44.ply", readFile(ply).substr(0, 44)), "", "the importer did not finish within 2 s (stopped)",
         true},
        {dir.write("cut446.ply", readFile(ply).substr(0, 446)), "", "aiMesh::mFaces[11]::mIndices[2] is out of range"},
        {dir.write("cut.ply", wuson.substr(0, 457877)), "", "the importer crashed (aborted: ai_assert failure in"},
        {writeGltf(dir, "deep", "{}", chain), "", "the importer crashed (segmentation fault"},
        {kSamples + "invalid/OutOfMemory.off", "", outOfMemory},
        {dir.write("cut.glb", readFile(kSamples + "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb").substr(0, 1000)), "",
         "the file looks damaged or cut short (it starts as binary glTF"},
        {"/dev/zero", "", "it is a character device, not a regular file"},
        {dir.file("fifo.obj"), "", "it is a FIFO, not a regular file"},
        {dir.file("huge.glb"), "", " GB, more than half the memory ("},
        {dir.write("image.obj", readFile(kSamples + "3DS/test.png")), "", "it is a PNG image, not a model"},
        {ply, fakeHelper("cut", stream(2, 68).substr(0, 80)),
         "the importer sent malformed data (a record running past the end of the data)"},
        {ply, fakeHelper("no-end", stream(2, 68)), "the importer sent malformed data (data cut short (no end record))"},
        {ply, fakeHelper("far-index", stream(3, 68)),
         "the importer sent malformed data (a triangle naming a vertex outside its mesh)"},
        {ply, fakeHelper("wrong-count", stream(2, 72) + "1234"),
         "the importer sent malformed data (a mesh record whose counts do not match its length)"},
        {ply, dir.file("missing-helper"), "cannot be started: No such file or directory"},
    };
    for (const Case& c : cases) {
        vyxImportHelperRun run = testRun();
        if (c.hangs)
            run.secondsLimit = 2;
        if (!c.helper.empty())
            run.helperPath = c.helper;
        vyxMesh mesh;
        std::string why;
        CapturedOutput output = capture([&] { EXPECT_FALSE(vyxLoadModelFile(c.path.c_str(), run, mesh, why)); });
        EXPECT_NE(why.find(c.expected), std::string::npos) << c.path << ": " << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << c.path;
        EXPECT_LT(why.size(), 400u) << c.path;
        EXPECT_EQ(mesh.triangleCount, 0) << c.path;
        EXPECT_EQ(mesh.triangles, nullptr) << c.path;
        EXPECT_EQ(output.err, "") << c.path;
    }
}

// --confine: a library, texture or buffer the model names outside its folder (by "..",
// an absolute name or a link) is refused with a line naming it; one inside, even through
// "..", is read. Without it every one of them is followed.
TEST(ModelFile, ConfinedModelsReadNothingOutsideTheirFolder) {
    SdlSession sdl;
    ScratchDir dir;
    const std::string png = readFile(kSamples + "3DS/test.png");
    const float corners[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const std::string triangle(reinterpret_cast<const char*>(corners), sizeof corners);
    const std::string outsidePng = dir.write("outside.png", png);
    dir.write("outside.bin", triangle);
    dir.write("outside.mtl", "newmtl red\nKd 1 0 0\nmap_Kd model/tex/in.png\n");
    dir.makeFolder("model");
    dir.makeFolder("model/mtl");
    dir.makeFolder("model/tex");
    dir.write("model/tex/in.png", png);
    dir.write("model/in.bin", triangle);
    ASSERT_EQ(symlink(outsidePng.c_str(), dir.file("model/link.png").c_str()), 0);
    auto obj = [&dir](const std::string& name, const std::string& library, const std::string& texture) {
        dir.write("model/" + name + ".mtl", "newmtl red\nKd 1 0 0\nmap_Kd " + texture + "\n");
        return dir.write("model/" + name + ".obj", "mtllib " + library +
                                                       "\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n"
                                                       "usemtl red\nf 1/1 2/1 3/1\n");
    };
    auto gltf = [&dir](const std::string& name, const std::string& buffer, const std::string& image) {
        return dir.write(
            "model/" + name + ".gltf",
            "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{"
            "\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0},\"material\":0}]}],"
            "\"materials\":[{\"pbrMetallicRoughness\":{\"baseColorFactor\":[1,0,0,1],\"baseColorTexture\":{\"index\":0}"
            "}}],"
            "\"textures\":[{\"source\":0}],\"images\":[{\"uri\":\"" +
                image + "\"}],\"buffers\":[{\"uri\":\"" + buffer +
                "\",\"byteLength\":36}],\"bufferViews\":[{\"buffer\":0,\"byteLength\":36}],"
                "\"accessors\":[{\"bufferView\":0,\"componentType\":5126,\"count\":3,\"type\":\"VEC3\","
                "\"min\":[0,0,0],\"max\":[1,1,0]}]}");
    };
    struct Case {
        std::string model, refused; // refused: the file a confined load names as outside; "" = none
        bool loads;                 // whether a confined load still gives the triangle
    };
    const Case cases[] = {
        {obj("library", "../outside.mtl", "tex/in.png"), dir.file("model/../outside.mtl"), true},
        {obj("texture", "texture.mtl", "../outside.png"), dir.file("model/../outside.png"), true},
        {obj("absolute", "absolute.mtl", outsidePng), outsidePng, true},
        {obj("link", "link.mtl", "link.png"), dir.file("model/link.png"), true},
        {obj("inside", "inside.mtl", "mtl/../tex/in.png"), "", true},
        {gltf("buffer", "../outside.bin", "tex/in.png"), dir.file("model/../outside.bin"), false},
        {gltf("image", "in.bin", "../outside.png"), dir.file("model/../outside.png"), true},
    };
    for (const Case& c : cases) {
        for (const bool confine : {false, true}) {
            vyxImportHelperRun run = testRun();
            run.confine = confine;
            vyxMesh mesh;
            std::string why;
            bool loaded = false;
            CapturedOutput output = capture([&] { loaded = vyxLoadModelFile(c.model.c_str(), run, mesh, why); });
            const bool refused = confine && !c.refused.empty();
            const std::string what = c.model + (confine ? " confined" : "") + ": " + why + output.err;
            const std::string refusal = c.refused + " lies outside the model's folder";
            ASSERT_EQ(loaded, !refused || c.loads) << what;
            if (!loaded) {
                EXPECT_NE(why.find(refusal + "; not read (--confine)"), std::string::npos) << what;
                continue;
            }
            EXPECT_EQ(output.err.find(refused ? refusal : " lies outside") != std::string::npos, refused) << what;
            EXPECT_EQ(mesh.triangleCount, 1) << what;
            // The library's colour (OBJ), and the texture: a file name for OBJ, the image for glTF.
            const vyxMaterial& material = *vyxShadingOf(mesh, 0).material;
            const bool libraryRead =
                c.model.find(".obj") == std::string::npos || !refused || c.refused.find(".mtl") == std::string::npos;
            EXPECT_EQ(material.color[1], libraryRead ? 0.0f : 0.8f) << what;
            EXPECT_EQ(material.textureFile != nullptr || material.texture != nullptr, !refused) << what;
            if (material.texture != nullptr) {
                std::free(material.texture->data);
                delete material.texture;
            }
            vyxFreeMesh(mesh);
        }
    }
}
