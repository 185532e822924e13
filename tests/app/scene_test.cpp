// The sample scene's lifecycle on the generated assets and on an empty folder:
// contents after Load, release and reload without growth, tracing with every asset
// missing, the display-mode switch and screenshots.

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "SDL_image.h"

#include "app/sample_scene.h"
#include "geometry/query.h"
#include "render/frame.h"
#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"
#include "util/file_bundle.h"
#include "util/large_alloc.h"

#ifndef VYX_ASSETS_DIR
#define VYX_ASSETS_DIR ""
#endif

static bool assetsPresent() {
    struct stat info;
    return stat((std::string(VYX_ASSETS_DIR) + "/venus.obj").c_str(), &info) == 0;
}

// Resident memory in pages, from /proc/self/statm.
static long residentPages() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident;
}

static std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(d);
    }
    return names;
}

// Tests run in the folder of the generated assets with SDL_ttf started; skipped when the
// build generated none.
class SampleSceneAssets : public testing::Test {
protected:
    void SetUp() override {
        if (!assetsPresent())
            GTEST_SKIP() << "no generated assets in " << VYX_ASSETS_DIR;
        work = std::make_unique<WorkingDir>(VYX_ASSETS_DIR);
        TTF_Init();
    }
    void TearDown() override {
        if (work)
            TTF_Quit();
    }

    std::unique_ptr<WorkingDir> work;
};

TEST_F(SampleSceneAssets, LoadsTheGeneratedAssets) {
    GSSampleScene scene;
    scene.Load();
    ASSERT_TRUE(scene.loaded);

    // Traced: terrain then model, sun then sky. The torus, its copy and the point light
    // are built but never traced.
    ASSERT_EQ(scene.scene.meshCount, 2);
    EXPECT_EQ(scene.scene.meshes[0], &scene.terrain);
    EXPECT_EQ(scene.scene.meshes[1], &scene.model);
    ASSERT_EQ(scene.scene.lightCount, 2);
    EXPECT_EQ(scene.scene.lights[0], scene.sunLight);
    EXPECT_EQ(scene.scene.lights[1], scene.skyLight);
    EXPECT_EQ(scene.sunLight->kind, LightDisc);
    EXPECT_EQ(scene.skyLight->kind, LightHemisphere);
    ASSERT_NE(scene.pointLight, nullptr);
    EXPECT_EQ(scene.pointLight->kind, LightPoint);
    EXPECT_EQ(scene.pointLight->falloff, FalloffRational);

    ASSERT_EQ(scene.scene.cubeMap, &scene.cubeFaces);
    for (int face = 0; face < 6; ++face) {
        ASSERT_NE(scene.cubeFaces.faces[face], nullptr) << "face " << face;
        EXPECT_NE(scene.cubeFaces.faces[face]->data, nullptr) << "face " << face;
        EXPECT_EQ(scene.cubeFaces.faces[face]->storage, StorageFloats);
    }
    EXPECT_NE(scene.font, nullptr);

    // The copy shares the torus arrays and hierarchy.
    EXPECT_GT(scene.torus.triangleCount, 0);
    EXPECT_EQ(scene.torusCopy.triangles, scene.torus.triangles);
    EXPECT_EQ(scene.torusCopy.corners, scene.torus.corners);
    EXPECT_EQ(scene.torusCopy.materials, scene.torus.materials);
    EXPECT_EQ(scene.torusCopy.bih, scene.torus.bih);
    ASSERT_GT(scene.torus.materialCount, 0);
    EXPECT_EQ(scene.torus.materials[0].texture, &scene.checkerTexture);
    EXPECT_NE(scene.checkerTexture.data, nullptr);
    EXPECT_EQ(scene.checkerTexture.filter, FilterNearest);

    ASSERT_GT(scene.terrain.materialCount, 0);
    EXPECT_EQ(scene.terrain.materials[0].texture, &scene.sandTexture);
    EXPECT_NE(scene.sandTexture.data, nullptr);
    EXPECT_EQ(scene.sandTexture.filter, FilterBilinear);

    // Every material feature the shading supports appears on the model.
    EXPECT_GE(scene.model.triangleCount, 60000);
    bool textured = false, mirror = false, translucent = false, unlit = false, specular = false, fresnel = false;
    for (int32_t m = 0; m < scene.model.materialCount; ++m) {
        const vyxMaterial& material = scene.model.materials[m];
        EXPECT_EQ(material.textureFile, nullptr) << "the file name is consumed by Load";
        if (material.texture != nullptr) {
            textured = true;
            EXPECT_NE(material.texture->data, nullptr);
            EXPECT_EQ(material.texture->channels, 4);
        }
        mirror |= material.reflectivity > 0.0f;
        translucent |= material.alpha < 1.0f;
        unlit |= material.unlit != 0;
        specular |= material.specular > 0.0f;
        fresnel |= material.fresnel > 0.0f;
    }
    EXPECT_TRUE(textured);
    EXPECT_TRUE(mirror);
    EXPECT_TRUE(translucent);
    EXPECT_TRUE(unlit);
    EXPECT_TRUE(specular);
    EXPECT_TRUE(fresnel);

    scene.Unload();
    EXPECT_FALSE(scene.loaded);
    EXPECT_EQ(scene.scene.meshCount, 0);
    EXPECT_EQ(scene.torus.triangles, nullptr);
    EXPECT_EQ(scene.torusCopy.triangles, nullptr);
    EXPECT_EQ(scene.font, nullptr);
    scene.Unload(); // harmless while unloaded
    EXPECT_FALSE(scene.loaded);
}

