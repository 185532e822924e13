// Update driven by SDL events pushed onto the queue of the dummy video driver: presets,
// camera modes, toggles, Init through "I", quitting, walking and mouse look.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "app/sample_scene.h"
#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"

namespace {

// A scene bound to a small dummy window; no assets are loaded (none are needed here).
struct InputFixture : ::testing::Test {
    SdlSession sdl{64, 48};
    int32_t running = 1;
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    GSSampleScene scene;

    void SetUp() override {
        ASSERT_NE(sdl.screen, nullptr) << SDL_GetError();
        scene.Init(makeContext(sdl.screen, 64, 48, &running, &settings));
        // Drop whatever the window opening queued.
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
        }
    }

    void pushKey(SDLKey key, bool down = true) {
        SDL_Event event = {};
        event.type = event.key.type = down ? SDL_KEYDOWN : SDL_KEYUP;
        event.key.state = down ? SDL_PRESSED : SDL_RELEASED;
        event.key.keysym.sym = key;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
    }
    void pushKeyUp(SDLKey key) { pushKey(key, false); }
    void pushMotion(Sint16 xrel, Sint16 yrel) {
        SDL_Event event = {};
        event.type = SDL_MOUSEMOTION;
        event.motion.type = SDL_MOUSEMOTION;
        event.motion.xrel = xrel;
        event.motion.yrel = yrel;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
    }
    // Presses each key in its own frame.
    void press(std::initializer_list<SDLKey> keys) {
        for (SDLKey key : keys) {
            pushKey(key);
            scene.Update(0.01f);
        }
    }
};

} // namespace

TEST_F(InputFixture, PresetsWrapBothWays) {
    EXPECT_EQ(scene.presetIndex, 0);
    press({SDLK_LEFT});
    EXPECT_EQ(scene.presetIndex, 5) << "left at 0 wraps to 5";
    press({SDLK_RIGHT});
    EXPECT_EQ(scene.presetIndex, 0) << "right at 5 wraps to 0";
    const int expected[] = {1, 2, 3, 4, 5, 0, 1};
    for (int step : expected) {
        press({SDLK_RIGHT});
        EXPECT_EQ(scene.presetIndex, step);
    }
    // Several presses in one frame each count.
    pushKey(SDLK_LEFT);
    pushKey(SDLK_LEFT);
    pushKey(SDLK_LEFT);
    scene.Update(0.01f);
    EXPECT_EQ(scene.presetIndex, 4);
}

TEST_F(InputFixture, CameraCyclesThroughFourModes) {
    const int expected[] = {1, 2, 3, 0, 1};
    for (int mode : expected) {
        press({SDLK_c});
        EXPECT_EQ(scene.cameraIndex, mode);
    }
}

TEST_F(InputFixture, TogglesFlipAndInitLeavesOcclusionAndOverlay) {
    EXPECT_FALSE(scene.aoToggle);
    EXPECT_TRUE(scene.hudVisible);
    EXPECT_FALSE(scene.noInterpolationToggle);
    press({SDLK_z, SDLK_x, SDLK_r});
    EXPECT_TRUE(scene.aoToggle);
    EXPECT_TRUE(scene.noInterpolationToggle);
    EXPECT_FALSE(scene.hudVisible);
    EXPECT_EQ(scene.FrameFlags(), 6 | RenderNoBlockInterpolation | RenderAmbientOcclusion);

    press({SDLK_RIGHT, SDLK_RIGHT, SDLK_c, SDLK_c});
    pushMotion(5, 5); // the first motion after the grab is the pointer position: skipped
    pushMotion(-40, 30);
    scene.Update(0.01f);
    EXPECT_NE(scene.yaw, 0.0f);
    scene.walkPosition = {5.0f, 6.0f, 7.0f};
    scene.animationTime = 5000.0f;

    // "I" resets camera, preset, interpolation and clock, and leaves AO and the overlay.
    press({SDLK_i});
    EXPECT_EQ(scene.presetIndex, 0);
    EXPECT_EQ(scene.cameraIndex, 0);
    EXPECT_FALSE(scene.noInterpolationToggle);
    EXPECT_EQ(scene.yaw, 0.0f);
    EXPECT_EQ(scene.pitch, 0.0f);
    EXPECT_EQ(scene.walkPosition, (vyxVec3{0, 0, 0}));
    EXPECT_NEAR(scene.animationTime, 0.6f, 1e-5) << "reset, then this frame's 0.01 s";
    EXPECT_EQ(scene.exposure.current, 1.0f);
    EXPECT_TRUE(scene.aoToggle);
    EXPECT_FALSE(scene.hudVisible);
    EXPECT_EQ(scene.FrameFlags(), 6 | RenderAmbientOcclusion);

    press({SDLK_z, SDLK_r});
    EXPECT_FALSE(scene.aoToggle);
    EXPECT_TRUE(scene.hudVisible);
}

