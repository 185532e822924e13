#include "scenefiles/mtl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "scenefiles/obj.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"

namespace {

// Reads libraries from text in memory as "one.mtl" with textures in the folder "maps",
// capturing what the reader prints.
class MtlText : public testing::Test {
protected:
    void load(vyxObjModel& model, const std::string& text) {
        CapturedOutput output =
            capture([&] { vyxLoadMtlFromText(model, text.data(), text.size(), "one.mtl", "maps"); });
        out = output.out;
        err = output.err;
    }

    // Reads one library with a single material and maps it.
    vyxMaterial mapOne(const std::string& body) {
        vyxObjModel model;
        load(model, "newmtl m\n" + body);
        EXPECT_EQ(model.materials.size(), 1u) << body;
        if (model.materials.size() != 1) {
            return vyxDefaultMaterial();
        }
        return vyxMaterialFromMtl(model.materials[0]);
    }

    std::string out;
    std::string err;
};

// The same for files in a scratch folder, read with vyxLoadMtl.
class MtlFiles : public MtlText {
protected:
    void loadFile(vyxObjModel& model, const std::string& path) {
        CapturedOutput output = capture([&] { vyxLoadMtl(model, path.c_str()); });
        out = output.out;
        err = output.err;
    }

    ScratchDir dir;
};

} // namespace

TEST(Material, Defaults) {
    vyxMaterial m = vyxDefaultMaterial();
    EXPECT_EQ(m.color[0], 0.8f);
    EXPECT_EQ(m.color[1], 0.8f);
    EXPECT_EQ(m.color[2], 0.8f);
    EXPECT_EQ(m.alpha, 1.0f);
    EXPECT_EQ(m.texture, nullptr);
    EXPECT_EQ(m.textureFile, nullptr);
    EXPECT_EQ(m.specular, 0.0f);
    EXPECT_EQ(m.reflectivity, 0.0f);
    EXPECT_EQ(m.tintedReflectivity, 0.0f);
    EXPECT_EQ(m.fresnel, 0.0f);
    EXPECT_EQ(m.unlit, 0);
    EXPECT_EQ(m.castsShadows, 1);
    vyxFreeMaterial(m); // safe without a texture file
    EXPECT_EQ(m.textureFile, nullptr);
}

TEST_F(MtlText, MappingOfEachProperty) {
    struct Case {
        const char* body;
        float color[3];
        float alpha, specular, reflectivity, fresnel;
        uint8_t unlit;
    };
    const float rootOf126 = std::sqrt(1.26f);
    const Case cases[] = {
        {"Kd 1 0 0\n", {1, 0, 0}, 1, 0, 0, 0, 0},
        {"Ks 0.3 0.6 0.9\nillum 3\n", {0, 0, 0}, 1, rootOf126, 0.6f, 0, 0},
        {"Ks 0.3 0.6 0.9\nillum 3\nillum 2\n", {0, 0, 0}, 1, rootOf126, 0, 0, 0},
        {"illum 3\nKs 0.3 0.6 0.9\n", {0, 0, 0}, 1, rootOf126, 0, 0, 0}, // averages the ks of that moment
        {"Ks 0.3 0.6 0.9\nillum 3\nillum 0\n", {0, 0, 0}, 1, rootOf126, 0.6f, 0, 1},
        {"illum 0\nillum 1\n", {0, 0, 0}, 1, 0, 0, 0, 1}, // nothing makes it lit again
        {"illum 3.5\n", {0, 0, 0}, 1, 0, 0, 0, 0},
        {"d 0.25\nFt 0.5\nKs 0 3 4\n", {0, 0, 0}, 0.25f, 5, 0, 0.5f, 0},
        {"Kd 0.5\n", {0.5f, 0.5f, 0.5f}, 1, 0, 0, 0, 0},                           // one number is a grey
        {"Kd 0.1 0.2 0.3\nKd\nd\nFt\nillum\n", {0.1f, 0.2f, 0.3f}, 1, 0, 0, 0, 0}, // no numbers: unchanged
        {"kd 1 1 1\nKD 1 1 1\n# Kd 1 1 1\n", {0, 0, 0}, 1, 0, 0, 0, 0},            // keywords are case-sensitive
    };
    for (const Case& c : cases) {
        vyxMaterial m = mapOne(c.body);
        for (int i = 0; i < 3; ++i) {
            EXPECT_FLOAT_EQ(m.color[i], c.color[i]) << c.body;
        }
        EXPECT_FLOAT_EQ(m.alpha, c.alpha) << c.body;
        EXPECT_FLOAT_EQ(m.specular, c.specular) << c.body;
        EXPECT_FLOAT_EQ(m.reflectivity, c.reflectivity) << c.body;
        EXPECT_FLOAT_EQ(m.fresnel, c.fresnel) << c.body;
        EXPECT_EQ(m.unlit, c.unlit) << c.body;
        EXPECT_EQ(m.textureFile, nullptr) << c.body;
        EXPECT_EQ(m.texture, nullptr) << c.body;
        EXPECT_EQ(m.tintedReflectivity, 0.0f) << c.body;
        EXPECT_EQ(m.castsShadows, 1) << c.body;
        vyxFreeMaterial(m);
    }
}

