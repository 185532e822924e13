// Entry point of vyx-raytracer and vyx-raytracer-640: start-up, the main loop and
// shut-down. The two programs differ only in VYX_RESOLUTION_WIDTH/HEIGHT.

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "SDL.h"
#include "SDL_ttf.h"

#include "app/app_context.h"
#include "app/sample_scene.h"

#ifndef VYX_RESOLUTION_WIDTH
#define VYX_RESOLUTION_WIDTH 1280
#define VYX_RESOLUTION_HEIGHT 720
#endif

static void fail(const char* what, const char* reason) {
    std::fprintf(stderr, "vyx-raytracer: %s failed: %s\n", what, reason);
    TTF_Quit();
    SDL_Quit();
    std::exit(1);
}

// Fills the context and brings up SDL, the window and SDL_ttf. Exits with status 1 and
// one line on stderr when a required piece cannot start: the loop never runs without a
// window surface.
static void startup(AppContext& context) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    context.lookSensitivity = 0.005f;
    context.windowWidth = VYX_RESOLUTION_WIDTH;
    context.moveSpeed = 0.04f;
    context.windowHeight = VYX_RESOLUTION_HEIGHT;
    context.renderWidth = VYX_RESOLUTION_WIDTH;
    context.renderHeight = VYX_RESOLUTION_HEIGHT;
    context.settings = &vyxGlobalSettings;
    context.fullscreen = false;
    context.screen = nullptr;

    // Only video and the clock are required; audio, joystick and CD-ROM are not used.
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) != 0)
        fail("SDL_Init (video)", SDL_GetError());
    SDL_WM_GrabInput(SDL_GRAB_ON);
    SDL_ShowCursor(SDL_DISABLE);
    if (TTF_Init() != 0)
        fail("TTF_Init", TTF_GetError());
    context.screen = SDL_SetVideoMode(VYX_RESOLUTION_WIDTH, VYX_RESOLUTION_HEIGHT, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
    if (context.screen == nullptr)
        fail("SDL_SetVideoMode", SDL_GetError());
    // Some video drivers only grab once a window exists.
    if (SDL_WM_GrabInput(SDL_GRAB_QUERY) != SDL_GRAB_ON)
        SDL_WM_GrabInput(SDL_GRAB_ON);
    SDL_WM_SetCaption("SDL Test", nullptr);

    vyxApplyStartupSettings(*context.settings);
}

int main(int, char**) {
    int32_t running = 1;
    Uint32 previousTicks = SDL_GetTicks(); // before start-up: the first frame includes loading
    AppContext context;
    context.running = &running;
    startup(context);

    GameState& state = vyxSampleScene;
    state.Load();
    state.Init(context);

    while (running != 0) {
        Uint32 now = SDL_GetTicks();
        // Unsigned 32-bit difference: right across the clock's wrap-around.
        float frameTime = static_cast<float>(static_cast<double>(static_cast<Uint32>(now - previousTicks)) / 1000.0);
        state.Update(frameTime);
        state.Render();
        previousTicks = now;
    }

    state.Unload();
    TTF_Quit();
    SDL_Quit();
    std::exit(0);
}