TEST_F(InputFixture, EscapeAndCloseEndTheLoop) {
    press({SDLK_q, SDLK_SPACE, SDLK_F1});
    EXPECT_EQ(running, 1) << "other keys are ignored";
    press({SDLK_ESCAPE});
    EXPECT_EQ(running, 0);

    running = 1;
    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    ASSERT_EQ(SDL_PushEvent(&quit), 0);
    scene.Update(0.01f);
    EXPECT_EQ(running, 0);
}

TEST_F(InputFixture, FrameTimeAndAnimationClock) {
    scene.Update(0.25f);
    EXPECT_EQ(scene.frameTime, 0.25f);
    EXPECT_NEAR(scene.animationTime, 15.0f, 1e-5);
    scene.Update(0.0f);
    EXPECT_EQ(scene.frameTime, 0.0f);
    EXPECT_NEAR(scene.animationTime, 15.0f, 1e-5);
}

TEST_F(InputFixture, PauseHoldsTheClockExactlyWhileTheCameraStillMoves) {
    scene.Update(0.37f);
    press({SDLK_p});
    const float held = scene.animationTime;
    pushMotion(1, 1); // skipped: first motion after the grab
    pushMotion(-10, 0);
    for (float dt : {0.01f, 0.5f, 7.0f, 1e-7f})
        scene.Update(dt);
    EXPECT_EQ(std::memcmp(&held, &scene.animationTime, sizeof(float)), 0) << "not one bit moves";
    EXPECT_NE(scene.yaw, 0.0f) << "looking goes on";
    press({SDLK_p});
    EXPECT_NEAR(scene.animationTime, held + 0.6f, 1e-4) << "the frame that resumes runs on";
    press({SDLK_p, SDLK_i});
    EXPECT_FALSE(scene.paused) << "I resumes";
}

TEST_F(InputFixture, KeyDownMarksTheKeyHeldForWalking) {
    int keyCount = 0;
    Uint8* keys = SDL_GetKeyState(&keyCount);
    ASSERT_NE(keys, nullptr);
    // A key pressed and released between two frames: both events arrive in one frame.
    pushKey(SDLK_w);
    pushKeyUp(SDLK_w);
    scene.Update(0.5f);
    EXPECT_EQ(scene.walkPosition, (vyxVec3{0, 0, 0})) << "held keys take effect on the next frame";
    EXPECT_EQ(keys[SDLK_w], 0) << "SDL's own table is left to SDL";

    // 0.04 units per ms for 0.5 s: 20 units straight ahead (-z at yaw 0), for one frame.
    scene.Update(0.5f);
    EXPECT_NEAR(scene.walkPosition.x, 0.0f, 1e-5);
    EXPECT_NEAR(scene.walkPosition.y, 0.0f, 1e-5);
    EXPECT_NEAR(scene.walkPosition.z, -20.0f, 1e-4);
    scene.Update(0.5f);
    EXPECT_NEAR(scene.walkPosition.z, -20.0f, 1e-4) << "released after one frame";

    // Held across frames: walks every frame until its key-up, and one frame after it.
    pushKey(SDLK_s);
    scene.Update(0.1f);
    scene.Update(0.1f);
    scene.Update(0.1f);
    EXPECT_NEAR(scene.walkPosition.z, -12.0f, 1e-4);
    pushKeyUp(SDLK_s);
    scene.Update(0.1f);
    scene.Update(0.1f);
    scene.Update(0.1f);
    EXPECT_NEAR(scene.walkPosition.z, -8.0f, 1e-4);

    // Turn by 0.5 rad to the left (mouse moves left), then walk right with D held in
    // SDL's table, as SDL keeps it while the key is down.
    pushMotion(1, 1); // skipped: first motion after the grab
    pushMotion(-100, 0);
    scene.Update(0.0f);
    EXPECT_NEAR(scene.yaw, 0.5f, 1e-6);
    keys[SDLK_d] = 1;
    scene.Update(0.25f);
    keys[SDLK_d] = 0;
    // right = (cos yaw, 0, -sin yaw), 10 units.
    EXPECT_NEAR(scene.walkPosition.x, 10.0 * std::cos(0.5), 1e-4);
    EXPECT_NEAR(scene.walkPosition.z, -8.0 - 10.0 * std::sin(0.5), 1e-4);

    // Opposite keys cancel.
    vyxVec3 before = scene.walkPosition;
    keys[SDLK_a] = 1;
    keys[SDLK_d] = 1;
    scene.Update(0.3f);
    EXPECT_NEAR(scene.walkPosition.x, before.x, 1e-4);
    EXPECT_NEAR(scene.walkPosition.z, before.z, 1e-4);
    keys[SDLK_a] = keys[SDLK_d] = 0;
}

