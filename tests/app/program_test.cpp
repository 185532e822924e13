// The program's start-up path: the first frame time the game state sees covers loading,
// on SDL's running clock (a reading taken before SDL starts its clock is the wall clock
// truncated to 32 bits, billions of milliseconds away). The frame times are compared with
// readings of the same clock, never with a fixed duration.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "SDL.h"

#include "app/game_state.h"
#include "app/program.h"
#include "tests/support/capture.h"

namespace {

struct RecordingState : GameState {
    std::vector<float> frameTimes;
    std::vector<Uint32> updateTicks; // SDL's clock in each Update (ms since SDL started)
    Uint32 loadTicks = 0;            // how long Load took on that clock
    int32_t* running = nullptr;
    void Init(const AppContext& context) override { running = context.running; }
    // Loading takes until SDL's clock has moved on by 50 ms.
    void Load() override {
        const Uint32 start = SDL_GetTicks();
        while (SDL_GetTicks() - start < 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        loadTicks = SDL_GetTicks() - start;
    }
    void Unload() override {}
    void Update(float frameTime) override {
        frameTimes.push_back(frameTime);
        updateTicks.push_back(SDL_GetTicks());
        if (frameTimes.size() == 3)
            *running = 0;
    }
    void Render() override {}
};

} // namespace

TEST(Program, FirstFrameTimeCoversLoadingOnly) {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    RecordingState state;
    EXPECT_EQ(vyxRunProgram(state, 32, 24), 0);
    ASSERT_EQ(state.frameTimes.size(), 3u);
    // The first frame time holds all of loading; no frame time is longer than SDL has run.
    EXPECT_GE(std::lround(state.frameTimes[0] * 1000.0f), static_cast<long>(state.loadTicks));
    for (size_t i = 0; i < state.frameTimes.size(); ++i)
        EXPECT_LE(std::lround(state.frameTimes[i] * 1000.0f), static_cast<long>(state.updateTicks[i])) << i;
}

TEST(Program, CommandLine) {
    struct Case {
        std::vector<const char*> arguments; // after the program name
        int status;                         // -1 = go on
        bool help, version;
        const char* model;   // null = none
        const char* message; // on stderr; "" = nothing
        bool confine = false;
    };
    const Case cases[] = {
        {{}, -1, false, false, nullptr, ""},
        {{"bunny.obj"}, -1, false, false, "bunny.obj", ""},
        {{"--help"}, -1, true, false, nullptr, ""},
        {{"-h", "x.obj"}, -1, true, false, "x.obj", ""},
        {{"--version"}, -1, false, true, nullptr, ""},
        {{"--", "--version"}, -1, false, false, "--version", ""},
        {{"--", "-dash.obj"}, -1, false, false, "-dash.obj", ""},
        {{"-"}, -1, false, false, "-", ""},
        {{"--fast"},
         2,
         false,
         false,
         nullptr,
         "vyx-raytracer: unknown option --fast\nusage: vyx-raytracer [--help] [--version] [--confine] "
         "[MODEL.obj|gltf|glb|ply|stl|3ds|fbx|dae|...]\n"},
        {{"--f\x1b[2J"},
         2,
         false,
         false,
         nullptr,
         "vyx-raytracer: unknown option --f\\x1b[2J\nusage: vyx-raytracer [--help] [--version] [--confine] "
         "[MODEL.obj|gltf|glb|ply|stl|3ds|fbx|dae|...]\n"},
        {{"--confine", "m.gltf"}, -1, false, false, "m.gltf", "", true},
        {{"a.obj", "b.obj"},
         2,
         false,
         false,
         "a.obj",
         "vyx-raytracer: one model at a time (a.obj and b.obj given)\nusage: vyx-raytracer [--help] [--version] "
         "[--confine] "
         "[MODEL.obj|gltf|glb|ply|stl|3ds|fbx|dae|...]\n"},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("../vyx-raytracer")};
        for (const char* argument : c.arguments)
            argv.push_back(const_cast<char*>(argument));
        vyxCommandLine commandLine;
        int status = 0;
        const std::string err =
            capture([&] { status = vyxParseCommandLine(static_cast<int>(argv.size()), argv.data(), commandLine); }).err;
        std::string what = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(status, c.status) << what;
        EXPECT_EQ(commandLine.help, c.help) << what;
        EXPECT_EQ(commandLine.version, c.version) << what;
        EXPECT_EQ(commandLine.confine, c.confine) << what;
        EXPECT_STREQ(commandLine.model, c.model) << what;
        EXPECT_EQ(err, c.message) << what;
    }
}
