#include "app/sample_scene.h"

#include <cstring>

#include "SDL.h"

GSSampleScene vyxSampleScene;

GSSampleScene::GSSampleScene() {
    loaded = false;
    cameraCount = 4;
    presetCount = 6;
    presetTable = nullptr;
    presentSurface = nullptr;
    presentPixels = nullptr;
    animationTime = 0;
    presetIndex = 4;
    frameTime = 0.00001f;
    noInterpolationToggle = false;
    aoToggle = false;
    cameraIndex = 0;
    font = nullptr;
    hudVisible = true;
    savedFullscreenWidth = 0;
    savedFullscreenHeight = 0;
    std::memset(heldKeys, 0, sizeof(heldKeys));
}

GSSampleScene::~GSSampleScene() {}

void GSSampleScene::Init(const AppContext& ctx) { context = ctx; }
void GSSampleScene::Load() { loaded = true; }
void GSSampleScene::Unload() { loaded = false; }

void GSSampleScene::Update(float dt) {
    frameTime = dt;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT)
            *context.running = 0;
        if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE)
            *context.running = 0;
    }
}

void GSSampleScene::Render() {
    SDL_FillRect(context.screen, nullptr, 0);
    SDL_WM_SetCaption("VYX Tracer - 0.00fps", nullptr);
    SDL_Flip(context.screen);
    SDL_Delay(1);
}

void GSSampleScene::SetDisplayMode(bool) {}
void GSSampleScene::Animate() {}
void GSSampleScene::TraceFrame(FrameBuffer&) {}
int32_t GSSampleScene::FrameFlags() const { return 0; }
bool GSSampleScene::TakeScreenshot() { return false; }
