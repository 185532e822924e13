#pragma once
// The program's life from start-up to shut-down, shared by both window sizes.

#include <cstdint>
#include <cstdio>

class GameState;

// Brings up SDL (video and timer), SDL_ttf and a width x height window, loads and
// initialises `state`, then calls Update and Render once per frame until the context's
// running flag is cleared, and unloads. The first clock reading is taken as soon as SDL's
// clock runs, so the first frame time covers loading and nothing more. Returns the exit
// status (0); a piece of SDL that cannot start ends the process with status 1 and one
// line on stderr.
int vyxRunProgram(GameState& state, int32_t width, int32_t height);

// What the command line asks for. Fields are filled by vyxParseCommandLine.
struct vyxCommandLine {
    bool help = false;           // "--help" or "-h"
    bool version = false;        // "--version"
    bool confine = false;        // "--confine": files the model names must lie in its folder
    const char* model = nullptr; // the one model file named, or null; points into argv
};

// Reads argv: "--help" / "-h", "--version", "--confine", at most one model path, "--" ending the options. Returns
// -1 to go on; otherwise the exit status: 2 after one line naming the problem and the
// usage line on stderr (both with argv[0] without its folder) (an unknown option, a second model). Writes nothing for
// "--help" and "--version": the caller prints vyxPrintHelp or vyxPrintVersion.
int vyxParseCommandLine(int argc, char** argv, vyxCommandLine& commandLine);

// Writes the usage, the keys and the file formats read to out, for the program `name`
// (argv[0]; its folder is left out).
void vyxPrintHelp(const char* name, FILE* out);

// Writes "NAME VERSION" and a newline to out, NAME being argv[0] without its folder.
void vyxPrintVersion(const char* name, FILE* out);