TEST_F(SampleSceneAssets, ReloadsKeepTheSceneAndDoNotGrowMemory) {
    // The allocator as the program sets it up (one heap for every thread): otherwise a
    // load's two halves land in whichever thread's heap runs them, and each heap grows to
    // a scene's working size on its own.
    vyxKeepFreedMemory();
    GSSampleScene scene;
    scene.Load();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Under the sanitizers every reload is many times slower (twenty under the thread
    // sanitizer), and the address sanitizer's leak checker finds what a reload leaks: a
    // few suffice.
    const int reloads = 12;
#else
    const int reloads = 100;
#endif
    long settled = 0;
    size_t inUse = 0;
    // Bytes the program holds from the allocator, in its heap and in blocks of their own.
    auto held = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    for (int n = 0; n < reloads; ++n) {
        scene.Unload();
        scene.Load();
        ASSERT_EQ(scene.scene.meshCount, 2) << "reload " << n;
        ASSERT_EQ(scene.scene.lightCount, 2) << "reload " << n;
        ASSERT_EQ(scene.torusCopy.triangles, scene.torus.triangles) << "reload " << n;
        if (n == 0)
            inUse = held();
        // The allocator keeps what a load frees for the next one, and where the two halves
        // of a load, run side by side, place their blocks differs from load to load: its
        // heap reaches its working size over the first reloads.
        if (n == reloads / 5)
            settled = residentPages();
    }
    // What the scene holds is the same after every load: a leak of even one array per
    // reload would show here.
    const long leaked = static_cast<long>(held()) - static_cast<long>(inUse);
    EXPECT_LT(leaked, 1024 * 1024) << "the allocator holds " << leaked << " bytes more than after the first reload";
    long grown = residentPages() - settled;
    long pageKiB = sysconf(_SC_PAGESIZE) / 1024;
    // One load holds tens of megabytes; a leak of even one mesh per reload would add
    // gigabytes over the reloads.
    EXPECT_LT(grown * pageKiB, 64 * 1024) << "resident memory grew by " << grown * pageKiB << " KiB";
    scene.Load(); // over a loaded scene: replaces it (the leak checker watches this)
    ASSERT_EQ(scene.scene.meshCount, 2);
    scene.Unload();
    scene.Unload();
}

// Bounding box of the model's corners, placed by its transform for the current camera
// or, with `placed` false, in its own coordinates.
static void modelBounds(GSSampleScene& scene, bool placed, vyxVec3& low, vyxVec3& high) {
    scene.Animate();
    low = {INFINITY, INFINITY, INFINITY};
    high = -low;
    for (int32_t t = 0; t < scene.model.triangleCount; ++t)
        for (const float* p : {scene.model.triangles[t].p0, scene.model.triangles[t].p1, scene.model.triangles[t].p2}) {
            vyxVec3 w =
                placed ? vyxTransformPoint(scene.model.transform, {p[0], p[1], p[2]}) : vyxVec3{p[0], p[1], p[2]};
            low = {std::fmin(low.x, w.x), std::fmin(low.y, w.y), std::fmin(low.z, w.z)};
            high = {std::fmax(high.x, w.x), std::fmax(high.y, w.y), std::fmax(high.z, w.z)};
        }
}

// A model from a file stands where the sample model stands, with its centre and height
// (a flat one is fitted by its largest side), in every camera mode and after a reload;
// one that cannot be read leaves the sample model in its place.
TEST_F(SampleSceneAssets, ModelFromAFileTakesTheSampleModelsPlace) {
    ScratchDir models;
    models.write("tall.obj", "v 100 -40 7\nv 104 -40 7\nv 100 0 9\nv 104 0 9\nf 1 2 4 3\n");
    models.write("flat.obj", "v -9 3 -9\nv 9 3 -9\nv 9 3 9\nv -9 3 9\nf 1 2 3 4\n");
    // Cut short, this scan makes the import helper fail an assertion.
    models.write("crash.ply", readFile("/usr/share/assimp/models/PLY/Wuson.ply").substr(0, 457877));
    GSSampleScene sample;
    sample.Load();
    vyxVec3 low, high, sampleLow, sampleHigh;
    modelBounds(sample, false, low, high);
    EXPECT_NEAR((low.y + high.y) * 0.5f, vyxSampleModelCentre.y, 1e-4f) << "the box the fit aims at";
    EXPECT_NEAR(high.y - low.y, vyxSampleModelHeight, 1e-4f);
    for (const char* file : {"tall.obj", "flat.obj", "missing.obj", "crash.ply"}) {
        GSSampleScene scene;
        scene.modelPath = models.file(file);
        scene.importRun.helperPath = VYX_IMPORT_HELPER;
        const bool readable = std::string(file).find(".obj") != std::string::npos && std::string(file) != "missing.obj",
                   flat = std::string(file) == "flat.obj";
        for (int reload = 0; reload < 2; ++reload) {
            const std::string err = capture([&] { scene.Load(); }).err;
            EXPECT_EQ(scene.modelFromFile, readable) << file;
            EXPECT_EQ(scene.model.triangleCount, readable ? 2 : sample.model.triangleCount) << file;
            EXPECT_EQ(err.find(scene.modelPath + " could not be read: ") != std::string::npos, !readable) << err;
            EXPECT_EQ(err.find("; showing the sample model\n") != std::string::npos, !readable) << err;
            for (int camera : {0, 3}) {
                sample.cameraIndex = scene.cameraIndex = camera;
                sample.animationTime = scene.animationTime = 250.0f;
                modelBounds(sample, true, sampleLow, sampleHigh);
                modelBounds(scene, true, low, high);
                std::string what = std::string(file) + " camera " + std::to_string(camera);
                EXPECT_NEAR(low.y + high.y, sampleLow.y + sampleHigh.y, 2e-3f) << what;
                if (flat) {
                    EXPECT_LT(std::fmax(high.x - low.x, high.z - low.z), 2.0f * (sampleHigh.y - sampleLow.y)) << what;
                } else {
                    EXPECT_NEAR(high.y - low.y, sampleHigh.y - sampleLow.y, 1e-3f) << what;
                    EXPECT_NEAR(low.x + high.x, sampleLow.x + sampleHigh.x, 0.1f) << what;
                }
            }
            scene.Unload();
        }
    }
    sample.Unload();
}

// Names and foreign text reach stderr escaped: a model path holding a newline, an escape
// sequence or a byte that is not UTF-8, and the same in the names the model gives, leave
// every line of the output whole and send no control byte to the terminal.
TEST_F(SampleSceneAssets, HostileNamesArePrintedEscaped) {
    ScratchDir models;
    const std::string glb = readFile("/usr/share/assimp/models/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb");
    struct Case {
        std::string name, escaped;
    } const cases[] = {
        {"new\nvyx: forged", "new\\nvyx: forged"},
        {"esc\x1b[2J", "esc\\x1b[2J"},
        {"byte\xff", "byte\\xff"},
    };
    for (const Case& c : cases) {
        // An OBJ model naming a missing library and material, and a binary glTF cut short.
        models.write(c.name + ".obj",
                     "mtllib " + c.name + ".mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl " + c.name + "\nf 1 2 3\n");
        models.write(c.name + ".glb", glb.substr(0, 1000));
        for (const char* kind : {".obj", ".glb"}) {
            GSSampleScene scene;
            scene.modelPath = models.file(c.name + kind);
            scene.importRun.helperPath = VYX_IMPORT_HELPER;
            const std::string err = capture([&] { scene.Load(); }).err;
            const std::string what = c.escaped + kind + ": " + err;
            EXPECT_NE(err.find(c.escaped + kind), std::string::npos) << what;
            for (char byte : err)
                EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7f)) << what;
            size_t start = 0;
            for (size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1)
                EXPECT_EQ(err.compare(start, 5, "vyx: "), 0) << what;
            scene.Unload();
        }
    }
}

