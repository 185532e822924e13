#include "scenefiles/obj.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scenefiles/mtl.h"
#include "scenefiles/text.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"

namespace {

// Reads models from text in memory as "case.obj", capturing what the readers print. The
// libraries that "mtllib" names are looked up in `libraries` by the path the reader asks
// for ("./" and the name); every path asked for is kept in libraryPaths.
class ObjText : public testing::Test {
protected:
    vyxObjModel load(const std::string& text, std::map<std::string, std::string> libraryTexts = {}) {
        libraries = std::move(libraryTexts);
        libraryPaths.clear();
        vyxObjModel model;
        CapturedOutput output = capture(
            [&] { vyxLoadObjFromText(text.data(), text.size(), "case.obj", nullptr, model, readLibrary, this); });
        out = output.out;
        err = output.err;
        return model;
    }

    static void readLibrary(vyxObjModel& model, const char* path, const char* folder, void* context) {
        ObjText& self = *static_cast<ObjText*>(context);
        self.libraryPaths.push_back(path);
        auto found = self.libraries.find(path);
        if (found != self.libraries.end())
            vyxLoadMtlFromText(model, found->second.data(), found->second.size(), path, folder);
    }

    std::map<std::string, std::string> libraries;
    std::vector<std::string> libraryPaths;
    std::string out;
    std::string err;
};

// The same for files in a scratch folder, read with vyxLoadObj.
class ObjFiles : public ObjText {
protected:
    vyxObjModel loadFile(const std::string& path) {
        vyxObjModel model;
        CapturedOutput output = capture([&] { vyxLoadObj(path.c_str(), model); });
        out = output.out;
        err = output.err;
        return model;
    }

    ScratchDir dir;
};

const std::string square = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

struct Triangle {
    int p[3], t[3], n[3];
};

void expectFace(const vyxObjFace& face, const Triangle& want, const std::string& what) {
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(face.position[c], want.p[c]) << what << " corner " << c;
        EXPECT_EQ(face.texcoord[c], want.t[c]) << what << " corner " << c;
        EXPECT_EQ(face.normal[c], want.n[c]) << what << " corner " << c;
    }
}

int countLines(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    return lines;
}

} // namespace

TEST(ObjTokens, SeparatorsAndEndOfLine) {
    std::string token = "unchanged";
    std::string line = std::string(" \tab\r\ncd\v\fe") + '\0' + "f ";
    int position = vyxNextToken(0, line, token);
    EXPECT_EQ(token, "ab");
    EXPECT_EQ(position, 4);
    position = vyxNextToken(position, line, token);
    EXPECT_EQ(token, "cd");
    position = vyxNextToken(position, line, token);
    EXPECT_EQ(token, std::string("e") + '\0' + "f") << "NUL is no separator";
    EXPECT_EQ(position, static_cast<int>(line.size()) - 1);
    EXPECT_EQ(vyxNextToken(position, line, token), -1);
    EXPECT_EQ(token, std::string("e") + '\0' + "f") << "the end of the line leaves the token alone";
    EXPECT_EQ(vyxNextToken(-1, line, token), -1);
    EXPECT_EQ(vyxNextToken(0, " \r\n\t\v\f", token), -1);
}

TEST_F(ObjText, ListsAndFanTriangulation) {
    vyxObjModel model = load("# comment\n" + square +
                             "vt 0.25 0.5 0.75\nvt 1 0\nvt 0 1\nvt 1 1\n"
                             "vn 0 0 2\nvn 0 0 1\nvn 0 1 0\nvn 1 0 0\n"
                             "s off\n"
                             "f 1/1/1 2/2/2 3/3/3 4/4/4\n"
                             "f 1/1/1 2/2/2\n"
                             "v 0 0 1\n"
                             "f 1 2 3 4 5\n");
    EXPECT_EQ(out, "") << "text from memory prints nothing on standard output";
    EXPECT_EQ(err, "vyx: case.obj:16: face of 2 corners; a face needs three; face dropped\n");
    ASSERT_EQ(model.positionCount(), 5);
    EXPECT_EQ(model.positions[6], 1.0f);
    EXPECT_EQ(model.positions[14], 1.0f);
    ASSERT_EQ(model.texcoordCount(), 4);
    EXPECT_EQ(model.texcoords[0], 0.25f);
    EXPECT_EQ(model.texcoords[1], 0.5f);
    EXPECT_EQ(model.texcoords[2], 0.0f) << "the third texture number is ignored";
    ASSERT_EQ(model.normalCount(), 4);
    EXPECT_EQ(model.normals[2], 2.0f) << "normals are not normalised";
    ASSERT_EQ(model.groups.size(), 1u);
    const std::vector<vyxObjFace>& faces = model.groups[0].faces;
    ASSERT_EQ(faces.size(), 5u) << "quad: 2, line of two corners: 0, pentagon: 3";
    expectFace(faces[0], {{0, 1, 2}, {0, 1, 2}, {0, 1, 2}}, "quad first");
    expectFace(faces[1], {{0, 2, 3}, {0, 2, 3}, {0, 2, 3}}, "quad second");
    for (int i = 0; i < 3; ++i) {
        expectFace(faces[2 + i], {{0, i + 1, i + 2}, {-1, -1, -1}, {-1, -1, -1}}, "pentagon " + std::to_string(i));
    }
}