TEST_F(InputFixture, RepeatedQuickPressesAllCount) {
    // Each press-and-release of "R" toggles the overlay: none is swallowed.
    for (int n = 0; n < 6; ++n) {
        pushKey(SDLK_r);
        pushKeyUp(SDLK_r);
        scene.Update(0.01f);
        EXPECT_EQ(scene.hudVisible, n % 2 == 1) << "press " << n + 1;
    }
}

TEST_F(InputFixture, PressesOfReloadQueuedInOneFrameReloadOnce) {
    // In an empty folder every load reports the missing sky face "xpos.float" once.
    ScratchWorkDir work;
    auto loadsDuring = [&](int presses) {
        for (int n = 0; n < presses; ++n) {
            pushKey(SDLK_o);
            pushKeyUp(SDLK_o);
        }
        const std::string err = capture([&] { scene.Update(0.01f); }).err;
        int loads = 0;
        for (size_t at = err.find("xpos.float"); at != std::string::npos; at = err.find("xpos.float", at + 1))
            ++loads;
        return loads;
    };
    EXPECT_EQ(loadsDuring(50), 1);
    EXPECT_TRUE(scene.loaded);
    EXPECT_EQ(loadsDuring(0), 0);
    EXPECT_EQ(loadsDuring(1), 1);
    scene.Unload();
}

TEST_F(InputFixture, MouseLookClampsPitch) {
    pushMotion(3, 3); // skipped
    pushMotion(0, 100);
    scene.Update(0.01f);
    EXPECT_NEAR(scene.pitch, 0.5f, 1e-6) << "moving down raises the view";
    pushMotion(20, 1000);
    scene.Update(0.01f);
    EXPECT_EQ(scene.pitch, 1.5f);
    EXPECT_NEAR(scene.yaw, -0.1f, 1e-6);
    pushMotion(0, -2000);
    scene.Update(0.01f);
    EXPECT_EQ(scene.pitch, -1.5f);
}

TEST_F(InputFixture, OverlayTextPerPreset) {
    scene.frameTime = 0.5f;
    char lines[5][1024];
    struct Case {
        int preset;
        int count;
        const char* mode;
        const char* checks;
    };
    const Case cases[] = {
        {0, 5, "Renderer Mode: Subdivision (2.00fps)", "Subsample checks:"},
        {1, 5, "Renderer Mode: Subdivision (2.00fps)", "Subsample checks: SHADOWS"},
        {2, 5, "Renderer Mode: Subdivision (2.00fps)", "Subsample checks: SHADOWS SPECULAR"},
        {3, 5, "Renderer Mode: Subdivision (2.00fps)", "Subsample checks: SHADOWS SPECULAR REFLECTIONS"},
        {4, 3, "Renderer Mode: Standard (2.00fps) ", nullptr},
        {5, 3, "Renderer Mode: Standard (2.00fps)  ANTIALIASED", nullptr},
    };
    for (const Case& c : cases) {
        scene.presetIndex = c.preset;
        ASSERT_EQ(scene.OverlayText(lines), c.count) << "preset " << c.preset;
        EXPECT_STREQ(lines[0], "Press left/right to change quality settings");
        EXPECT_STREQ(lines[1],
                     "\"Z\": toggle ambient occlusion. \"X\": toggle subsample interpolation. \"C\": change camera.");
        EXPECT_STREQ(lines[2], c.mode) << "preset " << c.preset;
        if (c.checks != nullptr) {
            EXPECT_STREQ(lines[3], c.checks) << "preset " << c.preset;
            EXPECT_STREQ(lines[4], "Block Interpolation: ON");
        }
    }
    scene.presetIndex = 0;
    scene.noInterpolationToggle = true;
    scene.aoToggle = true;
    scene.OverlayText(lines);
    EXPECT_STREQ(lines[3], "Subsample checks:") << "the toggles are not part of the mode lines";
    EXPECT_STREQ(lines[4], "Block Interpolation: OFF");
}
