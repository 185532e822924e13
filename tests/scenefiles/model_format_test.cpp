// Which reader a model file goes to, by its first bytes and (for OBJ only) its name.

#include <gtest/gtest.h>

#include <string>

#include "scenefiles/model_format.h"

TEST(ModelFormat, ChosenByContent) {
    struct Case {
        std::string head, path;
        vyxModelKind kind;
        const char* what; // for ModelNotModel
    };
    const std::string utf16 = std::string("\xff\xfev\0 \0"
                                          "1\0 \0"
                                          "2\0 \0"
                                          "3\0\n\0",
                                          16);
    const Case cases[] = {
        {"# exported\n\nmtllib a.mtl\nv 1 2 3\n", "model.txt", ModelObj, ""},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", "scan.PLY", ModelObj, ""},
        {utf16, "model.obj", ModelObj, ""},
        {"", "empty.obj", ModelObj, ""},
        {"# comments only\n", "notes.OBJ", ModelObj, ""},
        {"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "image.obj", ModelNotModel, "a PNG image"},
        {"\xff\xd8\xff\xe0", "photo.gltf", ModelNotModel, "a JPEG image"},
        {"%PDF-1.4", "manual.obj", ModelNotModel, "a PDF document"},
        {"glTF\x02\0\0\0", "model.glb", ModelImported, ""},
        {"ply\nformat binary_little_endian 1.0\n", "scan.ply", ModelImported, ""},
        {"solid cube\n  facet normal 0 0 1\n", "part.stl", ModelImported, ""},
        // A binary STL's 80-byte header is free text, here one that starts like a BMP.
        {"BMW bracket" + std::string(69, ' '), "part.stl", ModelImported, ""},
        {std::string("MM\x8b\x05\0\0\x02\0", 8), "horse.3ds", ModelImported, ""},
        {"<?xml version=\"1.0\"?>\n<COLLADA>", "cube.obj", ModelImported, ""},
        {"Kaydara FBX Binary  \0", "box.fbx", ModelImported, ""},
        {std::string("PK\x03\x04", 4), "duck.zae", ModelImported, ""},
    };
    for (const Case& c : cases) {
        const char* what = "unchanged";
        EXPECT_EQ(vyxDetectModelKind(c.head.data(), c.head.size(), c.path.c_str(), &what), c.kind) << c.path;
        EXPECT_STREQ(what, c.kind == ModelNotModel ? c.what : "unchanged") << c.path;
    }
}
