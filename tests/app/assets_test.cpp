// The generated scene assets (tools/make_assets.cpp, written into VYX_ASSETS_DIR by the
// build): the sculpture's geometry and materials, the sky faces seen through the cube-map
// lookup, the textures, the font, and the generator's command line and determinism.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SDL_ttf.h"

#include "app/image.h"
#include "scenefiles/obj.h"
#include "tests/support/scratch.h"
#include "trace/texture.h"

static std::string assetPath(const char* name) { return std::string(VYX_ASSETS_DIR) + "/" + name; }

static bool isPowerOfTwo(int v) { return v > 0 && (v & (v - 1)) == 0; }

// ---------------------------------------------------------------------------------------
// Sculpture.

struct LoadedModel {
    vyxObjModel model;
    LoadedModel() { vyxLoadObj(assetPath("venus.obj").c_str(), model); }
};

static const LoadedModel& venus() {
    static LoadedModel loaded;
    return loaded;
}

TEST(SculptureAsset, FitsTheUnitSphereWithEnoughTrianglesAndValidCorners) {
    const vyxObjModel& m = venus().model;
    ASSERT_GT(m.positionCount(), 0);
    for (int i = 0; i < m.positionCount(); ++i) {
        const float* p = &m.positions[3 * i];
        ASSERT_LE(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), 1.0f) << "position " << i;
    }
    for (int i = 0; i < m.normalCount(); ++i) {
        const float* n = &m.normals[3 * i];
        ASSERT_NEAR(std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]), 1.0f, 1e-3f) << "normal " << i;
    }
    long triangles = 0;
    for (const vyxObjGroup& group : m.groups) {
        ASSERT_FALSE(group.faces.empty()) << "group " << group.name;
        for (const vyxObjFace& face : group.faces) {
            ++triangles;
            ASSERT_GE(face.material, 0) << "group " << group.name;
            ASSERT_LT(face.material, static_cast<int>(m.materials.size())) << "group " << group.name;
            bool textured = m.materials[face.material].hasMapKd != 0;
            for (int k = 0; k < 3; ++k) {
                ASSERT_GE(face.normal[k], 0) << "group " << group.name;
                ASSERT_LT(face.normal[k], m.normalCount()) << "group " << group.name;
                if (textured) {
                    ASSERT_GE(face.texcoord[k], 0) << "textured group " << group.name;
                    ASSERT_LT(face.texcoord[k], m.texcoordCount()) << "textured group " << group.name;
                }
            }
        }
    }
    EXPECT_GE(triangles, 60000);
    EXPECT_GE(m.groups.size(), 4u);
}

// The shading flips the vertex normals to the viewer's side using the winding of the
// triangle, so a vertex normal on the other side of its triangle from the winding normal
// would shade that triangle as if lit from behind.
TEST(SculptureAsset, VertexNormalsAgreeWithTheWinding) {
    const vyxObjModel& m = venus().model;
    for (const vyxObjGroup& group : m.groups) {
        long disagreeing = 0, degenerate = 0;
        for (const vyxObjFace& face : group.faces) {
            const float* p0 = &m.positions[3 * face.position[0]];
            const float* p1 = &m.positions[3 * face.position[1]];
            const float* p2 = &m.positions[3 * face.position[2]];
            double e1[3], e2[3];
            for (int a = 0; a < 3; ++a)
                e1[a] = p1[a] - p0[a], e2[a] = p2[a] - p0[a];
            double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
            double area2 = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            if (area2 < 1e-12) {
                ++degenerate;
                continue;
            }
            for (int k = 0; k < 3; ++k) {
                const float* vn = &m.normals[3 * face.normal[k]];
                if ((vn[0] * n[0] + vn[1] * n[1] + vn[2] * n[2]) / area2 < 0.5)
                    ++disagreeing;
            }
        }
        EXPECT_EQ(disagreeing, 0) << "group " << group.name;
        EXPECT_EQ(degenerate, 0) << "group " << group.name;
    }
}