// Another process loads the scene from the files this one recorded while loading: in a
// folder that holds none of them, it builds the same scene and traces the same frame.
TEST_F(SampleSceneAssets, AReplayedFileBundleBuildsTheSameScene) {
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    settings.flags = RenderSubdivision | RenderThreaded | RenderCheckShadows;
    auto traced = [&settings](GSSampleScene& scene) {
        scene.Animate();
        scene.camera.imageWidth = 64;
        scene.camera.imageHeight = 48;
        vyxUpdateCamera(scene.camera);
        FrameBuffer frame = vyxAllocFrame(64, 48);
        vyxRenderFrame(scene.scene, scene.camera, frame, settings);
        std::vector<vyxVec3> pixels(frame.pixels, frame.pixels + 64 * 48);
        vyxFreeFrame(frame);
        return pixels;
    };
    GSSampleScene first;
    vyxBundleRecordStart();
    first.Load();
    vyxFileBundle bundle = vyxBundleRecordStop();
    EXPECT_GT(bundle.byteCount, 4000000u) << "the model, its textures and the sky faces";
    const std::vector<vyxVec3> expected = traced(first);

    ScratchWorkDir empty;
    GSSampleScene second;
    second.wantsFont = false;
    vyxBundleReplayStart(std::move(bundle));
    second.Load();
    vyxBundleReplayStop();
    EXPECT_EQ(second.model.triangleCount, first.model.triangleCount);
    EXPECT_EQ(second.model.materialCount, first.model.materialCount);
    for (int face = 0; face < 6; ++face)
        ASSERT_NE(second.cubeFaces.faces[face], nullptr) << "face " << face;
    ASSERT_NE(second.sandTexture.data, nullptr);
    EXPECT_EQ(second.font, nullptr);
    const std::vector<vyxVec3> replayed = traced(second);
    EXPECT_EQ(std::memcmp(expected.data(), replayed.data(), expected.size() * sizeof(vyxVec3)), 0);
    second.Unload();
    first.Unload();
}