TEST_F(ObjText, AbsentAndRelativeIndices) {
    std::string body = square + "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 0 1\nvn 0 1 0\nvn 1 0 0\n" +
                       "v 0 0 2\nvn 0 0 -1\nvn 0 -1 0\nvn -1 0 0\nvn 1 1 1\nvn 2 2 2\nvn 3 3 3\n";
    struct Case {
        const char* line;
        Triangle want;
    };
    const Case cases[] = {
        {"f 1/1/1 2/2/2 3/3/3", {{0, 1, 2}, {0, 1, 2}, {0, 1, 2}}},
        {"f 3//7 4//8 5//9", {{2, 3, 4}, {-1, -1, -1}, {6, 7, 8}}},
        {"f 1/2 3/4 5/1", {{0, 2, 4}, {1, 3, 0}, {-1, -1, -1}}},
        {"f 1 2 3", {{0, 1, 2}, {-1, -1, -1}, {-1, -1, -1}}},
        {"f 1/1/ 2// 3/2", {{0, 1, 2}, {0, -1, 1}, {-1, -1, -1}}},
        {"f -1 -2 -5", {{4, 3, 0}, {-1, -1, -1}, {-1, -1, -1}}},
        {"f -5/-4/-9 -4/-3/-1 -3/-1/-2", {{0, 1, 2}, {0, 1, 3}, {0, 8, 7}}},
    };
    // Each case follows a face with every field set, so leftovers would show.
    std::string text = body;
    for (const Case& c : cases) {
        text += "f 5/4/9 4/4/9 3/4/9\n";
        text += std::string(c.line) + "\n";
    }
    vyxObjModel model = load(text);
    EXPECT_EQ(err, "");
    ASSERT_EQ(model.groups.size(), 1u);
    ASSERT_EQ(model.groups[0].faces.size(), 2 * (sizeof cases / sizeof cases[0]));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        expectFace(model.groups[0].faces[2 * i + 1], cases[i].want, cases[i].line);
    }
}

TEST_F(ObjText, RelativeIndicesCountWhatWasReadSoFar) {
    vyxObjModel model = load("v 0 0 0\nv 1 0 0\nv 0 1 0\nf -3 -2 -1\n"
                             "v 0 0 1\nv 1 0 1\nv 0 1 1\nf -3 -2 -1\n");
    ASSERT_EQ(model.groups.size(), 1u);
    ASSERT_EQ(model.groups[0].faces.size(), 2u);
    expectFace(model.groups[0].faces[0], {{0, 1, 2}, {-1, -1, -1}, {-1, -1, -1}}, "first");
    expectFace(model.groups[0].faces[1], {{3, 4, 5}, {-1, -1, -1}, {-1, -1, -1}}, "second");
}

TEST_F(ObjText, FacesWithBadIndicesAreDroppedWithOneWarning) {
    // Line numbers: the square takes lines 1-4, "vt" line 5, "vn" line 6.
    const char* bad[] = {
        "f 0 1 2",             // 0 names nothing
        "f 1 2 5",             // past the last position
        "f 1 2 -5",            // before the first position
        "f 1/2/1 2/1/1 3/1/1", // only one texture coordinate
        "f 1/1/2 2/1/1 3/1/1", // only one normal
        "f 1 2 x",             // not a number
        "f 1 2 /1",            // no position
        "f 1 2 3/1/1/1",       // four fields
        "f 1 2 99999999999999999999",
        "f 1 2 -99999999999999999999",
        "f 1 2 -9223372036854775808", // the most negative 64-bit number
        "f 1 2 3 4 9 3",              // one bad corner drops the whole polygon
        "f 1 2 6\nv 0 0 3",           // a vertex defined after the face does not count
    };
    for (const char* line : bad) {
        vyxObjModel model = load(square + "vt 0 0\nvn 0 0 1\n" + line + "\nf 1 2 3\n");
        EXPECT_EQ(countLines(err), 1) << line << ": " << err;
        EXPECT_NE(err.find("case.obj:7"), std::string::npos) << line << ": " << err;
        ASSERT_EQ(model.groups.size(), 1u) << line;
        ASSERT_EQ(model.groups[0].faces.size(), 1u) << line << ": the good face after it still loads";
        expectFace(model.groups[0].faces[0], {{0, 1, 2}, {-1, -1, -1}, {-1, -1, -1}}, line);
    }
}

