#pragma once
// AppContext: what the entry point hands to the game state, and the one global render
// settings record.

#include <cstdint>

#include "trace/settings.h"

struct SDL_Surface;

struct AppContext {
    int32_t windowWidth; // windowed video mode
    int32_t windowHeight;
    int32_t renderWidth; // traced image size
    int32_t renderHeight;
    SDL_Surface* screen;         // window surface; replaced by a display-mode switch
    float lookSensitivity;       // radians per pixel of mouse motion
    float moveSpeed;             // world units per millisecond
    int32_t* running;            // the main loop's keep-running flag; 0 ends the loop
    vyxRenderSettings* settings; // the global settings record
    bool fullscreen;
};

// The global settings, statically initialised to the defaults; start-up overrides some.
extern vyxRenderSettings vyxGlobalSettings;

// The start-up overrides of the settings (fog, thresholds, occlusion distance).
void vyxApplyStartupSettings(vyxRenderSettings& settings);

// A context for a process without a window (the benchmark, the ranks other than 0): the
// program's start-up values for an image of width x height, no screen, the global settings
// with the start-up overrides applied. running is the keep-running flag.
AppContext vyxHeadlessContext(int32_t width, int32_t height, int32_t* running);
