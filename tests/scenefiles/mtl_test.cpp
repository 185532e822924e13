#include "scenefiles/mtl.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "scenefiles/obj.h"

namespace {

class MtlFiles : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "vyx_mtl_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir = pattern;
    }

    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr) << path;
        if (file) {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fclose(file);
        }
        return path;
    }

    // Appends the library at path to model, capturing standard output in out.
    void load(vyxObjModel& model, const std::string& path) {
        testing::internal::CaptureStdout();
        vyxLoadMtl(model, path.c_str());
        out = testing::internal::GetCapturedStdout();
    }

    // Reads one library with a single material and maps it.
    vyxMaterial mapOne(const std::string& body) {
        vyxObjModel model;
        load(model, write("one.mtl", "newmtl m\n" + body));
        EXPECT_EQ(model.materials.size(), 1u) << body;
        if (model.materials.size() != 1) {
            return vyxDefaultMaterial();
        }
        return vyxMaterialFromMtl(model.materials[0]);
    }

    std::string dir;
    std::string out;
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
    vyxReleaseMaterial(m); // safe without a texture file
    EXPECT_EQ(m.textureFile, nullptr);
}

TEST_F(MtlFiles, MappingOfEachProperty) {
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
        {"kd 1 1 1\nKD 1 1 1\n# Kd 1 1 1\n", {0, 0, 0}, 1, 0, 0, 0, 0}, // keywords are case-sensitive
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
        vyxReleaseMaterial(m);
    }
}

TEST_F(MtlFiles, TextureFileIsAnOwnedCopy) {
    const std::string longName = std::string(1500, 't') + ".png";
    const std::string names[] = {"stone.png", longName};
    for (const std::string& name : names) {
        vyxObjModel model;
        load(model, write("tex.mtl", "newmtl t\nmap_Kd " + name + " extra words\n"));
        ASSERT_EQ(model.materials.size(), 1u);
        EXPECT_EQ(model.materials[0].hasMapKd, 1);
        vyxMaterial m = vyxMaterialFromMtl(model.materials[0]);
        model.materials[0].mapKd.assign(name.size(), 'x'); // the copy must not share storage
        ASSERT_NE(m.textureFile, nullptr);
        EXPECT_STREQ(m.textureFile, name.c_str()) << "a name is one token, cut at the first space";
        vyxReleaseMaterial(m);
        EXPECT_EQ(m.textureFile, nullptr);
        vyxReleaseMaterial(m); // a second release is harmless
    }
}

TEST_F(MtlFiles, PropertiesBeforeTheFirstMaterialAreIgnored) {
    vyxObjModel model;
    load(model, write("early.mtl", "Kd 1 0 0\nillum 0\nmap_Kd stray.png\n"));
    EXPECT_TRUE(model.materials.empty());

    // They must not reach the last material of an earlier library either.
    load(model, write("first.mtl", "newmtl kept\nKd 0 1 0\n"));
    load(model, write("second.mtl", "Kd 1 0 0\nd 0.5\nillum 0\nnewmtl next\n"));
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
    std::string first = write("a.mtl", "newmtl x\nKd 1 0 0\nnewmtl y\nKd 0 1 0\n");
    std::string second = write("b.mtl", "newmtl x\r\nKd 0 0 1\r\nnewmtl\r\nKd 0.5 0.5 0.5");
    load(model, first);
    EXPECT_EQ(out, "Opened file " + first + "\n");
    load(model, second);
    EXPECT_EQ(out, "Opened file " + second + "\n");
    ASSERT_EQ(model.materials.size(), 4u);
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
    load(model, dir + "/missing.mtl");
    EXPECT_EQ(out, "Unable to open file.\n");
    EXPECT_TRUE(model.materials.empty());
    testing::internal::CaptureStderr();
    load(model, dir);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(model.materials.empty()) << "a folder yields nothing";
    EXPECT_NE(err.find(dir), std::string::npos) << err;
}

// Numbers the shading cannot use leave the property as it was; an opacity outside
// [0, 1] is clamped, so no surface adds negative light behind it.
TEST_F(MtlFiles, UnusableNumbersAndOpacityOutOfRange) {
    struct Case {
        const char* body;
        float r, g, b, alpha;
    } cases[] = {
        {"Kd 0.2 0.3 0.4\nKd nan 1 1\n", 0.2f, 0.3f, 0.4f, 1.0f},
        {"Kd 0.2 0.3 0.4\nKd 1 inf 1\n", 0.2f, 0.3f, 0.4f, 1.0f},
        {"Kd 0.2 0.3 0.4\nKd 1 1 -inf\n", 0.2f, 0.3f, 0.4f, 1.0f},
        {"d 0.5\nd nan\n", 0.0f, 0.0f, 0.0f, 0.5f},
        {"d 5\n", 0.0f, 0.0f, 0.0f, 1.0f},
        {"d -1\n", 0.0f, 0.0f, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        vyxMaterial m = mapOne(c.body);
        EXPECT_EQ(m.color[0], c.r) << c.body;
        EXPECT_EQ(m.color[1], c.g) << c.body;
        EXPECT_EQ(m.color[2], c.b) << c.body;
        EXPECT_EQ(m.alpha, c.alpha) << c.body;
        vyxReleaseMaterial(m);
    }
}
