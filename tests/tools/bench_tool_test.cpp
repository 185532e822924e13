// vyx-bench run as a separate process: exit status and messages for bad arguments and
// missing assets, and one frame of every preset written as a PNG of the requested size.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "SDL.h"
#include "SDL_image.h"
#include "tests/support/scratch.h"

namespace {

struct BenchRun {
    int status = -1; // exit status, or -1 when the tool did not exit normally
    std::string out, err;
};

BenchRun runBench(const std::string& arguments) {
    ScratchDir scratch;
    BenchRun run;
    std::string command =
        std::string(VYX_BENCH_PATH) + " " + arguments + " >" + scratch.file("out") + " 2>" + scratch.file("err");
    int raw = std::system(command.c_str());
    if (raw != -1 && WIFEXITED(raw))
        run.status = WEXITSTATUS(raw);
    run.out = readFile(scratch.file("out"));
    run.err = readFile(scratch.file("err"));
    return run;
}

} // namespace

TEST(BenchTool, BadArgumentsExitTwoWithTheUsage) {
    const char* cases[] = {
        "--size",      "--size 0x10",     "--size 10x0",       "--size 8193x8", "--size 64x48px",
        "--size big",  "--preset 6",      "--preset -1",       "--preset",      "--camera 4",
        "--frames 0",  "--frames 2x",     "--threads 0",       "--threads 65",  "--time nan",
        "--time -1",   "--time inf",      "--assets",          "--out",         "--json",
        "--unknown",   "extra",           "--ao --preset one", "--model",       "--samples",
        "--samples 0", "--samples 65537", "--samples x",       "--samples 2x",  "--samples 2 --no-interp"};
    for (const char* arguments : cases) {
        BenchRun run = runBench(arguments);
        EXPECT_EQ(run.status, 2) << arguments << "\n" << run.err;
        EXPECT_NE(run.err.find("vyx-bench: "), std::string::npos) << arguments << ": " << run.err;
        EXPECT_NE(run.err.find("usage: vyx-bench"), std::string::npos) << arguments << ": " << run.err;
        EXPECT_EQ(run.out, "") << arguments;
    }
}

TEST(BenchTool, HelpExitsZeroWithTheUsage) {
    for (const char* arguments : {"--help", "-h", "--preset 3 --help"}) {
        BenchRun run = runBench(arguments);
        EXPECT_EQ(run.status, 0) << arguments;
        EXPECT_NE(run.out.find("usage: vyx-bench"), std::string::npos) << arguments << ": " << run.out;
        EXPECT_EQ(run.err, "") << arguments;
    }
}

TEST(BenchTool, MissingAssetsExitOneNamingTheFolder) {
    ScratchDir empty;
    for (std::string folder : {empty.path(), empty.file("absent"), std::string("/dev/null")}) {
        BenchRun run = runBench("--size 32x24 --frames 1 --assets " + folder);
        EXPECT_EQ(run.status, 1) << folder << "\n" << run.err;
        EXPECT_NE(run.err.find(folder), std::string::npos) << folder << ": " << run.err;
    }
}

TEST(BenchTool, OneFrameOfEveryPresetDecodesAtTheRequestedSize) {
    // Odd sizes, neither a multiple of the renderers' blocks nor of the thread bands.
    const int width = 75, height = 41;
    ScratchDir out;
    BenchRun run = runBench("--size 75x41 --preset all --frames 1 --threads 3 --out " + out.file("images"));
    ASSERT_EQ(run.status, 0) << run.err;
    for (int preset = 0; preset < 6; ++preset) {
        std::string name = out.path() + "/images/vyx-75x41-p" + std::to_string(preset) + "-c0.png";
        SDL_Surface* image = IMG_Load(name.c_str());
        ASSERT_NE(image, nullptr) << name << ": " << IMG_GetError();
        EXPECT_EQ(image->w, width) << name;
        EXPECT_EQ(image->h, height) << name;
        // The camera looks at the lit scene: the picture is neither black nor flat.
        SDL_LockSurface(image);
        const uint8_t* first = static_cast<const uint8_t*>(image->pixels);
        int bytesPerPixel = image->format->BytesPerPixel;
        bool varies = false, anyLit = false;
        for (int y = 0; y < image->h; ++y)
            for (int x = 0; x < image->w * bytesPerPixel; ++x) {
                uint8_t v = static_cast<const uint8_t*>(image->pixels)[y * image->pitch + x];
                varies |= v != first[x % bytesPerPixel];
                anyLit |= v != 0;
            }
        SDL_UnlockSurface(image);
        EXPECT_TRUE(varies && anyLit) << name;
        SDL_FreeSurface(image);
    }
}

