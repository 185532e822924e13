#pragma once
// Set-up of the tests that run the program's scenes (suites linking vyxapp): SDL on its
// dummy video driver with a small window, a context like the entry point's, and the
// start-up render settings.

#include <cstdlib>

#include "SDL.h"
#include "SDL_ttf.h"

#include "app/app_context.h"
#include "trace/settings.h"

// SDL video (dummy driver), the timer and SDL_ttf for the lifetime of the object, with a
// width x height window.
struct SdlSession {
    SDL_Surface* screen = nullptr;
    SdlSession(int width = 64, int height = 48) {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) == 0) {
            TTF_Init();
            screen = SDL_SetVideoMode(width, height, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
        }
    }
    ~SdlSession() {
        TTF_Quit();
        SDL_Quit();
    }
};

// A context like the entry point's, over the given window and settings, with render
// size = window size.
inline AppContext makeContext(SDL_Surface* screen, int width, int height, int32_t* running,
                              vyxRenderSettings* settings) {
    AppContext context{};
    context.windowWidth = width;
    context.windowHeight = height;
    context.renderWidth = width;
    context.renderHeight = height;
    context.screen = screen;
    context.lookSensitivity = 0.005f;
    context.moveSpeed = 0.04f;
    context.running = running;
    context.settings = settings;
    context.fullscreen = false;
    return context;
}

// The render settings the program starts with, each phase split into threadCount blocks.
inline vyxRenderSettings startupSettings(int32_t threadCount) {
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    vyxApplyStartupSettings(settings);
    settings.threadCount = threadCount;
    return settings;
}
