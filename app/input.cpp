// Update: walking from the held keys, the event queue (keys, mouse look, quit), the
// frame time and the animation clock; and the F12 screenshot.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "SDL.h"

#include "app/sample_scene.h"
#include "geometry/transform.h"

// States of GSSampleScene::heldKeys besides 0 (not held).
enum : uint8_t { KeyHeld = 1, KeyReleaseAfterWalk = 2, KeyPressedThisFrame = 3 };

// One walking step along direction for this frame: moveSpeed is in units per
// millisecond, frameTime in seconds. Each product is rounded to a float in turn.
static vyxVec3 walkStep(vyxVec3 direction, float moveSpeed, float frameTime) {
    vyxVec3 step = direction * moveSpeed;
    step = step * frameTime;
    step = step * 1000.0f;
    return step;
}

void GSSampleScene::Update(float dt) {
    // Walking stays horizontal: only yaw turns the directions.
    vyxTransform turn;
    vyxTransformIdentity(turn);
    vyxTransformRotate(turn, yaw, 0.0f, 1.0f, 0.0f);
    vyxVec3 forward = vyxTransformPoint(turn, {0.0f, 0.0f, -1.0f});
    vyxVec3 right = vyxTransformPoint(turn, {1.0f, 0.0f, 0.0f});

    // A key counts as held while SDL's table says so, and also from its key-down event
    // to its key-up event; a key pressed and released between two frames (both events in
    // one frame) still walks for one frame.
    int keyCount = 0;
    const Uint8* keys = SDL_GetKeyState(&keyCount);
    auto held = [this, keys, keyCount](int key) {
        return heldKeys[key] != 0 || (keys != nullptr && key < keyCount && keys[key] != 0);
    };
    if (held(SDLK_w))
        walkPosition += walkStep(forward, context.moveSpeed, dt);
    if (held(SDLK_s))
        walkPosition -= walkStep(forward, context.moveSpeed, dt);
    if (held(SDLK_a))
        walkPosition -= walkStep(right, context.moveSpeed, dt);
    if (held(SDLK_d))
        walkPosition += walkStep(right, context.moveSpeed, dt);
    for (uint8_t& state : heldKeys)
        if (state == KeyReleaseAfterWalk)
            state = 0;

    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT && context.running != nullptr)
            *context.running = 0;

        if (event.type == SDL_KEYUP) {
            // Released in the same frame as pressed: keep it for the next walking step.
            int key = event.key.keysym.sym;
            if (key >= 0 && key < 256)
                heldKeys[key] = heldKeys[key] == KeyPressedThisFrame ? KeyReleaseAfterWalk : 0;
        }

        if (event.type == SDL_KEYDOWN) {
            int key = event.key.keysym.sym;
            if (key >= 0 && key < 256)
                heldKeys[key] = KeyPressedThisFrame;
            switch (key) {
            case SDLK_ESCAPE:
                if (context.running != nullptr)
                    *context.running = 0;
                break;
            case SDLK_c:
                cameraIndex = (cameraIndex + 1) % cameraCount;
                break;
            case SDLK_f:
                SetDisplayMode(!context.fullscreen);
                break;
            case SDLK_i: {
                // Init copies the context it is given; pass a copy so it does not copy
                // the record onto itself.
                AppContext stored = context;
                static_cast<GameState*>(this)->Init(stored);
                break;
            }
            case SDLK_o:
                // A reload takes a good part of a second: presses queued in one frame
                // (a held key's repeats, an impatient user) reload once, after the events.
                reloadRequested = true;
                break;
            case SDLK_r:
                hudVisible = !hudVisible;
                break;
            case SDLK_x:
                noInterpolationToggle = !noInterpolationToggle;
                break;
            case SDLK_z:
                aoToggle = !aoToggle;
                break;
            case SDLK_RIGHT:
                presetIndex = (presetIndex + 1) % presetCount;
                break;
            case SDLK_LEFT:
                presetIndex = (presetIndex + presetCount - 1) % presetCount;
                break;
            case SDLK_F12:
                TakeScreenshot();
                break;
            default:
                break;
            }
        }

        if (event.type == SDL_MOUSEMOTION) {
            // Under a grab the first motion reports the pointer's absolute position.
            if (!firstMotionSeen) {
                firstMotionSeen = true;
            } else {
                Sint16 xrel = event.motion.xrel;
                Sint16 yrel = event.motion.yrel;
                yaw = yaw - context.lookSensitivity * static_cast<float>(xrel);
                pitch = pitch + context.lookSensitivity * static_cast<float>(yrel);
                if (pitch > 1.5f)
                    pitch = 1.5f;
                if (pitch < -1.5f)
                    pitch = -1.5f;
            }
        }
    }

    for (uint8_t& state : heldKeys)
        if (state == KeyPressedThisFrame)
            state = KeyHeld;

    if (reloadRequested) {
        reloadRequested = false;
        static_cast<GameState*>(this)->Unload();
        static_cast<GameState*>(this)->Load();
    }

    frameTime = dt;
    animationTime = static_cast<float>(animationTime + static_cast<double>(dt) * 60.0);
}

bool GSSampleScene::TakeScreenshot() {
    if (presentSurface == nullptr) {
        std::fprintf(stderr, "vyx: no frame to save as a screenshot\n");
        return false;
    }
    std::time_t now = std::time(nullptr);
    std::tm local;
    if (localtime_r(&now, &local) == nullptr) {
        std::fprintf(stderr, "vyx: cannot read the local date; screenshot skipped\n");
        return false;
    }
    char name[256];
    int32_t seconds = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(now)));
    std::snprintf(name, sizeof(name), "%04d-%02d-%02d_vyx_screenshot_%d.bmp", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, seconds);
    // The BMP is made in memory and then written with every write checked, so that a
    // write that fails halfway (a full disk) removes the file instead of leaving half a
    // picture behind.
    const size_t capacity = 1024 + static_cast<size_t>(presentSurface->h) * ((presentSurface->w * 3 + 3) & ~3);
    std::vector<char> bytes(capacity);
    SDL_RWops* memory = SDL_RWFromMem(bytes.data(), static_cast<int>(capacity));
    if (memory == nullptr || SDL_SaveBMP_RW(presentSurface, memory, 0) != 0) {
        std::fprintf(stderr, "vyx: cannot encode screenshot %s: %s\n", name, SDL_GetError());
        if (memory != nullptr)
            SDL_RWclose(memory);
        return false;
    }
    size_t size = static_cast<size_t>(SDL_RWtell(memory));
    SDL_RWclose(memory);
    FILE* file = std::fopen(name, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "vyx: cannot write screenshot %s: %s\n", name, std::strerror(errno));
        return false;
    }
    bool written = std::fwrite(bytes.data(), 1, size, file) == size;
    int error = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        std::remove(name);
        std::fprintf(stderr, "vyx: writing screenshot %s failed: %s; the partial file is removed\n", name,
                     std::strerror(error));
        return false;
    }
    return true;
}