TEST(SampleScene, EmptyFolderLoadsAndTraces) {
    SdlSession sdl(48, 32);
    ASSERT_NE(sdl.screen, nullptr);
    ScratchWorkDir work; // nothing in it
    int32_t running = 1;
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    GSSampleScene scene;
    scene.Load();
    ASSERT_TRUE(scene.loaded);
    EXPECT_EQ(scene.scene.meshCount, 2);
    EXPECT_EQ(scene.scene.lightCount, 2);
    EXPECT_EQ(scene.model.triangleCount, 0);
    EXPECT_EQ(scene.font, nullptr);
    EXPECT_EQ(scene.checkerTexture.data, nullptr);
    EXPECT_EQ(scene.torus.materials[0].texture, nullptr) << "no checker texels: no texture";
    for (int face = 0; face < 6; ++face)
        EXPECT_EQ(scene.cubeFaces.faces[face], nullptr);

    // A ray straight at where the model stands hits nothing of it.
    scene.Animate();
    vyxTraceResult hit = vyxTraceMesh(scene.model, {0, 0, 10}, {0, 0, -1}, -1.0f);
    EXPECT_LT(hit.t, 0.0f);

    scene.Init(makeContext(sdl.screen, 48, 32, &running, &settings));
    for (int preset : {0, 3, 4, 5}) {
        scene.presetIndex = preset;
        scene.Render();
        bool anyLit = false;
        for (int n = 0; n < 48 * 32 * 3; ++n)
            anyLit |= scene.presentPixels[n] != 0;
        EXPECT_TRUE(anyLit) << "preset " << preset << ": the terrain and the fog still show";
    }

    // Without block interpolation most pixels are not written by the renderer: they must
    // come out black, not as what the frame's memory held before.
    scene.presetIndex = 0;
    scene.noInterpolationToggle = true;
    scene.Animate();
    vyxUpdateCamera(scene.camera);
    FrameBuffer frame = vyxAllocFrame(48, 32);
    for (int n = 0; n < 48 * 32; ++n)
        frame.pixels[n] = {123.0f, 123.0f, 123.0f};
    scene.TraceFrame(frame);
    int blank = 0;
    for (int n = 0; n < 48 * 32; ++n) {
        ASSERT_NE(frame.pixels[n].x, 123.0f) << "pixel " << n << " kept stale memory";
        blank += frame.pixels[n] == vyxVec3{0, 0, 0};
    }
    EXPECT_GT(blank, 48 * 32 / 2);
    vyxFreeFrame(frame);
    scene.Unload();
}