TEST_F(ObjFiles, GroupsAndMaterials) {
    dir.write("first.mtl", "newmtl red\nKd 1 0 0\nnewmtl shared\nKd 0 1 0\n");
    dir.write("second.mtl", "newmtl shared\nKd 0 0 1\nnewmtl blue\nKd 0 0 1\n");
    std::string path = dir.write("groups.obj", "mtllib first.mtl\nmtllib second.mtl\n" + square +
                                                   "f 1 2 3\n" // before any group
                                                   "g a\nusemtl red\nf 1 2 3\n"
                                                   "o b\nusemtl missing\nf 1 2 4\n"
                                                   "g a\nusemtl shared\nf 2 3 4\n"
                                                   "g default\nusemtl blue\nf 1 3 4\n"
                                                   "g\nf 4 3 2\n");
    vyxObjModel model = loadFile(path);
    EXPECT_EQ(out, "Opened file " + path + "\nOpened file " + dir.file("first.mtl") + "\nOpened file " +
                       dir.file("second.mtl") + "\n");
    ASSERT_EQ(model.materials.size(), 4u);
    ASSERT_EQ(model.groups.size(), 3u);
    EXPECT_EQ(model.groups[0].name, "default");
    EXPECT_EQ(model.groups[1].name, "a");
    EXPECT_EQ(model.groups[2].name, "b");

    // Group 0 (made for the first face): the face before any usemtl has material 0, then
    // "g default" and "g" without a name return to it.
    const vyxObjGroup& first = model.groups[0];
    ASSERT_EQ(first.faces.size(), 3u);
    EXPECT_EQ(first.faces[0].material, 0);
    EXPECT_EQ(first.faces[1].material, 3) << "blue";
    EXPECT_EQ(first.faces[2].material, 3) << "blue stays current";
    EXPECT_EQ(first.material, 3);

    const vyxObjGroup& a = model.groups[1];
    ASSERT_EQ(a.faces.size(), 2u) << "naming a again switches back to it";
    EXPECT_EQ(a.faces[0].material, 0) << "red";
    EXPECT_EQ(a.faces[1].material, 2) << "the later of the two materials named shared";
    EXPECT_EQ(a.material, 2);

    const vyxObjGroup& b = model.groups[2];
    ASSERT_EQ(b.faces.size(), 1u);
    EXPECT_EQ(b.faces[0].material, -1) << "an unknown name selects the default material";
    EXPECT_EQ(err,
              "vyx: " + path + ":12: no material library defines \"missing\"; its faces use the default material\n");
    EXPECT_EQ(b.faces[0].position[2], 3);
}

TEST_F(ObjText, DefaultGroupBeforeAnyGroupExists) {
    vyxObjModel model = load(square + "g default\nf 1 2 3\ng x\nf 2 3 4\ng default\nf 3 4 1\n");
    ASSERT_EQ(model.groups.size(), 2u);
    EXPECT_EQ(model.groups[0].faces.size(), 2u);
    EXPECT_EQ(model.groups[1].name, "x");
    EXPECT_EQ(model.groups[1].faces.size(), 1u);
    for (const vyxObjGroup& group : model.groups) {
        EXPECT_EQ(group.material, 0) << group.name;
    }
}

TEST_F(ObjText, CrlfLineEndsAndAMissingFinalLineFeed) {
    vyxObjModel model = load("mtllib crlf.mtl\r\nv 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\n"
                             "g left\r\nusemtl stone\r\nf 1/ 2/ 3/\r\ng left\r\nf 1 2 3",
                             {{"./crlf.mtl", "newmtl stone\r\nKd 0.5 0.25 1\r\nmap_Kd stone.png\r\n"}});
    EXPECT_EQ(libraryPaths, std::vector<std::string>{"./crlf.mtl"});
    ASSERT_EQ(model.materials.size(), 1u);
    EXPECT_EQ(model.materials[0].name, "stone");
    EXPECT_EQ(model.materials[0].mapKd, "stone.png");
    EXPECT_EQ(model.materials[0].kd[2], 1.0f);
    ASSERT_EQ(model.groups.size(), 1u);
    EXPECT_EQ(model.groups[0].name, "left");
    ASSERT_EQ(model.groups[0].faces.size(), 2u) << "the last line, without a line feed, is read";
    EXPECT_EQ(model.groups[0].faces[1].material, 0);
    EXPECT_EQ(model.positions[3], 1.0f);
}