// The texture path is the rest of the line after the options, found from the library's
// folder, with Windows separators taken as folder separators; an owned copy.
TEST_F(MtlText, TextureNamesOptionsAndFolders) {
    const std::string longName = std::string(1500, 't') + ".png";
    struct Case {
        std::string line; // after "map_Kd "
        std::string path; // expected textureFile after the library's folder; "-" = none
    };
    const Case cases[] = {
        {"stone.png", "stone.png"},
        {longName, longName},
        {"name with spaces.png  \t", "name with spaces.png"},
        {"-s 1 1 1 -o 0 0 0 -clamp on -bm 2 tex 01.png", "tex 01.png"},
        {"-s 2 -mm 0 1 -blendu off -imfchan l a.png", "a.png"}, // -s with one number
        {"-o 0.5 -cc on -texres 512 -boost 2 -t 1 1 b.png", "b.png"},
        {".\\wal67ar_small.jpg", "./wal67ar_small.jpg"},
        {"textures\\wood.png # a comment", "textures/wood.png"},
        {"../maps/wood.png", "../maps/wood.png"},
        {"-clamp on", "-"},
    };
    for (const Case& c : cases) {
        vyxObjModel model;
        load(model, "newmtl t\nmap_Kd " + c.line + "\n");
        ASSERT_EQ(model.materials.size(), 1u);
        vyxMaterial m = vyxMaterialFromMtl(model.materials[0]);
        if (c.path == "-") {
            EXPECT_EQ(m.textureFile, nullptr) << c.line;
            continue;
        }
        model.materials[0].mapKd.assign(c.path.size(), 'x'); // the copy must not share storage
        ASSERT_NE(m.textureFile, nullptr) << c.line;
        EXPECT_EQ(std::string(m.textureFile), "maps/" + c.path) << c.line;
        vyxFreeMaterial(m);
        EXPECT_EQ(m.textureFile, nullptr);
        vyxFreeMaterial(m); // a second release is harmless
    }
    vyxMtlMaterial absolute;
    absolute.hasMapKd = 1;
    absolute.folder = "maps/";
    absolute.mapKd = "/textures\\x.png";
    vyxMaterial m = vyxMaterialFromMtl(absolute);
    EXPECT_STREQ(m.textureFile, "/textures/x.png") << "an absolute name is used as it is";
    vyxFreeMaterial(m);
}

TEST_F(MtlText, PropertiesBeforeTheFirstMaterialAreIgnored) {
    vyxObjModel model;
    load(model, "Kd 1 0 0\nillum 0\nmap_Kd stray.png\n");
    EXPECT_TRUE(model.materials.empty());

    // They must not reach the last material of an earlier library either.
    load(model, "newmtl kept\nKd 0 1 0\n");
    load(model, "Kd 1 0 0\nd 0.5\nillum 0\nnewmtl next\n");
    ASSERT_EQ(model.materials.size(), 2u);
    EXPECT_EQ(model.materials[0].kd[0], 0.0f);
    EXPECT_EQ(model.materials[0].kd[1], 1.0f);
    EXPECT_EQ(model.materials[0].dissolve, 1.0f);
    EXPECT_EQ(model.materials[0].lit, 1);
    EXPECT_EQ(model.materials[1].name, "next");
    EXPECT_EQ(model.materials[1].kd[0], 0.0f);
}

TEST_F(MtlFiles, LibrariesAppendAndKeepDuplicateNames) {
    vyxObjModel model;
    std::string first = dir.write("a.mtl", "newmtl x\nKd 1 0 0\nnewmtl y\nKd 0 1 0\n");
    std::string second = dir.write("b.mtl", "newmtl x\r\nKd 0 0 1\r\nnewmtl\r\nKd 0.5 0.5 0.5");
    loadFile(model, first);
    EXPECT_EQ(out, "Opened file " + first + "\n");
    loadFile(model, second);
    EXPECT_EQ(out, "Opened file " + second + "\n");
    ASSERT_EQ(model.materials.size(), 4u);
    EXPECT_EQ(model.materials[0].folder, dir.path() + "/") << "textures are found beside the library";
    const char* names[] = {"x", "y", "x", ""};
    const float blue[] = {0, 0, 1, 0.5f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(model.materials[i].name, names[i]) << i;
        EXPECT_EQ(model.materials[i].kd[2], blue[i]) << i;
    }
    EXPECT_EQ(model.materials[3].kd[0], 0.5f) << "the last line, without a line feed, is read";
}