TEST(SampleScene, DamagedAssetsLoadAsEmptyResources) {
    SdlSession sdl(32, 24);
    ASSERT_NE(sdl.screen, nullptr);
    ScratchWorkDir work;
    const std::string garbage = "\x89PNG\r\n\x1a\nthis is not an image at all \xff\xd8\xff";
    writeFile("checker-board.png", garbage);
    writeFile("sand.jpg", garbage);
    writeFile("Prelude-Medium.ttf", garbage);
    for (const char* face : {"xpos.float", "xneg.float", "ypos.float", "yneg.float", "zpos.float", "zneg.float"})
        writeFile(face, std::string(1000, '\x7f')); // far shorter than a face
    // A model whose library names a damaged texture and one that does not exist.
    writeFile("venus.obj", "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvt 0 0\nusemtl broken\n"
                           "f 1/1 2/1 3/1\nusemtl missing\nf 2 4 3\nf 1 2 99\n");
    writeFile("lib.mtl", "newmtl broken\nKd 0.5 0.5 0.5\nmap_Kd checker-board.png\n"
                         "newmtl missing\nKd 0.2 0.3 0.4\nmap_Kd no-such-file.png\n");
    int32_t running = 1;
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    GSSampleScene scene;
    scene.Load();
    ASSERT_TRUE(scene.loaded);
    EXPECT_EQ(scene.checkerTexture.data, nullptr);
    EXPECT_EQ(scene.sandTexture.data, nullptr);
    EXPECT_EQ(scene.terrain.materials[0].texture, nullptr) << "untextured rather than black";
    EXPECT_EQ(scene.font, nullptr);
    for (int face = 0; face < 6; ++face)
        EXPECT_EQ(scene.cubeFaces.faces[face], nullptr) << "face " << face;
    EXPECT_GE(scene.model.triangleCount, 1);
    for (int32_t m = 0; m < scene.model.materialCount; ++m) {
        EXPECT_EQ(scene.model.materials[m].texture, nullptr) << "material " << m;
        EXPECT_EQ(scene.model.materials[m].textureFile, nullptr) << "material " << m;
    }
    scene.Init(makeContext(sdl.screen, 32, 24, &running, &settings));
    scene.presetIndex = 4;
    scene.Render();
    scene.Unload();
}