TEST_F(ObjFiles, LongLinesNamesAndPaths) {
    // A 1000-character group and material name, a polygon of 4000 corners on one line,
    // and a library behind a directory path of about 1200 characters.
    std::string longName(1000, 'n');
    std::string sub;
    for (int i = 0; i < 6; ++i) {
        sub += std::string(200, static_cast<char>('d' + i)) + "/";
        dir.makeFolder(sub);
    }
    dir.write(sub + "lib.mtl", "newmtl " + longName + "\nmap_Kd " + longName + ".png\n");
    std::string polygon = "f";
    for (int i = 0; i < 4000; ++i) {
        polygon += " " + std::to_string(i % 3 + 1);
    }
    std::string path =
        dir.write("long.obj", "mtllib " + sub + "lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\n# " + std::string(20000, 'c') +
                                  "\ng " + longName + "\nusemtl " + longName + "\n" + polygon + "\n");
    vyxObjModel model = loadFile(path);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "Opened file " + path + "\nOpened file " + dir.file(sub + "lib.mtl") + "\n");
    ASSERT_EQ(model.materials.size(), 1u);
    EXPECT_EQ(model.materials[0].name, longName);
    EXPECT_EQ(model.materials[0].mapKd, longName + ".png");
    ASSERT_EQ(model.groups.size(), 1u);
    EXPECT_EQ(model.groups[0].name, longName);
    EXPECT_EQ(model.groups[0].faces.size(), 3998u);
    EXPECT_EQ(model.groups[0].material, 0);
}

TEST_F(ObjFiles, DirectoryPrefixOfEitherSeparator) {
    // Libraries are read from the directory part of the model's name, which ends at the
    // last "/" or "\"; without one they are read from "./". Here "\" is an ordinary file
    // name character, so "sub\model.obj" names a file in the current folder.
    // Further: a backslash escaping a space; a name holding a backslash that exists as
    // written (and also as a folder path); a name whose case differs from the disk's.
    for (const char* folder : {"a", "lib", "Maps"})
        dir.makeFolder(folder);
    const char* const files[][2] = {
        {"lib.mtl", "newmtl plain\n"},
        {"sub\\lib.mtl", "newmtl backslash\n"},
        {"model.obj", "mtllib lib.mtl\n"},
        {"sub\\model.obj", "mtllib lib.mtl\n"},
        {"a/b\\lib.mtl", "newmtl mixed\n"},
        {"a/b\\model.obj", "mtllib lib.mtl\n"},
        {"venus stone.mtl", "newmtl escaped\n"},
        {"escaped.obj", "mtllib venus\\ stone.mtl\n"},
        {"lib\\odd.mtl", "newmtl literal\n"},
        {"lib/odd.mtl", "newmtl folder\n"},
        {"literal.obj", "mtllib lib\\odd.mtl\n"},
        {"Maps/Old.MTL", "newmtl upper\n"},
        {"case.obj", "mtllib maps\\old.mtl\n"},
    };
    for (const auto& file : files)
        dir.write(file[0], file[1]);
    WorkingDir inside(dir.path());
    struct Case {
        const char* model;
        const char* library;
        const char* material;
    };
    const Case cases[] = {{"model.obj", "./lib.mtl", "plain"},
                          {"sub\\model.obj", "sub\\lib.mtl", "backslash"},
                          {"a/b\\model.obj", "a/b\\lib.mtl", "mixed"},
                          {"./a/../model.obj", "./a/../lib.mtl", "plain"},
                          {"escaped.obj", "./venus stone.mtl", "escaped"},
                          {"literal.obj", "./lib\\odd.mtl", "literal"},
                          {"case.obj", "./Maps/Old.MTL", "upper"}};
    for (const Case& c : cases) {
        vyxObjModel model = loadFile(c.model);
        EXPECT_EQ(out, std::string("Opened file ") + c.model + "\nOpened file " + c.library + "\n") << c.model;
        EXPECT_EQ(model.materials.size(), 1u) << c.model;
        if (model.materials.size() == 1) {
            EXPECT_EQ(model.materials[0].name, c.material) << c.model;
        }
    }
}

