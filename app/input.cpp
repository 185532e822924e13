// Update: walking from the held keys, the event queue (keys, mouse look, quit), the
// frame time and the animation clock with its pause; and the F12 screenshot.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "SDL.h"
#include "stb_image_write.h"

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

// Walking for a frame of dt seconds: a step along the ground for each of W, S, A and D
// that is held.
static void walk(GSSampleScene& state, float dt) {
    // Walking stays horizontal: only yaw turns the directions.
    vyxTransform turn;
    vyxTransformIdentity(turn);
    vyxTransformRotate(turn, state.yaw, 0.0f, 1.0f, 0.0f);
    vyxVec3 forward = vyxTransformPoint(turn, {0.0f, 0.0f, -1.0f});
    vyxVec3 right = vyxTransformPoint(turn, {1.0f, 0.0f, 0.0f});

    // A key counts as held while SDL's table says so, and also from its key-down event
    // to its key-up event; a key pressed and released between two frames (both events in
    // one frame) still walks for one frame.
    int keyCount = 0;
    const Uint8* keys = SDL_GetKeyState(&keyCount);
    auto held = [&state, keys, keyCount](int key) {
        return state.heldKeys[key] != 0 || (keys != nullptr && key < keyCount && keys[key] != 0);
    };
    const float speed = state.context.moveSpeed;
    if (held(SDLK_w))
        state.walkPosition += walkStep(forward, speed, dt);
    if (held(SDLK_s))
        state.walkPosition -= walkStep(forward, speed, dt);
    if (held(SDLK_a))
        state.walkPosition -= walkStep(right, speed, dt);
    if (held(SDLK_d))
        state.walkPosition += walkStep(right, speed, dt);
    for (uint8_t& keyState : state.heldKeys)
        if (keyState == KeyReleaseAfterWalk)
            keyState = 0;
}

// A key press: marks the key held and acts on it.
static void handleKeyDown(GSSampleScene& state, int key) {
    if (key >= 0 && key < 256)
        state.heldKeys[key] = KeyPressedThisFrame;
    switch (key) {
    case SDLK_ESCAPE:
        if (state.context.running != nullptr)
            *state.context.running = 0;
        break;
    case SDLK_c:
        state.cameraIndex = (state.cameraIndex + 1) % state.cameraCount;
        break;
    case SDLK_f:
        state.SetDisplayMode(!state.context.fullscreen);
        break;
    case SDLK_i: {
        // Init copies the context it is given; pass a copy so it does not copy the
        // record onto itself.
        AppContext stored = state.context;
        static_cast<GameState&>(state).Init(stored);
        break;
    }
    case SDLK_o:
        // A reload takes a good part of a second: presses queued in one frame (a held
        // key's repeats, an impatient user) reload once, after the events.
        state.reloadRequested = true;
        break;
    case SDLK_p:
        state.paused = !state.paused;
        break;
    case SDLK_r:
        state.hudVisible = !state.hudVisible;
        break;
    case SDLK_x:
        state.noInterpolationToggle = !state.noInterpolationToggle;
        break;
    case SDLK_z:
        state.aoToggle = !state.aoToggle;
        break;
    case SDLK_RIGHT:
        state.presetIndex = (state.presetIndex + 1) % state.presetCount;
        break;
    case SDLK_LEFT:
        state.presetIndex = (state.presetIndex + state.presetCount - 1) % state.presetCount;
        break;
    case SDLK_F12:
        state.TakeScreenshot();
        break;
    default:
        break;
    }
}

// A key release. Released in the same frame as pressed: kept for the next walking step.
static void handleKeyUp(GSSampleScene& state, int key) {
    if (key >= 0 && key < 256)
        state.heldKeys[key] = state.heldKeys[key] == KeyPressedThisFrame ? KeyReleaseAfterWalk : 0;
}

// Mouse look: yaw and pitch follow the motion, pitch within +-1.5 radians.
static void handleMouseMotion(GSSampleScene& state, const SDL_MouseMotionEvent& motion) {
    // Under a grab the first motion reports the pointer's absolute position.
    if (!state.firstMotionSeen) {
        state.firstMotionSeen = true;
        return;
    }
    const float sensitivity = state.context.lookSensitivity;
    state.yaw = state.yaw - sensitivity * static_cast<float>(motion.xrel);
    state.pitch = state.pitch + sensitivity * static_cast<float>(motion.yrel);
    if (state.pitch > 1.5f)
        state.pitch = 1.5f;
    if (state.pitch < -1.5f)
        state.pitch = -1.5f;
}

void GSSampleScene::Update(float dt) {
    walk(*this, dt);

    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT && context.running != nullptr)
            *context.running = 0;
        else if (event.type == SDL_KEYUP)
            handleKeyUp(*this, event.key.keysym.sym);
        else if (event.type == SDL_KEYDOWN)
            handleKeyDown(*this, event.key.keysym.sym);
        else if (event.type == SDL_MOUSEMOTION)
            handleMouseMotion(*this, event.motion);
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
    if (!paused)
        animationTime = static_cast<float>(animationTime + static_cast<double>(dt) * 60.0);
}

// Writes size bytes to a new file name with every write checked, so that a write that
// fails halfway (a full disk) removes the file instead of leaving half a picture behind.
// Failures are reported on stderr.
static bool writeScreenshotFile(const char* name, const void* bytes, size_t size) {
    FILE* file = std::fopen(name, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "vyx: cannot write screenshot %s: %s\n", name, std::strerror(errno));
        return false;
    }
    bool written = std::fwrite(bytes, 1, size, file) == size;
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

// stb's writer hands its output over in pieces: each is appended to a byte vector.
static void appendPiece(void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<unsigned char>*>(context);
    const unsigned char* first = static_cast<const unsigned char*>(data);
    bytes->insert(bytes->end(), first, first + size);
}

bool GSSampleScene::TakeScreenshot() {
    if (presentSurface == nullptr || presentPixels == nullptr) {
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
    // Both pictures are made in memory first, so that only complete files are written.
    const int width = presentSurface->w;
    const int height = presentSurface->h;
    const size_t capacity = 1024 + static_cast<size_t>(height) * ((width * 3 + 3) & ~3);
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
    if (!writeScreenshotFile(name, bytes.data(), size))
        return false;

    // The same pixels as PNG beside it, the format people share.
    char pngName[sizeof(name)];
    std::snprintf(pngName, sizeof(pngName), "%.*s.png", static_cast<int>(std::strlen(name) - 4), name);
    std::vector<unsigned char> png;
    if (stbi_write_png_to_func(appendPiece, &png, width, height, 3, presentPixels, width * 3) == 0) {
        std::fprintf(stderr, "vyx: cannot encode screenshot %s\n", pngName);
        return false;
    }
    return writeScreenshotFile(pngName, png.data(), png.size());
}