TEST(SampleScene, ScreenshotWritesADatedBmpOrReportsFailure) {
    SdlSession sdl(40, 30);
    ASSERT_NE(sdl.screen, nullptr);
    ScratchWorkDir work;
    int32_t running = 1;
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    GSSampleScene scene;
    scene.Init(makeContext(sdl.screen, 40, 30, &running, &settings));
    for (int n = 0; n < 40 * 30 * 3; ++n)
        scene.presentPixels[n] = static_cast<uint8_t>(n * 7 % 251);
    const time_t before = time(nullptr);
    ASSERT_TRUE(scene.TakeScreenshot());
    const time_t after = time(nullptr);
    std::vector<std::string> names = filesIn(work.path());
    ASSERT_EQ(names.size(), 2u);
    std::sort(names.begin(), names.end()); // the BMP first

    // "%04d-%02d-%02d_vyx_screenshot_%d.bmp": the seconds count (time() cut to 32 bits) of
    // a moment during the call, and that moment's local date.
    int year = 0, month = 0, day = 0, seconds = 0, end = 0;
    ASSERT_EQ(std::sscanf(names[0].c_str(), "%4d-%2d-%2d_vyx_screenshot_%d.bmp%n", &year, &month, &day, &seconds, &end),
              4)
        << names[0];
    EXPECT_EQ(static_cast<size_t>(end), names[0].size()) << names[0];
    EXPECT_EQ(names[0][4], '-');
    EXPECT_EQ(names[0][7], '-');
    const uint32_t sinceBefore = static_cast<uint32_t>(seconds) - static_cast<uint32_t>(before);
    ASSERT_LE(sinceBefore, static_cast<uint64_t>(after - before)) << "seconds since 1970: " << seconds;
    const time_t taken = before + sinceBefore;
    struct tm local;
    ASSERT_NE(localtime_r(&taken, &local), nullptr);
    EXPECT_EQ(year, local.tm_year + 1900);
    EXPECT_EQ(month, local.tm_mon + 1);
    EXPECT_EQ(day, local.tm_mday);
    struct stat info;
    ASSERT_EQ(stat((work.path() + "/" + names[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 54 + 40 * 30 * 3) << "24-bit BMP at the window size";

    // Beside it a PNG of the same name with the same pixels.
    ASSERT_EQ(names[1], names[0].substr(0, names[0].size() - 4) + ".png");
    SDL_Surface* png = IMG_Load((work.path() + "/" + names[1]).c_str());
    ASSERT_TRUE(png != nullptr && png->format->BytesPerPixel == 3) << IMG_GetError();
    for (int y = 0; y < 30; ++y)
        EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(png->pixels) + y * png->pitch, scene.presentPixels + y * 120, 120),
                  0);
    SDL_FreeSurface(png);

    // A write that fails halfway (here the file size limit, as a full disk would) is
    // reported and leaves no partial file behind.
    {
        ScratchWorkDir full;
        rlimit previous;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
        rlimit small = previous;
        small.rlim_cur = 1000;
        sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        bool saved = false;
        const std::string err = capture([&] { saved = scene.TakeScreenshot(); }).err;
        setrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, handler);
        EXPECT_FALSE(saved);
        EXPECT_NE(err.find("the partial file is removed"), std::string::npos) << err;
        EXPECT_TRUE(filesIn(full.path()).empty()) << filesIn(full.path())[0];
    }

    // A folder that has gone away: the screenshot is skipped, nothing crashes.
    ScratchWorkDir gone;
    ASSERT_EQ(rmdir(gone.path().c_str()), 0);
    EXPECT_FALSE(scene.TakeScreenshot());
}