// "mtllib venus\stone.mtl" naming a file whose name holds the backslash: the library was
// read, but its textures were looked up in a folder "venus\" taken from that name, so the
// model showed its colour instead of the marble. Such a library lies in the model's
// folder, and so do its textures; one found through folders keeps its own folder.
TEST_F(ObjFiles, BackslashInLibraryNameIsNoTextureFolder) {
    struct Case {
        const char* mtllib;  // as named in the model
        const char* library; // the file on disk
        const char* texture; // where the texture is, and only there
    };
    const Case cases[] = {{"venus\\stone.mtl", "venus\\stone.mtl", "venus-marble.png"},
                          {"maps/venus\\stone.mtl", "maps/venus\\stone.mtl", "maps/venus-marble.png"},
                          {"venus\\stone.mtl", "venus/stone.mtl", "venus/venus-marble.png"}};
    for (const Case& c : cases) {
        ScratchDir folder;
        for (const char* sub : {"maps", "venus"})
            folder.makeFolder(sub);
        folder.write(c.library, "newmtl marble\nKd 0.5 0.5 0.5\nmap_Kd venus-marble.png\n");
        folder.write(c.texture, "");
        vyxObjModel model = loadFile(folder.write("model.obj", std::string("mtllib ") + c.mtllib + "\n"));
        ASSERT_EQ(model.materials.size(), 1u) << c.library << ": " << out << err;
        vyxMaterial material = vyxMaterialFromMtl(model.materials[0]);
        EXPECT_STREQ(material.textureFile, folder.file(c.texture).c_str()) << c.library;
        vyxFreeMaterial(material);
    }
}

TEST_F(ObjFiles, FilesThatCannotBeRead) {
    vyxObjModel model = loadFile(dir.file("missing.obj"));
    EXPECT_EQ(out, "Unable to open file.\n");
    EXPECT_EQ(err, "vyx: cannot open model " + dir.file("missing.obj") + ": No such file or directory\n");
    EXPECT_TRUE(model.positions.empty() && model.groups.empty() && model.materials.empty());

    // A missing library is reported the same way and the model still loads.
    std::string path = dir.write("nolib.obj", "mtllib gone.mtl\n" + square + "f 1 2 3\n");
    model = loadFile(path);
    EXPECT_EQ(out, "Opened file " + path + "\nUnable to open file.\n");
    EXPECT_NE(err.find("cannot open material library " + dir.file("gone.mtl")), std::string::npos) << err;
    ASSERT_EQ(model.groups.size(), 1u);
    EXPECT_EQ(model.groups[0].faces.size(), 1u);

    // A folder opens but cannot be read: an empty model and a note on stderr.
    model = loadFile(dir.makeFolder("folder.obj"));
    EXPECT_TRUE(model.positions.empty() && model.groups.empty());
    EXPECT_NE(err, "");

    model = loadFile(dir.write("empty.obj", ""));
    EXPECT_TRUE(model.positions.empty() && model.groups.empty());
}

TEST_F(ObjText, KeywordsWithoutArgumentsAndUnknownLines) {
    vyxObjModel model = load("v\nv 1\nvt\nvn 1 2\nf\nf 1\nusemtl\nmtllib\ng\no\n"
                             "vp 1 2 3\nV 1 2 3\nl 1 2\n\n   \n\t\nF 1 2 3\nf 1 2 3\n");
    EXPECT_TRUE(libraryPaths.empty()) << "\"mtllib\" without a name reads nothing";
    ASSERT_EQ(model.positionCount(), 2);
    EXPECT_EQ(model.positions[3], 1.0f);
    EXPECT_EQ(model.positions[4], 0.0f) << "missing numbers read as 0";
    EXPECT_EQ(model.texcoordCount(), 1);
    EXPECT_EQ(model.normalCount(), 1);
    // "f 1 2 3" names a third position that does not exist; faces of fewer than three
    // corners make nothing, so no group is ever needed. "usemtl" without a name names no
    // material either.
    EXPECT_EQ(countLines(err), 4) << err;
    EXPECT_NE(err.find("case.obj:5: face of 0 corners"), std::string::npos) << err;
    EXPECT_NE(err.find("case.obj:6: face of 1 corner;"), std::string::npos) << err;
    EXPECT_NE(err.find("case.obj:7: no material library defines \"\""), std::string::npos) << err;
    EXPECT_NE(err.find("case.obj:18:"), std::string::npos) << err;
    EXPECT_TRUE(model.groups.empty());
}

namespace {

// text (ASCII) as UTF-16, with or without a byte-order mark.
std::string utf16(const std::string& text, bool bigEndian, bool mark) {
    std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char c : text) {
        out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    }
    return out;
}

} // namespace