TEST(SculptureAsset, MaterialsShowEveryShadingFeature) {
    const vyxObjModel& m = venus().model;
    bool texture = false, mirror = false, translucentColour = false, highlight = false, unlit = false, fresnel = false;
    for (const vyxMtlMaterial& mat : m.materials) {
        double ks = std::sqrt(mat.ks[0] * mat.ks[0] + mat.ks[1] * mat.ks[1] + mat.ks[2] * mat.ks[2]);
        if (mat.hasMapKd) {
            texture = true;
            vyxTexture image{};
            ASSERT_TRUE(vyxLoadImageTexture(assetPath(mat.mapKd.c_str()).c_str(), image, FilterBilinear)) << mat.mapKd;
            EXPECT_TRUE(isPowerOfTwo(image.width) && isPowerOfTwo(image.height))
                << mat.mapKd << " is " << image.width << " x " << image.height;
            std::free(image.data);
        }
        if (mat.reflectivity > 0 && ks > 0)
            mirror = true;
        if (mat.dissolve < 1 && (mat.kd[0] != mat.kd[1] || mat.kd[1] != mat.kd[2]))
            translucentColour = true;
        if (mat.reflectivity == 0 && ks > 0 && mat.lit)
            highlight = true;
        if (!mat.lit)
            unlit = true;
        if (mat.ft > 0 && mat.reflectivity > 0)
            fresnel = true;
    }
    EXPECT_TRUE(texture);
    EXPECT_TRUE(mirror);
    EXPECT_TRUE(translucentColour);
    EXPECT_TRUE(highlight);
    EXPECT_TRUE(unlit);
    EXPECT_TRUE(fresnel);
    // Every group's faces name a material that exists (usemtl matched).
    for (const vyxObjGroup& group : m.groups)
        EXPECT_GE(group.material, 0) << group.name;
}

// The reader fans polygons into triangles and keeps no trace of the original face sizes
// or keywords, so these are read from the text itself.
TEST(SculptureAsset, FileUsesTrianglesQuadsPolygonsGroupsObjectsAndTwoLibraries) {
    std::ifstream in(assetPath("venus.obj"));
    ASSERT_TRUE(in.good());
    std::set<std::string> libraries;
    long triangles = 0, quads = 0, polygons = 0, groupLines = 0, objectLines = 0;
    size_t longest = 0;
    std::string line;
    while (std::getline(in, line)) {
        longest = std::max(longest, line.size());
        std::istringstream words(line);
        std::string keyword, word;
        words >> keyword;
        if (keyword == "mtllib") {
            words >> word;
            libraries.insert(word);
        } else if (keyword == "g") {
            ++groupLines;
        } else if (keyword == "o") {
            ++objectLines;
        } else if (keyword == "f") {
            int corners = 0;
            while (words >> word)
                ++corners;
            if (corners == 3)
                ++triangles;
            else if (corners == 4)
                ++quads;
            else if (corners > 4)
                ++polygons;
        }
    }
    EXPECT_GT(triangles, 0);
    EXPECT_GT(quads, 0);
    EXPECT_GT(polygons, 0);
    EXPECT_GT(groupLines, 0);
    EXPECT_GT(objectLines, 0);
    EXPECT_EQ(libraries.size(), 2u);
    EXPECT_LT(longest, 1000u) << "lines must fit the readers' fixed line buffers";
    for (const std::string& library : libraries)
        EXPECT_FALSE(readFile(assetPath(library.c_str())).empty()) << library;
}

// ---------------------------------------------------------------------------------------
// Sky faces.

