#include "app/program.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "SDL.h"
#include "SDL_ttf.h"

#include "app/app_context.h"
#include "app/game_state.h"

static void fail(const char* what, const char* reason) {
    std::fprintf(stderr, "vyx-raytracer: %s failed: %s\n", what, reason);
    TTF_Quit();
    SDL_Quit();
    std::exit(1);
}

// Fills the context and brings up SDL, the window and SDL_ttf. Exits with status 1 and
// one line on stderr when a required piece cannot start: the loop never runs without a
// window surface.
static void startup(AppContext& context, int32_t width, int32_t height) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    context.lookSensitivity = 0.005f;
    context.windowWidth = width;
    context.moveSpeed = 0.04f;
    context.windowHeight = height;
    context.renderWidth = width;
    context.renderHeight = height;
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
    context.screen = SDL_SetVideoMode(width, height, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
    if (context.screen == nullptr)
        fail("SDL_SetVideoMode", SDL_GetError());
    // Some video drivers only grab once a window exists.
    if (SDL_WM_GrabInput(SDL_GRAB_QUERY) != SDL_GRAB_ON)
        SDL_WM_GrabInput(SDL_GRAB_ON);
    SDL_WM_SetCaption("SDL Test", nullptr);

    vyxApplyStartupSettings(*context.settings);
}

int vyxRunProgram(GameState& state, int32_t width, int32_t height) {
    int32_t running = 1;
    AppContext context;
    context.running = &running;
    startup(context, width, height);
    // SDL's clock starts inside SDL_Init: read before it, SDL_GetTicks returns the wall
    // clock truncated to 32 bits and the first frame time would be billions of
    // milliseconds. Read here, the first frame covers loading and initialisation.
    Uint32 previousTicks = SDL_GetTicks();

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
    return 0;
}