// Text as other tools write it: encodings, line ends, white space, continuations,
// comments, libraries; and what the reader says about faces and materials it cannot use.
TEST_F(ObjText, RealFileTextAndMessages) {
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    struct Case {
        const char* name;
        std::string obj;
        std::vector<std::pair<std::string, std::string>> libraries; // name below the model's folder, text
        std::vector<float> positions;                               // all of them; empty = not checked
        std::vector<Triangle> faces;                                // every group's, in order
        std::vector<int> materials;                                 // per face
        std::vector<std::string> messages;                          // each on one line of stderr
    };
    const Triangle t012 = {{0, 1, 2}, {-1, -1, -1}, {-1, -1, -1}};
    const Case cases[] = {
        {"vertical tab and form feed separate",
         "v\v0 0 0\nv 1\f0 0\nv\f0 1\v0\nf 1 2 3\n",
         {},
         {0, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {}},
        {"backslash continues a line",
         "v 0 0 \\\n5\nv 1 0 0\nv 0 1 0\nf 1 \\\n2 3\n",
         {},
         {0, 0, 5, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {}},
        {"UTF-8 byte-order mark",
         "\xEF\xBB\xBF"
         "v 7 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
         {},
         {7, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {}},
        {"UTF-16LE with a mark",
         utf16("v 1.5 0 0\r\nv 1 0 0\r\nv 0 1 0\r\nf 1 2 3\r\n", false, true),
         {},
         {1.5f, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {}},
        {"UTF-16BE without a mark",
         utf16("v 1.5 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", true, false),
         {},
         {1.5f, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {}},
        {"lone carriage returns end lines",
         "v 0 0 0\rv 1 0 0\rv 0 1 0\rf 1 2 3\rf 3 2 1",
         {},
         {0, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012, {{2, 1, 0}, {-1, -1, -1}, {-1, -1, -1}}},
         {0, 0},
         {}},
        {"a comment ends the line",
         tri + "f 1 2 3 # note\nv#not-a-comment 1 1 1\n# f 1 2 3\n",
         {},
         {0, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {}},
        {"faces of fewer than three corners",
         tri + "f 1\nf 3 2\nf 1 2 3\n",
         {},
         {},
         {t012},
         {0},
         {":4: face of 1 corner;", ":5: face of 2 corners;"}},
        {"lines holding NUL bytes",
         "v 0 0 0\nv 1" + std::string(1, '\0') + ".5 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
         {},
         {0, 0, 0, 1, 0, 0, 0, 1, 0},
         {t012},
         {0},
         {": 1 line holding NUL bytes"}},
        {"several libraries on one line, Windows separators",
         "mtllib sub\\a.mtl b.mtl\n" + tri + "usemtl y\nf 1 2 3\nusemtl x\nf 1 2 3\n",
         {{"sub/a.mtl", "newmtl x\n"}, {"b.mtl", "newmtl y\n"}},
         {},
         {t012, t012},
         {1, 0},
         {}},
        {"unknown material names",
         "mtllib b.mtl\n" + tri +
             "usemtl y\nf 1 2 3\nusemtl red\nf 1 2 3\n"
             "usemtl y\nusemtl red\nf 1 2 3\n",
         {{"b.mtl", "newmtl y\n"}},
         {},
         {t012, t012, t012},
         {0, -1, -1},
         {":7: no material library defines \"red\"; its faces use the default material"}},
        {"material used before its library",
         tri + "usemtl y\nf 1 2 3\nmtllib b.mtl\nusemtl y\nf 1 2 3\n",
         {{"b.mtl", "newmtl y\n"}},
         {},
         {t012, t012},
         {-1, 0},
         {":4: material \"y\" is used before line 6, whose library defines it"}},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> libraryTexts;
        for (const auto& library : c.libraries) {
            libraryTexts["./" + library.first] = library.second;
        }
        vyxObjModel model = load(c.obj, libraryTexts);
        if (!c.positions.empty()) {
            EXPECT_EQ(model.positions, c.positions) << c.name;
        }
        std::vector<vyxObjFace> faces;
        for (const vyxObjGroup& group : model.groups) {
            faces.insert(faces.end(), group.faces.begin(), group.faces.end());
        }
        ASSERT_EQ(faces.size(), c.faces.size()) << c.name << ": " << err;
        for (size_t i = 0; i < faces.size(); ++i) {
            expectFace(faces[i], c.faces[i], c.name);
            EXPECT_EQ(faces[i].material, c.materials[i]) << c.name << " face " << i;
        }
        EXPECT_EQ(countLines(err), static_cast<int>(c.messages.size())) << c.name << ": " << err;
        for (const std::string& message : c.messages) {
            EXPECT_NE(err.find("case.obj" + message), std::string::npos) << c.name << ": " << err;
        }
    }
}

// A convex polygon is fanned around its first corner, exactly as before; any other is
// cut into triangles that wind like the polygon, add up to its area and all lie inside
// it (checked at each triangle's centroid against the outline).
TEST_F(ObjText, ConcavePolygonsAreCutInsideTheirOutline) {
    struct P2 {
        double a, b;
    };
    // A ring saved as one outline: the outer circle, a cut to the inner one, the inner
    // circle the other way round and back along the cut; and a ten-pointed star.
    std::vector<P2> annulus, star;
    for (int i = 0; i <= 32; ++i) {
        double angle = 2 * 3.14159265358979 * i / 32;
        annulus.insert(annulus.begin() + i, {2 * std::cos(angle), 2 * std::sin(angle)});
        annulus.insert(annulus.begin() + i + 1, {std::cos(angle), std::sin(angle)});
    }
    for (int i = 0; i < 10; ++i) {
        double angle = 2 * 3.14159265358979 * i / 10, radius = i % 2 ? 0.4 : 1.0;
        star.push_back({radius * std::cos(angle), radius * std::sin(angle)});
    }
    // Nearly every corner an ear: the case that made ear tests over every corner slow.
    std::vector<P2> dented;
    for (int i = 0; i < 3000; ++i) {
        double angle = 2 * 3.14159265358979 * i / 3000, radius = i == 0 ? 0.5 : 1.0;
        dented.push_back({radius * std::cos(angle), radius * std::sin(angle)});
    }
    struct Case {
        const char* name;
        std::vector<P2> outline; // counter-clockwise seen from +z before the tilt below
        bool convex;
    };
    const Case cases[] = {
        {"pentagon", {{0, 0}, {2, 0}, {3, 1}, {1, 3}, {-1, 1}}, true},
        {"square with a corner on its edge", {{0, 0}, {1, 0}, {2, 0}, {2, 2}, {0, 2}}, true},
        {"L shape", {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}}, false},
        {"first corner reflex", {{1, 1}, {2, 0}, {2, 2}, {0, 2}, {0, 0}}, false},
        {"comb",
         {{0, 0}, {5, 0}, {5, 3}, {4, 3}, {4, 1}, {3, 1}, {3, 3}, {2, 3}, {2, 1}, {1, 1}, {1, 3}, {0, 3}},
         false},
        {"star", star, false},
        {"ring of 66 corners", annulus, false},
        {"circle of 3000 corners with one pulled in", dented, false},
    };
    for (bool reversed : {false, true}) {
        for (const Case& c : cases) {
            std::vector<P2> outline = c.outline;
            if (reversed) {
                std::reverse(outline.begin(), outline.end());
            }
            // Tilted out of every coordinate plane by a rotation, so areas are kept.
            std::string text;
            for (const P2& p : outline) {
                text += "v " + std::to_string(p.a) + " " + std::to_string(0.6 * p.b) + " " + std::to_string(0.8 * p.b) +
                        "\n";
            }
            text += "f";
            for (size_t i = 1; i <= outline.size(); ++i) {
                text += " " + std::to_string(i);
            }
            vyxObjModel model = load(text + "\n");
            std::string what = std::string(c.name) + (reversed ? " (reversed)" : "");
            ASSERT_EQ(model.groups.size(), 1u) << what;
            const std::vector<vyxObjFace>& faces = model.groups[0].faces;
            ASSERT_EQ(faces.size(), outline.size() - 2) << what;
            auto at = [&](int32_t index) {
                // Back into the outline's plane: a = x, b = 0.6 y + 0.8 z.
                const float* p = &model.positions[3 * static_cast<size_t>(index)];
                return P2{p[0], 0.6 * p[1] + 0.8 * p[2]};
            };
            auto inside = [&](P2 q) {
                bool in = false;
                for (size_t i = 0, j = outline.size() - 1; i < outline.size(); j = i++) {
                    const P2 &u = outline[i], &w = outline[j];
                    if ((u.b > q.b) != (w.b > q.b) && q.a < (w.a - u.a) * (q.b - u.b) / (w.b - u.b) + u.a) {
                        in = !in;
                    }
                }
                return in;
            };
            double polygonArea = 0, triangleArea = 0;
            for (size_t i = 0, j = outline.size() - 1; i < outline.size(); j = i++) {
                polygonArea += outline[j].a * outline[i].b - outline[i].a * outline[j].b;
            }
            for (size_t f = 0; f < faces.size(); ++f) {
                P2 p0 = at(faces[f].position[0]), p1 = at(faces[f].position[1]), p2 = at(faces[f].position[2]);
                double area = (p1.a - p0.a) * (p2.b - p0.b) - (p1.b - p0.b) * (p2.a - p0.a);
                EXPECT_GE(area * polygonArea, -1e-9) << what << " triangle " << f << " winds the other way";
                triangleArea += area;
                if (c.convex) {
                    expectFace(faces[f],
                               {{0, static_cast<int>(f) + 1, static_cast<int>(f) + 2}, {-1, -1, -1}, {-1, -1, -1}},
                               what);
                } else if (std::fabs(area) > 1e-6) {
                    EXPECT_TRUE(inside({(p0.a + p1.a + p2.a) / 3, (p0.b + p1.b + p2.b) / 3}))
                        << what << " triangle " << f << " lies outside the outline";
                }
            }
            EXPECT_NEAR(triangleArea, polygonArea, 1e-3 * std::fabs(polygonArea)) << what;
        }
    }
}

// A concave face with more inward corners than ear clipping takes on (a crafted face
// would otherwise stall loading) is fanned whole, and the reader says so.
TEST_F(ObjText, FaceWithTooManyInwardCornersIsFannedWithAMessage) {
    std::string text, face = "f";
    const int teeth = 1100; // two corners each, every second one inward
    for (int i = 0; i < teeth; ++i) {
        text += "v " + std::to_string(i) + " 0 0\nv " + std::to_string(i) + ".5 " + (i % 2 ? "1" : "3") + " 0\n";
    }
    text += "v " + std::to_string(teeth) + " -1 0\nv 0 -1 0\n";
    for (int i = 1; i <= 2 * teeth + 2; ++i) {
        face += " " + std::to_string(i);
    }
    vyxObjModel model = load(text + face + "\n");
    ASSERT_EQ(model.groups.size(), 1u);
    ASSERT_EQ(model.groups[0].faces.size(), static_cast<size_t>(2 * teeth));
    expectFace(model.groups[0].faces[5], {{0, 6, 7}, {-1, -1, -1}, {-1, -1, -1}}, "fan");
    EXPECT_NE(err.find("case.obj:" + std::to_string(2 * teeth + 3) + ": face of " + std::to_string(2 * teeth + 2) +
                       " corners with more than 1024 inward corners; fanned"),
              std::string::npos)
        << err;
}

// What only text from memory can be: bytes with no NUL after them (read exactly to size;
// the copy is exactly sized so the address sanitizer sees any read past it), no bytes at
// all, no display name; and the folders libraries are looked up in.
TEST_F(ObjText, TextFromMemoryEdges) {
    const std::string whole = "v 1 2 3\nv 4 5 6\nv 7 8 9\nf 1 2 3\nv 1 2 34";
    const std::vector<char> bytes(whole.begin(), whole.end() - 1);
    vyxObjModel cut;
    vyxLoadObjFromText(bytes.data(), bytes.size(), "cut.obj", nullptr, cut);
    ASSERT_EQ(cut.positionCount(), 4);
    EXPECT_EQ(cut.positions[11], 3.0f) << "the byte after size is not read";
    ASSERT_EQ(cut.groups.size(), 1u);

    vyxObjModel empty;
    CapturedOutput output = capture([&] { vyxLoadObjFromText(nullptr, 0, "empty.obj", nullptr, empty); });
    EXPECT_TRUE(empty.positions.empty() && empty.groups.empty() && empty.materials.empty());
    EXPECT_EQ(output.out + output.err, "");

    vyxObjModel unnamed;
    output = capture([&] { vyxLoadObjFromText("f 1 2 3", 7, nullptr, nullptr, unnamed); });
    EXPECT_EQ(output.err.rfind("vyx: (no name):1: face corner", 0), 0u) << output.err;

    struct Case {
        const char* baseDir;
        const char* path; // of "mtllib sub\lib.mtl"
    };
    const Case cases[] = {{nullptr, "./sub/lib.mtl"},
                          {"", "./sub/lib.mtl"},
                          {"models", "models/sub/lib.mtl"},
                          {"models/", "models/sub/lib.mtl"},
                          {"C:\\models\\", "C:\\models\\sub/lib.mtl"}};
    for (const Case& c : cases) {
        libraryPaths.clear();
        vyxObjModel model;
        vyxLoadObjFromText("mtllib sub\\lib.mtl\n", 19, "case.obj", c.baseDir, model, readLibrary, this);
        EXPECT_EQ(libraryPaths, std::vector<std::string>{c.path}) << (c.baseDir ? c.baseDir : "null");
    }
}