TEST(SampleScene, DisplayModeSwitchKeepsImageAndWindowTogether) {
    SdlSession sdl(64, 48);
    ASSERT_NE(sdl.screen, nullptr);
    int32_t running = 1;
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    GSSampleScene scene;
    scene.Init(makeContext(sdl.screen, 64, 48, &running, &settings));
    auto consistent = [&](const char* step) {
        ASSERT_NE(scene.context.screen, nullptr) << step;
        ASSERT_NE(scene.presentSurface, nullptr) << step;
        EXPECT_EQ(scene.presentSurface->w, scene.context.screen->w) << step;
        EXPECT_EQ(scene.presentSurface->h, scene.context.screen->h) << step;
        EXPECT_EQ(scene.presentSurface->pixels, scene.presentPixels) << step;
    };
    consistent("start");

    // Full screen with an explicit size (the dummy driver has no display size of its
    // own), back to the window, and full screen again at the remembered size.
    scene.savedFullscreenWidth = 80;
    scene.savedFullscreenHeight = 60;
    scene.SetDisplayMode(true);
    consistent("full screen");
    EXPECT_TRUE(scene.context.fullscreen);
    EXPECT_EQ(scene.context.screen->w, 80);
    scene.SetDisplayMode(false);
    consistent("windowed");
    EXPECT_FALSE(scene.context.fullscreen);
    EXPECT_EQ(scene.context.screen->w, 64);
    EXPECT_EQ(scene.savedFullscreenWidth, 80);
    scene.SetDisplayMode(true);
    consistent("full screen again");
    EXPECT_EQ(scene.context.screen->w, 80);
    EXPECT_EQ(scene.context.screen->h, 60);

    // A frame rendered at 64 x 48 is resampled to the 80 x 60 window.
    scene.Load();
    scene.presetIndex = 4;
    scene.Render();
    scene.SetDisplayMode(false);

    // A mode SDL refuses: the previous mode stays, the image matches it.
    scene.savedFullscreenWidth = -8;
    scene.savedFullscreenHeight = 8;
    scene.SetDisplayMode(true);
    consistent("refused full screen");
    EXPECT_FALSE(scene.context.fullscreen);
    EXPECT_EQ(scene.context.screen->w, 64);
    EXPECT_EQ(running, 1);
    scene.Render();

    // A refused window size falls back to the last working mode as well.
    scene.savedFullscreenWidth = 80;
    scene.savedFullscreenHeight = 60;
    scene.SetDisplayMode(true);
    scene.context.windowWidth = -5;
    scene.SetDisplayMode(false);
    consistent("refused window");
    EXPECT_TRUE(scene.context.fullscreen);
    EXPECT_EQ(scene.context.screen->w, 80);
    scene.Render();
    scene.Unload();
}

TEST(SampleScene, StillViewRefinesWithHeldExposureUntilWhatItShowsChanges) {
    SdlSession sdl(32, 24);
    ScratchWorkDir work; // empty: a quick scene of terrain and fog
    int32_t running = 1;
    vyxRenderSettings settings = startupSettings(4);
    GSSampleScene scene;
    // The empty folder's missing assets are reported on stderr, which is not looked at here.
    capture([&] {
        scene.Load();
        scene.Init(makeContext(sdl.screen, 32, 24, &running, &settings));
        float clock = 0.0f; // each frame past the exposure's interval: an adapting one would measure
        auto frame = [&] {
            scene.Animate();
            vyxUpdateCamera(scene.camera);
            return scene.RefineFrame(clock += 2000.0f).action;
        };
        // {camera mode, change, whether it starts over}: the clock moves the orbit's model but
        // nothing the free walk shows; a reload changes no view byte.
        const std::tuple<int, std::function<void()>, bool> changes[] = {
            {0, [&] { scene.animationTime += 1.0f; }, true},
            {3, [&] { scene.animationTime += 1.0f; }, false},
            {0, [&] { scene.Load(); }, true},
        };
        for (const auto& [camera, change, startsOver] : changes) {
            scene.cameraIndex = camera;
            frame();
            ASSERT_EQ(frame(), RefineSample) << camera;
            ExposureState held = scene.exposure;
            ASSERT_EQ(frame(), RefineSample) << camera;
            EXPECT_EQ(std::memcmp(&held, &scene.exposure, sizeof(held)), 0) << camera << ": the exposure is held";
            change();
            EXPECT_EQ(frame(), startsOver ? RefineFresh : RefineSample) << camera;
        }
    });
    scene.Unload();
}