TEST(BenchTool, SamplesRenderAStillWithProgress) {
    ScratchDir out;
    BenchRun run = runBench("--size 40x30 --samples 3 --camera 2 --time 500 --out " + out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("3 / 3 samples"), std::string::npos) << run.err;
    SDL_Surface* image = IMG_Load((out.path() + "/vyx-40x30-p0-c2-s3.png").c_str());
    ASSERT_NE(image, nullptr) << IMG_GetError();
    EXPECT_EQ(image->w * 100 + image->h, 40 * 100 + 30);
    SDL_FreeSurface(image);
}

// A model in the sample model's place: real data (the scanned bunny of Debian's
// glmark2-data, when installed), a model without faces (valid and empty) and ones that
// cannot be read, which end the run without a frame and without the sample model.
TEST(BenchTool, ModelOnTheCommandLine) {
    ScratchDir dir;
    dir.write("points.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nl 1 2 3\n");
    // A triangle whose library lies beside the model's folder: read unless confined.
    dir.write("beside.mtl", "newmtl m\nKd 1 0 0\n");
    dir.makeFolder("model");
    dir.write("model/beside.obj", "mtllib ../beside.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n");
    const std::string bunny = "/usr/share/glmark2/models/bunny.obj";
    struct Case {
        std::string model;
        int status;
        std::string err; // expected in stderr; "" = stderr empty
    };
    std::vector<Case> cases = {
        {dir.file("points.obj"), 0, dir.path() + "/points.obj has no faces to draw"},
        {dir.file("missing.obj"), 1,
         "vyx-bench: the model " + dir.file("missing.obj") +
             " could not be read: No such file or directory; stopping without a frame"},
        {dir.file("model/beside.obj"), 0, ""},
        {dir.file("model/beside.obj") + " --confine", 0,
         "vyx: " + dir.file("model/../beside.mtl") + " lies outside the model's folder " + dir.file("model/") +
             "; not read (--confine)"},
        {"/dev/zero", 1, "could not be read: it is a character device, not a regular file"},
        // Binary 3DS, read as OBJ text before models were told apart by their content.
        {"/usr/share/glmark2/models/horse.3ds", 0, ""},
        {"/usr/share/assimp/models/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", 0, ""},
    };
    // Cut short, the scan makes the import helper fail an assertion.
    dir.write("cut.ply", readFile("/usr/share/assimp/models/PLY/Wuson.ply").substr(0, 457877));
    cases.push_back({dir.file("cut.ply"), 1, "could not be read: the importer crashed (aborted"});
    if (std::ifstream(bunny).good()) {
        cases.push_back({bunny, 0, ""});
    }
    for (const Case& c : cases) {
        BenchRun run = runBench("--size 64x48 --frames 1 --threads 2 --model " + c.model);
        EXPECT_EQ(run.status, c.status) << c.model << "\n" << run.err;
        EXPECT_EQ(run.err.find("showing the sample model"), std::string::npos) << c.model << ": " << run.err;
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "") << c.model;
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << c.model << ": " << run.err;
        }
        const std::string model = c.model.substr(0, c.model.find(' '));
        if (c.status == 0 && c.model.find(".obj") != std::string::npos) {
            EXPECT_NE(run.out.find("Opened file " + model), std::string::npos) << c.model << ": " << run.out;
        }
    }
}