TEST_F(MtlFiles, LibraryThatCannotBeOpened) {
    vyxObjModel model;
    loadFile(model, dir.file("missing.mtl"));
    EXPECT_EQ(out, "Unable to open file.\n");
    EXPECT_TRUE(model.materials.empty());
    EXPECT_NE(err.find("missing.mtl"), std::string::npos) << err;
    loadFile(model, dir.path());
    EXPECT_TRUE(model.materials.empty()) << "a folder yields nothing";
    EXPECT_NE(err.find(dir.path()), std::string::npos) << err;
}

// Numbers the shading cannot use leave the property as it was; colours are kept in
// [0, 1000] and opacity in [0, 1], so no surface adds negative light behind it. Each is
// warned of with file, line and value. Any white space separates, and a backslash at
// the end of a line continues it.
TEST_F(MtlText, UnusableNumbersOutOfRangeValuesAndSeparators) {
    struct Case {
        const char* body;
        float r, g, b, alpha;
        std::vector<std::string> messages; // each on one line of stderr, after "one.mtl:"
    } cases[] = {
        {"Kd 0.2 0.3 0.4\nKd nan 1 1\n", 0.2f, 0.3f, 0.4f, 1.0f, {"3: Kd value nan"}},
        {"Kd 0.2 0.3 0.4\nKd 1 inf 1\n", 0.2f, 0.3f, 0.4f, 1.0f, {"3: Kd value inf"}},
        {"Kd 0.2 0.3 0.4\nKd 1 1 -inf\n", 0.2f, 0.3f, 0.4f, 1.0f, {"3: Kd value -inf"}},
        {"d 0.5\nd nan\n", 0.0f, 0.0f, 0.0f, 0.5f, {"3: d value nan"}},
        {"d 5\n", 0.0f, 0.0f, 0.0f, 1.0f, {"2: d value 5 "}},
        {"d -1\n", 0.0f, 0.0f, 0.0f, 0.0f, {"2: d value -1 "}},
        {"Kd -0.5 0.2 2000\n", 0.0f, 0.2f, 1000.0f, 1.0f, {"2: Kd value -0.5 ", "2: Kd value 2000 "}},
        {"Kd 1e30\n", 1000.0f, 1000.0f, 1000.0f, 1.0f, {"2: Kd value 1e+30 "}},
        {"Kd\v0.1\f0.2\t0.3\n", 0.1f, 0.2f, 0.3f, 1.0f, {}},
        {"Kd 0.1 \\\n0.2 0.3\nd 0.5\n", 0.1f, 0.2f, 0.3f, 0.5f, {}},
    };
    for (const Case& c : cases) {
        vyxMaterial m = mapOne(c.body);
        EXPECT_EQ(m.color[0], c.r) << c.body;
        EXPECT_EQ(m.color[1], c.g) << c.body;
        EXPECT_EQ(m.color[2], c.b) << c.body;
        EXPECT_EQ(m.alpha, c.alpha) << c.body;
        for (const std::string& message : c.messages) {
            EXPECT_NE(err.find("one.mtl:" + message), std::string::npos) << c.body << ": " << err;
        }
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), static_cast<long>(c.messages.size()))
            << c.body << ": " << err;
        vyxFreeMaterial(m);
    }
}

// Text from memory: read exactly to size (an exactly sized copy, so the address sanitizer
// sees any read past it), nothing at all, no display name, no folder.
TEST_F(MtlText, TextFromMemoryEdges) {
    const std::string whole = "newmtl cut\nKd 0.5 0.5 0.25";
    const std::vector<char> bytes(whole.begin(), whole.end() - 1);
    vyxObjModel model;
    vyxLoadMtlFromText(model, bytes.data(), bytes.size(), "cut.mtl", nullptr);
    ASSERT_EQ(model.materials.size(), 1u);
    EXPECT_EQ(model.materials[0].kd[2], 0.2f) << "the byte after size is not read";
    EXPECT_EQ(model.materials[0].folder, "./");

    CapturedOutput output = capture([&] { vyxLoadMtlFromText(model, nullptr, 0, "empty.mtl", "maps"); });
    EXPECT_EQ(model.materials.size(), 1u);
    EXPECT_EQ(output.out + output.err, "");

    output = capture([&] { vyxLoadMtlFromText(model, "newmtl n\nd 7", 12, nullptr, "maps/"); });
    ASSERT_EQ(model.materials.size(), 2u);
    EXPECT_EQ(model.materials[1].folder, "maps/");
    EXPECT_EQ(output.err.rfind("vyx: (no name):2: d value 7", 0), 0u) << output.err;
}