struct SkyFaces {
    vyxTexture faces[6]{};
    vyxCubeMap cube{};
    bool complete = true;
    SkyFaces() {
        const char* names[6] = {"xpos.float", "xneg.float", "ypos.float", "yneg.float", "zpos.float", "zneg.float"};
        for (int f = 0; f < 6; ++f) {
            FILE* file = std::fopen(assetPath(names[f]).c_str(), "rb");
            float* texels = vyxReadFloatFace(file, names[f]);
            if (!texels)
                complete = false;
            vyxMakeTexture(faces[f], 256, 256, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
            cube.faces[f] = &faces[f];
        }
    }
    ~SkyFaces() {
        for (vyxTexture& face : faces)
            std::free(face.data);
    }
    double luminance(double x, double y, double z) const {
        float rgba[4] = {-1, -1, -1, -1};
        vyxSampleCubeMap(cube, static_cast<float>(x), static_cast<float>(y), static_cast<float>(z), rgba);
        return 0.2126 * rgba[0] + 0.7152 * rgba[1] + 0.0722 * rgba[2];
    }
};

static const SkyFaces& sky() {
    static SkyFaces faces;
    return faces;
}

TEST(SkyAsset, FacesAreWholeFiniteAndNonNegative) {
    const char* names[6] = {"xpos.float", "xneg.float", "ypos.float", "yneg.float", "zpos.float", "zneg.float"};
    for (const char* name : names) {
        struct stat info;
        ASSERT_EQ(stat(assetPath(name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_size, vyxFloatFaceBytes) << name;
    }
    ASSERT_TRUE(sky().complete);
    for (int f = 0; f < 6; ++f) {
        const float* texels = static_cast<const float*>(sky().faces[f].data);
        ASSERT_NE(texels, nullptr);
        for (int i = 0; i < 256 * 256 * 3; ++i)
            ASSERT_TRUE(std::isfinite(texels[i]) && texels[i] >= 0.0f) << "face " << f << " value " << i;
    }
}

// Walks along each of the twelve cube edges and steps across it. A face stored with the
// wrong orientation or mirrored shows a jump across the edge far larger than the change
// over the same step just beside the edge, on either face.
TEST(SkyAsset, SeamlessAcrossEveryFaceEdge) {
    ASSERT_TRUE(sky().complete);
    const double step = 2.0 / 256; // one texel in face coordinates
    int edges = 0;
    for (int axisA = 0; axisA < 3; ++axisA)
        for (int axisB = axisA + 1; axisB < 3; ++axisB)
            for (int signA = -1; signA <= 1; signA += 2)
                for (int signB = -1; signB <= 1; signB += 2) {
                    int along = 3 - axisA - axisB;
                    ++edges;
                    for (int k = 1; k < 16; ++k) {
                        double t = -0.9 + 1.8 * k / 16;
                        // Points at distance s from the edge, on face A (s < 0) or face B (s > 0).
                        auto point = [&](double s, double out[3]) {
                            out[along] = t;
                            out[axisA] = signA * (s < 0 ? 1.0 : 1.0 - s);
                            out[axisB] = signB * (s < 0 ? 1.0 + s : 1.0);
                        };
                        double l[4];
                        const double offsets[4] = {-1.5 * step, -0.5 * step, 0.5 * step, 1.5 * step};
                        for (int i = 0; i < 4; ++i) {
                            double d[3];
                            point(offsets[i], d);
                            l[i] = sky().luminance(d[0], d[1], d[2]);
                        }
                        double across = std::fabs(l[2] - l[1]);
                        double beside = std::max(std::fabs(l[1] - l[0]), std::fabs(l[3] - l[2]));
                        EXPECT_LE(across, 2.5 * beside + 0.01 * l[1] + 1e-4)
                            << "edge between axis " << axisA << " sign " << signA << " and axis " << axisB << " sign "
                            << signB << " at " << t;
                    }
                }
    EXPECT_EQ(edges, 12);
}

TEST(SkyAsset, SunGlowInTheSunDirectionHorizonBrightGroundDark) {
    ASSERT_TRUE(sky().complete);
    const double sun[3] = {0.375 / 1.17266, 0.484 / 1.17266, 1.0 / 1.17266};
    // The brightest of a dense set of directions lies within two degrees of the sun.
    double best = -1, bestDot = 0;
    const int count = 200000;
    for (int i = 0; i < count; ++i) {
        double z = 1 - 2 * (i + 0.5) / count, r = std::sqrt(1 - z * z), phi = 2.399963229728653 * i;
        double d[3] = {r * std::cos(phi), z, r * std::sin(phi)};
        double l = sky().luminance(d[0], d[1], d[2]);
        if (l > best)
            best = l, bestDot = d[0] * sun[0] + d[1] * sun[1] + d[2] * sun[2];
    }
    EXPECT_GT(bestDot, std::cos(2.0 * 3.14159265 / 180));
    EXPECT_GT(best, 1.0);
    // Away from the sun: brighter toward the horizon than at the zenith, dark below.
    const double awayFromSun[2] = {-sun[0], -sun[2]};
    double zenith = sky().luminance(0, 1, 0);
    double horizon = sky().luminance(awayFromSun[0], 0.03, awayFromSun[1]);
    double ground = sky().luminance(awayFromSun[0], -0.5, awayFromSun[1]);
    EXPECT_GT(horizon, zenith);
    EXPECT_GT(zenith, 2 * ground);
    EXPECT_GT(ground, 0.0);
    EXPECT_LT(horizon, 1.0);
}

// ---------------------------------------------------------------------------------------
// Textures and font.

TEST(TextureAssets, CheckerHasTwoColoursAndSandTilesWithoutASeam) {
    vyxTexture checker{};
    ASSERT_TRUE(vyxLoadImageTexture(assetPath("checker-board.png").c_str(), checker, FilterNearest));
    EXPECT_EQ(checker.width, 256);
    EXPECT_EQ(checker.height, 256);
    std::set<uint32_t> colours;
    const uint8_t* c = static_cast<const uint8_t*>(checker.data);
    for (int i = 0; i < checker.width * checker.height; ++i)
        colours.insert(c[4 * i] | c[4 * i + 1] << 8 | static_cast<uint32_t>(c[4 * i + 2]) << 16);
    EXPECT_EQ(colours.size(), 2u);
    std::free(checker.data);

    vyxTexture sand{};
    ASSERT_TRUE(vyxLoadImageTexture(assetPath("sand.jpg").c_str(), sand, FilterBilinear));
    ASSERT_EQ(sand.width, 512);
    ASSERT_EQ(sand.height, 512);
    const uint8_t* s = static_cast<const uint8_t*>(sand.data);
    // Mean absolute step between neighbouring columns (rows): across the wrap (last to
    // first) it must look like any other step, not like a cut between unrelated texels.
    auto step = [&](int a, int b, bool columns) {
        double sum = 0;
        for (int i = 0; i < 512; ++i)
            for (int ch = 0; ch < 3; ++ch) {
                int pa = columns ? i * 512 + a : a * 512 + i, pb = columns ? i * 512 + b : b * 512 + i;
                sum += std::abs(s[4 * pa + ch] - s[4 * pb + ch]);
            }
        return sum / (512 * 3);
    };
    for (bool columns : {true, false}) {
        double interior = 0;
        for (int k = 0; k < 511; ++k)
            interior += step(k, k + 1, columns);
        interior /= 511;
        EXPECT_LT(step(511, 0, columns), 1.5 * interior) << (columns ? "columns" : "rows");
    }
    // Warm: red above green above blue on average.
    double mean[3] = {0, 0, 0};
    for (int i = 0; i < 512 * 512; ++i)
        for (int ch = 0; ch < 3; ++ch)
            mean[ch] += s[4 * i + ch];
    EXPECT_GT(mean[0], mean[1]);
    EXPECT_GT(mean[1], mean[2]);
    std::free(sand.data);
}

TEST(FontAsset, OpensWithItsLicenceBeside) {
    ASSERT_EQ(TTF_Init(), 0);
    TTF_Font* font = TTF_OpenFont(assetPath("Prelude-Medium.ttf").c_str(), 12);
    EXPECT_NE(font, nullptr);
    if (font)
        TTF_CloseFont(font);
    TTF_Quit();
    EXPECT_FALSE(readFile(assetPath("Prelude-Medium.LICENSE.txt")).empty());
}

// ---------------------------------------------------------------------------------------
// The generator's command line. The program sits in the build tree beside the assets.

static std::string generatorPath() { return std::string(VYX_ASSETS_DIR) + "/../tools/vyx-make-assets"; }

static int runGenerator(const std::string& arguments) {
    std::string command = generatorPath() + " " + arguments + " 2>/dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(AssetGenerator, ExitStatusForBadArgumentsAndUnwritableFolders) {
    struct stat info;
    if (stat(generatorPath().c_str(), &info) != 0)
        GTEST_SKIP() << "no generator at " << generatorPath();
    EXPECT_EQ(runGenerator(""), 2);
    EXPECT_EQ(runGenerator("a b"), 2);
    EXPECT_EQ(runGenerator("''"), 2);
    // A regular file where the folder should be, and a folder under it.
    std::string file = assetPath("venus.obj");
    EXPECT_EQ(runGenerator(file), 1);
    EXPECT_EQ(runGenerator(file + "/inside"), 1);
}

TEST(AssetGenerator, TwoRunsWriteIdenticalFiles) {
    struct stat info;
    if (stat(generatorPath().c_str(), &info) != 0)
        GTEST_SKIP() << "no generator at " << generatorPath();
    ScratchDir dir;
    ASSERT_EQ(runGenerator(dir.file("fresh")), 0);
    const char* names[] = {"checker-board.png",  "sand.jpg",
                           "xpos.float",         "xneg.float",
                           "ypos.float",         "yneg.float",
                           "zpos.float",         "zneg.float",
                           "venus.obj",          "venus-stone.mtl",
                           "venus-metal.mtl",    "venus-marble.png",
                           "Prelude-Medium.ttf", "Prelude-Medium.LICENSE.txt"};
    for (const char* name : names) {
        std::string fresh = readFile(dir.file("fresh/") + name);
        EXPECT_FALSE(fresh.empty()) << name;
        EXPECT_TRUE(fresh == readFile(assetPath(name))) << name << " differs between runs";
    }
}
