#pragma once
// The program's life from start-up to shut-down, shared by both window sizes.

#include <cstdint>

class GameState;

// Brings up SDL (video and timer), SDL_ttf and a width x height window, loads and
// initialises `state`, then calls Update and Render once per frame until the context's
// running flag is cleared, and unloads. The first clock reading is taken as soon as SDL's
// clock runs, so the first frame time covers loading and nothing more. Returns the exit
// status (0); a piece of SDL that cannot start ends the process with status 1 and one
// line on stderr.
int vyxRunProgram(GameState& state, int32_t width, int32_t height);
