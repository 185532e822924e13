#include "app/program.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "SDL.h"
#include "SDL_ttf.h"

#include "app/app_context.h"
#include "app/game_state.h"
#include "util/escape.h"
#include "util/large_alloc.h"

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
    vyxKeepFreedMemory();
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

// The program's name without the folder it was started from.
static const char* baseName(const char* path) {
    if (path == nullptr || *path == '\0')
        return "vyx-raytracer";
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

static void printUsage(const char* name, FILE* out) {
    std::fprintf(out, "usage: %s [--help] [--version] [--confine] [MODEL.obj|gltf|glb|ply|stl|3ds|fbx|dae|...]\n",
                 name);
}

int vyxParseCommandLine(int argc, char** argv, vyxCommandLine& commandLine) {
    const char* name = baseName(argc > 0 ? argv[0] : nullptr);
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (options && std::strcmp(argument, "--") == 0) {
            options = false;
        } else if (options && (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)) {
            commandLine.help = true;
        } else if (options && std::strcmp(argument, "--version") == 0) {
            commandLine.version = true;
        } else if (options && std::strcmp(argument, "--confine") == 0) {
            commandLine.confine = true;
        } else if (options && argument[0] == '-' && argument[1] != '\0') {
            std::fprintf(stderr, "%s: unknown option %s\n", name, vyxEscapeText(argument).c_str());
            printUsage(name, stderr);
            return 2;
        } else if (commandLine.model != nullptr) {
            std::fprintf(stderr, "%s: one model at a time (%s and %s given)\n", name,
                         vyxEscapeText(commandLine.model).c_str(), vyxEscapeText(argument).c_str());
            printUsage(name, stderr);
            return 2;
        } else {
            commandLine.model = argument;
        }
    }
    return -1;
}

void vyxPrintHelp(const char* name, FILE* out) {
    printUsage(baseName(name), out);
    std::fprintf(out, "\n"
                      "Traces a scene in real time on the CPU: terrain, sky, sun and a model, by default the\n"
                      "sample sculpture. MODEL is shown in its place instead, scaled and moved to the same\n"
                      "spot; a model that cannot be read is reported and leaves the sample model in place.\n"
                      "The scene assets are read from the working directory when it holds them, else from\n"
                      "beside the program (assets/ in the build, ../share/vyx when installed).\n"
                      "While the view stands still (paused, or walking with no key held) each frame adds\n"
                      "one more antialiased sample a pixel to the picture, up to 256.\n"
                      "\n"
                      "Keys:\n"
                      "  mouse, W A S D    look and walk (free-walk camera)\n"
                      "  C                 next camera: orbit, path flight, chase view, free walk\n"
                      "  Left / Right      previous / next quality preset\n"
                      "  Z                 ambient occlusion on / off\n"
                      "  X                 block interpolation on / off\n"
                      "  R                 overlay text on / off\n"
                      "  F                 full screen on / off\n"
                      "  P                 pause / resume the animation; a still view refines\n"
                      "  I                 reset camera, preset and exposure, resume\n"
                      "  O                 reload every asset and the model\n"
                      "  F12               screenshot (BMP and PNG in the working directory)\n"
                      "  Escape            quit\n"
                      "\n"
                      "Formats read (models are recognised by their content, not their name):\n"
                      "  models     Wavefront OBJ (v, vt, vn, f, g, o, usemtl, mtllib), UTF-8 or UTF-16,\n"
                      "             by the program's own reader; glTF 2.0 (.gltf, .glb), PLY, STL, 3DS,\n"
                      "             FBX, Collada (.dae, .zae) and every other format of the Open Asset\n"
                      "             Import Library, by the helper vyx-import that comes with the program\n"
                      "  materials  MTL (newmtl, Kd, Ka, Ks, Ke, d, Ft, illum, map_Kd with its options);\n"
                      "             libraries are found beside the model, textures beside their library\n"
                      "  textures   PNG, JPEG, BMP, GIF, TGA and the other formats of SDL_image\n"
                      "  sky        six raw float faces xpos.float ... zneg.float, 256 x 256 RGB each\n"
                      "\n"
                      "Options:\n"
                      "  -h, --help        print this help and exit\n"
                      "  --version         print the version and exit\n"
                      "  --confine         read no file the model names (material library, texture,\n"
                      "                    glTF buffer or image) outside the model's folder, once \"..\"\n"
                      "                    and links are resolved; each one refused is named on stderr.\n"
                      "                    For models from others; by default names are followed\n"
                      "                    wherever they lead, as models often keep textures in a\n"
                      "                    sibling folder\n");
}

void vyxPrintVersion(const char* name, FILE* out) { std::fprintf(out, "%s %s\n", baseName(name), VYX_VERSION); }
