// vyx-bench: renders frames of the sample scene (or of a model given with --model in the
// sample model's place) without a display, through the same
// steps as the interactive program's Render (animation, camera, flags, dispatch,
// post-processing), and reports frame times and ray counts per configuration.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "SDL.h"
#include "SDL_ttf.h"
#include "stb_image_write.h"

#include "app/app_context.h"
#include "app/cluster.h"
#include "app/install_layout.h"
#include "app/postprocess.h"
#include "app/sample_scene.h"
#include "app/serve_rank.h"
#include "geometry/bih.h"
#include "render/frame.h"
#include "render/framebuffer.h"
#include "tools/machine.h"
#include "trace/raystats.h"
#include "util/bytes.h"
#include "util/escape.h"
#include "util/large_alloc.h"
#include "util/parallel.h"

#ifndef VYX_DEFAULT_ASSETS_DIR
#define VYX_DEFAULT_ASSETS_DIR "assets"
#endif

namespace {

const char* const kUsageLine = "usage: vyx-bench [OPTION]...\n"
                               "   or: vyx-bench --flight SECONDS --fps F --out DIR [OPTION]...\n";

// Options, one a line; the manual page is made from this text.
const char* const kOptionsHelp =
    "Options:\n"
    "  --size WxH        picture size, 1 to 8192 each way (default 640x480)\n"
    "  --preset P,...    quality presets 0 to 5, separated by commas, or all (default 0)\n"
    "  --camera C,...    cameras 0 to 3 (orbit, path flight, chase view, free walk),\n"
    "                    separated by commas, or all (default 0)\n"
    "  --time T          animation time in sixtieths of a second (default 0)\n"
    "  --frames N        frames timed per preset and camera, 1 to 100000 (default 10)\n"
    "  --ao              ambient occlusion on\n"
    "  --no-interp       block interpolation of the subdivision renderer off\n"
    "  --threads N       threadCount, 1 to 64: the blocks of work each phase of a frame is\n"
    "                    split into, which shape the subdivision bands (default 20)\n"
    "  --cores N         threads that render those blocks, 1 to 64 (default: every core)\n"
    "  --samples N       render a still instead, 1 to 65536 samples a pixel: the program's\n"
    "                    refinement of a view that stands still, timed, with progress on\n"
    "                    standard error\n"
    "  --seed N          the random draws (soft-shadow jitter, the samples of a still) repeat\n"
    "                    from run to run\n"
    "  --flight SECONDS  render the path flight (camera 1, the first preset given, from --time\n"
    "                    on) as DIR/frame-000000.png, ... (--out DIR), each frame with its own\n"
    "                    exposure, or its still of N samples with --samples N\n"
    "  --fps F           frames a second of the flight, 1 to 240\n"
    "  --movie FILE.mp4  encode the flight's frames into FILE.mp4 with ffmpeg (frames repeat\n"
    "                    exactly for the same --seed, 1 by default)\n"
    "  --model FILE      a model file (OBJ, glTF, PLY, STL, 3DS, FBX, Collada and the other\n"
    "                    formats of the Open Asset Import Library) in the sample model's place;\n"
    "                    one that cannot be read ends the run with status 1 and no frame\n"
    "  --confine         read no file the model names (material library, texture, glTF\n"
    "                    buffer or image) outside the model's folder, once \"..\" and links\n"
    "                    are resolved; each one refused is named on standard error\n"
    "  --assets DIR      the scene assets (default: those the build generated, else those\n"
    "                    installed beside the program)\n"
    "  --out DIR         write the last picture of each preset and camera as\n"
    "                    DIR/vyx-WxH-pP-cC.png, a still as DIR/vyx-WxH-pP-cC-sN.png\n"
    "  --json FILE       write the figures as JSON\n"
    "  --probe           first measure how much a second thread speeds up pure arithmetic\n"
    "  --fixed-clock     post-processing sees 1/60 s a frame from 0: pictures repeat exactly\n"
    "  --hash            print a checksum of every traced frame (with --fixed-clock also of\n"
    "                    every frame shown; for a still, of the traced mean)\n"
    "  --no-jitter       soft-shadow samples unrotated in every preset: frames repeat exactly\n"
    "  -h, --help        print this help and exit\n"
    "  --version         print the version and exit\n";

struct Options {
    int width = 640;
    int height = 480;
    std::vector<int> presets{0};
    std::vector<int> cameras{0};
    float time = 0.0f;
    int frames = 10;
    bool ao = false;
    bool noInterp = false;
    int threads = 20; // threadCount: the blocks of work each phase is split into
    int cores = 0;    // threads that render the blocks; 0 = as many as the machine runs
    std::string assets = VYX_DEFAULT_ASSETS_DIR;
    bool assetsGiven = false;
    std::string out;
    std::string json;
    std::string model;    // model file shown in the sample model's place; empty = the sample model
    bool confine = false; // files the model names must lie in its folder
    bool probe = false;
    bool hash = false;       // print a checksum of each traced frame (before post-processing)
    bool noJitter = false;   // soft-shadow samples unrotated in every preset: frames repeat exactly
    bool fixedClock = false; // post-processing sees 1/60 s per frame from 0, not the real clock
    int samples = 0;         // > 0: render a still of that many samples a pixel instead of timing frames
    bool seedGiven = false;  // --seed: the random draws of every frame repeat from run to run
    uint64_t seed = 1;
    double flightSeconds = 0; // > 0: render the path flight as numbered PNG frames
    int fps = 0;
    std::string movie;    // encode the flight's frames into this file with ffmpeg
    bool version = false; // print the version and do nothing else
};

// The middle value of sorted (not empty), or the mean of the middle two.
double medianOfSorted(const std::vector<double>& sorted) {
    size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
}

struct Result {
    int preset, camera;
    double msMedian, msMin, msMax, fps;
    double traceMsMedian; // the tracing alone, without animation, post-processing and allocation
    vyxRayStats raysPerFrame;
    uint64_t raysPerFrameTotal; // every kind of raysPerFrame together
    double mraysPerSecond;
    // With other ranks: the tiles each rank rendered over all frames, the bytes of the
    // messages per frame and rank 0's median wait for the slowest rank.
    std::vector<int64_t> tilesByRank;
    double bytesPerFrame = 0;
    double waitMsMedian = 0;
};

uint64_t rayTotal(const vyxRayStats& rays) { return rays.primary + rays.shadow + rays.reflection + rays.transparency; }

int badArguments(const char* message) {
    std::fprintf(stderr, "vyx-bench: %s\n%s(vyx-bench --help lists the options)\n", message, kUsageLine);
    return 2;
}

bool parseInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > high)
        return false;
    value = static_cast<int>(v);
    return true;
}

// "all", or values 0 .. high separated by commas ("4,5").
bool parseList(const char* text, int high, std::vector<int>& values) {
    values.clear();
    if (std::strcmp(text, "all") == 0) {
        for (int i = 0; i <= high; ++i)
            values.push_back(i);
        return true;
    }
    std::string list = text;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        int v;
        if (!parseInt(list.substr(start, end - start).c_str(), 0, high, v))
            return false;
        values.push_back(v);
        start = end + 1;
    }
    return true;
}

// Returns 0 to go on, or the exit status.
int parseArguments(int argc, char** argv, Options& options, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return 0;
        } else if (arg == "--version") {
            options.version = true;
            return 0;
        } else if (arg == "--ao") {
            options.ao = true;
        } else if (arg == "--no-interp") {
            options.noInterp = true;
        } else if (arg == "--probe") {
            options.probe = true;
        } else if (arg == "--hash") {
            options.hash = true;
        } else if (arg == "--no-jitter") {
            options.noJitter = true;
        } else if (arg == "--fixed-clock") {
            options.fixedClock = true;
        } else if (arg == "--size") {
            if (!value(v))
                return badArguments("--size needs a value");
            int w = 0, h = 0;
            char tail = 0;
            if (std::sscanf(v, "%dx%d%c", &w, &h, &tail) != 2 || w < 1 || h < 1 || w > 8192 || h > 8192)
                return badArguments("--size must be WxH with 1 <= W, H <= 8192");
            options.width = w;
            options.height = h;
        } else if (arg == "--preset") {
            if (!value(v) || !parseList(v, 5, options.presets))
                return badArguments("--preset must be 0..5 or all");
        } else if (arg == "--camera") {
            if (!value(v) || !parseList(v, 3, options.cameras))
                return badArguments("--camera must be 0..3 or all");
        } else if (arg == "--time") {
            char* end = nullptr;
            if (!value(v))
                return badArguments("--time needs a value");
            options.time = std::strtof(v, &end);
            if (end == v || *end != '\0' || !std::isfinite(options.time) || options.time < 0)
                return badArguments("--time must be a finite number >= 0 (sixtieths of a second)");
        } else if (arg == "--frames") {
            if (!value(v) || !parseInt(v, 1, 100000, options.frames))
                return badArguments("--frames must be 1..100000");
        } else if (arg == "--samples") {
            if (!value(v) || !parseInt(v, 1, 65536, options.samples))
                return badArguments("--samples must be 1..65536");
        } else if (arg == "--threads") {
            if (!value(v) || !parseInt(v, 1, 64, options.threads))
                return badArguments("--threads must be 1..64");
        } else if (arg == "--cores") {
            if (!value(v) || !parseInt(v, 1, 64, options.cores))
                return badArguments("--cores must be 1..64");
        } else if (arg == "--assets") {
            if (!value(v))
                return badArguments("--assets needs a folder");
            options.assets = v;
            options.assetsGiven = true;
        } else if (arg == "--out") {
            if (!value(v))
                return badArguments("--out needs a folder");
            options.out = v;
        } else if (arg == "--model") {
            if (!value(v))
                return badArguments("--model needs a model file");
            options.model = v;
        } else if (arg == "--confine") {
            options.confine = true;
        } else if (arg == "--seed") {
            char* end = nullptr;
            if (!value(v) || (options.seed = std::strtoull(v, &end, 10), end == v || *end != '\0'))
                return badArguments("--seed must be a whole number");
            options.seedGiven = true;
        } else if (arg == "--flight") {
            char* end = nullptr;
            if (!value(v))
                return badArguments("--flight needs a duration in seconds");
            options.flightSeconds = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(options.flightSeconds > 0) || options.flightSeconds > 36000)
                return badArguments("--flight must be a duration in seconds, above 0 and at most 36000");
        } else if (arg == "--fps") {
            if (!value(v) || !parseInt(v, 1, 240, options.fps))
                return badArguments("--fps must be 1..240");
        } else if (arg == "--movie") {
            if (!value(v))
                return badArguments("--movie needs a file name");
            options.movie = v;
        } else if (arg == "--json") {
            if (!value(v))
                return badArguments("--json needs a file name");
            options.json = v;
        } else {
            return badArguments(("unknown argument: " + arg).c_str());
        }
    }
    // A still traces every pixel of every sample: the block view has no place in it.
    if (options.samples > 0 && options.noInterp)
        return badArguments("--samples and --no-interp do not go together");
    if (options.flightSeconds > 0 && (options.fps == 0 || options.out.empty()))
        return badArguments("--flight needs --fps and --out");
    if (options.flightSeconds == 0 && (options.fps != 0 || !options.movie.empty()))
        return badArguments("--fps and --movie go with --flight");
    if (options.flightSeconds * options.fps > 1000000)
        return badArguments("--flight makes more than a million frames");
    return 0;
}

// The traced frame's floats, or the shown frame's 8-bit pixels, hashed: two builds that
// make the same picture print the same value.
uint64_t bytesHash(const void* data, size_t count) { return vyxHashBytes(data, count); }

uint64_t frameHash(const FrameBuffer& frame) {
    return bytesHash(frame.pixels,
                     static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * sizeof(vyxVec3));
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

const char* const kPresetNames[6] = {"subdiv",   "subdiv+shadows", "subdiv+shadows+specular", "subdiv+all-checks",
                                     "standard", "standard+AA"};

bool writeJson(const std::string& path, const Options& options, const std::vector<Result>& results, double loadMs) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::fprintf(f, "[\n");
    for (size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        std::fprintf(
            f,
            "  {\"size\": \"%dx%d\", \"preset\": %d, \"camera\": %d, \"time\": %g, \"threads\": %d, "
            "\"ao\": %s, \"no_interp\": %s, \"frames\": %d, \"load_ms\": %.1f, \"ms_median\": %.3f, "
            "\"trace_ms_median\": %.3f, \"ms_min\": %.3f, \"ms_max\": %.3f, \"fps\": %.3f, \"rays_per_frame\": %llu, "
            "\"primary_rays\": %llu, \"shadow_rays\": %llu, \"reflection_rays\": %llu, "
            "\"transparency_rays\": %llu, \"mrays_per_s\": %.3f}%s\n",
            options.width, options.height, r.preset, r.camera, options.time, options.threads,
            options.ao ? "true" : "false", options.noInterp ? "true" : "false", options.frames, loadMs, r.msMedian,
            r.traceMsMedian, r.msMin, r.msMax, r.fps, static_cast<unsigned long long>(r.raysPerFrameTotal),
            static_cast<unsigned long long>(r.raysPerFrame.primary),
            static_cast<unsigned long long>(r.raysPerFrame.shadow),
            static_cast<unsigned long long>(r.raysPerFrame.reflection),
            static_cast<unsigned long long>(r.raysPerFrame.transparency), r.mraysPerSecond,
            i + 1 < results.size() ? "," : "");
    }
    std::fprintf(f, "]\n");
    return std::fclose(f) == 0;
}

// The options that change the scene's toggles and presets.
void applyToggles(GSSampleScene& scene, const Options& options) {
    scene.aoToggle = options.ao;
    if (options.noJitter)
        for (int32_t i = 0; i < scene.presetCount; ++i)
            scene.presetTable[i] &= ~static_cast<int32_t>(RenderJitterSoftShadows);
    scene.noInterpolationToggle = options.noInterp;
    if (options.seedGiven)
        scene.seedState = options.seed;
}

// Set-up: paths made absolute, the output folder made, the assets folder entered, SDL
// started and the scene loaded as the program loads it, without a window; loadMs is the
// loading time. Returns 0 to go on, or the exit status (with a message).
int setUp(Options& options, double& loadMs) {
    // Paths given relative to where the tool was started stay valid after the chdir.
    options.out = absolutePath(options.out);
    options.json = absolutePath(options.json);
    options.model = absolutePath(options.model);
    options.movie = absolutePath(options.movie);
    if (!options.out.empty() && mkdir(options.out.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "vyx-bench: cannot create output folder %s\n", vyxEscapeText(options.out).c_str());
        return 1;
    }
    struct stat info;
    // An installed vyx-bench reads the assets installed beside it, even where the build
    // it came from still exists; one in the build tree reads the build's, or those of the
    // working directory when the build's are gone.
    if (!options.assetsGiven) {
        const std::string installed = vyxFindAssetsBesideProgram();
        if (!installed.empty())
            options.assets = installed;
        else if (stat((options.assets + "/venus.obj").c_str(), &info) != 0)
            options.assets = vyxFindAssetFolder();
    }
    if (stat((options.assets + "/venus.obj").c_str(), &info) != 0) {
        std::fprintf(stderr, "vyx-bench: no scene assets in %s (run vyx-make-assets %s first)\n",
                     vyxEscapeText(options.assets).c_str(), vyxEscapeText(options.assets).c_str());
        return 1;
    }
    if (chdir(options.assets.c_str()) != 0) {
        std::fprintf(stderr, "vyx-bench: cannot enter %s\n", vyxEscapeText(options.assets).c_str());
        return 1;
    }

    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (SDL_Init(SDL_INIT_TIMER) != 0 || TTF_Init() != 0) {
        std::fprintf(stderr, "vyx-bench: SDL start-up failed: %s\n", SDL_GetError());
        return 1;
    }
    // The same start-up values as the program; no window.
    static int32_t running = 1;
    AppContext context = vyxHeadlessContext(options.width, options.height, &running);
    vyxGlobalSettings.threadCount = options.threads;
    vyxSetWorkerThreadLimit(options.cores);

    // stdout carries the readers' "Opened file" lines; keep our own output apart.
    double loadStart = nowMs();
    GSSampleScene& scene = vyxSampleScene;
    scene.modelPath = options.model;
    scene.importRun.confine = options.confine;
    // A model that cannot be read is not replaced by the sample model: that is not what
    // was asked to be measured.
    scene.sampleModelInstead = false;
    scene.Load();
    scene.Init(context);
    loadMs = nowMs() - loadStart;
    // A model without faces is a valid, empty one (the loader says so).
    if (!options.model.empty() && !scene.modelFromFile) {
        std::fprintf(stderr, "vyx-bench: the model %s could not be read: %s; stopping without a frame\n",
                     vyxEscapeText(options.model).c_str(), vyxEscapeText(scene.modelProblem).c_str());
        scene.Unload();
        return 1;
    }
    if (scene.terrain.triangleCount == 0) {
        std::fprintf(stderr, "vyx-bench: the scene did not load from %s\n", vyxEscapeText(options.assets).c_str());
        scene.Unload();
        return 1;
    }
    applyToggles(scene, options);
    return 0;
}

// The figures of one configuration from its frames' times (ms, in frame order) and the
// rays of all its frames.
Result summarize(int preset, int camera, const std::vector<double>& times, std::vector<double> traceTimes,
                 const vyxRayStats& rays) {
    double traceMs = 0;
    for (double t : traceTimes)
        traceMs += t;
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    Result r;
    r.preset = preset;
    r.camera = camera;
    size_t n = sorted.size();
    r.msMedian = medianOfSorted(sorted);
    r.msMin = sorted.front();
    r.msMax = sorted.back();
    r.fps = 1000.0 / r.msMedian;
    std::sort(traceTimes.begin(), traceTimes.end());
    r.traceMsMedian = medianOfSorted(traceTimes);
    r.raysPerFrame = {rays.primary / n, rays.shadow / n, rays.reflection / n, rays.transparency / n};
    r.raysPerFrameTotal = rayTotal(r.raysPerFrame);
    r.mraysPerSecond = traceMs > 0 ? static_cast<double>(rayTotal(rays)) / (traceMs * 1000.0) : 0.0;
    return r;
}

// Writes the picture shown, scene.presentPixels, as vyx-WxH-pP-cC<tag>.png into the output
// folder; nothing without one. False (with a message) when it cannot be written.
bool writePicture(const GSSampleScene& scene, const Options& options, int preset, int cameraMode, const char* tag) {
    if (options.out.empty())
        return true;
    char name[512];
    std::snprintf(name, sizeof(name), "%s/vyx-%dx%d-p%d-c%d%s.png", options.out.c_str(), options.width, options.height,
                  preset, cameraMode, tag);
    if (scene.presentPixels == nullptr ||
        !stbi_write_png(name, options.width, options.height, 3, scene.presentPixels, options.width * 3)) {
        std::fprintf(stderr, "vyx-bench: cannot write %s\n", vyxEscapeText(name).c_str());
        return false;
    }
    return true;
}

// Renders the options' frames of one preset and camera mode through the program's steps
// (animation, camera, tracing, post-processing), printing the hashes asked for and, on
// the first frame of the run (firstFrame, then cleared), the start-up time; writes the
// last picture shown when an output folder is given. Nothing when a frame cannot be
// allocated or the picture not written (with a message).
std::optional<Result> measureConfiguration(GSSampleScene& scene, const Options& options, int preset, int cameraMode,
                                           double loadMs, bool& firstFrame) {
    scene.presetIndex = preset;
    scene.cameraIndex = cameraMode;
    // On the fixed clock every configuration starts from a fresh exposure at time 0, so
    // its pictures do not depend on the real time the scene loaded at.
    if (options.fixedClock)
        scene.exposure = vyxInitialExposure(0.0f);
    std::vector<double> times, traceTimes, waits;
    std::vector<int64_t> tilesByRank;
    double bytes = 0;
    vyxRayStats rays{};
    for (int frameIndex = 0; frameIndex < options.frames; ++frameIndex) {
        scene.animationTime = options.time;
        vyxRayStatsReset();
        double t0 = nowMs();
        scene.Animate();
        vyxUpdateCamera(scene.camera);
        FrameBuffer frame = vyxAllocFrame(options.width, options.height);
        if (frame.pixels == nullptr) {
            std::fprintf(stderr, "vyx-bench: out of memory for a %dx%d frame\n", options.width, options.height);
            return std::nullopt;
        }
        double t1 = nowMs();
        scene.TraceFrame(frame);
        double t2 = nowMs();
        if (vyxClusterShares(scene.cluster)) {
            const vyxClusterFrameStats& shared = vyxClusterLastFrame(scene.cluster);
            tilesByRank.resize(std::max(tilesByRank.size(), shared.tilesByRank.size()), 0);
            for (size_t r = 0; r < shared.tilesByRank.size(); ++r)
                tilesByRank[r] += shared.tilesByRank[r];
            bytes += static_cast<double>(shared.bytesSent);
            waits.push_back(shared.waitMs);
        }
        if (options.hash)
            std::printf("preset %d, camera %d, frame %d: traced frame hash %016llx\n", preset, cameraMode, frameIndex,
                        static_cast<unsigned long long>(frameHash(frame)));
        // The exposure adapts over real time; a fixed clock makes the PNGs of two builds
        // comparable byte for byte.
        float clock = options.fixedClock ? static_cast<float>(frameIndex) * (1000.0f / 60.0f)
                                         : static_cast<float>(SDL_GetTicks());
        scene.ProcessFrame(frame, clock);
        // With the fixed clock the exposure repeats too, so the picture shown in the
        // window (after post-processing) is as repeatable as the traced one.
        if (options.hash && options.fixedClock && scene.presentPixels != nullptr)
            std::printf("preset %d, camera %d, frame %d: shown frame hash %016llx\n", preset, cameraMode, frameIndex,
                        static_cast<unsigned long long>(
                            bytesHash(scene.presentPixels, static_cast<size_t>(options.width) * options.height * 3)));
        vyxFreeFrame(frame);
        double t3 = nowMs();
        if (firstFrame) {
            std::printf("start-up to first frame: %.1f ms (load %.1f + frame %.1f)\n", loadMs + t3 - t0, loadMs,
                        t3 - t0);
            firstFrame = false;
        }
        times.push_back(t3 - t0);
        traceTimes.push_back(t2 - t1);
        vyxRayStats r = vyxRayStatsTotal();
        rays.primary += r.primary;
        rays.shadow += r.shadow;
        rays.reflection += r.reflection;
        rays.transparency += r.transparency;
    }
    if (!writePicture(scene, options, preset, cameraMode, ""))
        return std::nullopt;
    Result result = summarize(preset, cameraMode, times, traceTimes, rays);
    result.tilesByRank = tilesByRank;
    if (!waits.empty()) {
        result.bytesPerFrame = bytes / static_cast<double>(waits.size());
        std::sort(waits.begin(), waits.end());
        result.waitMsMedian = medianOfSorted(waits);
    }
    return result;
}

// The line of a configuration rendered with other ranks: each rank's share of the tiles,
// the bytes sent per frame, rank 0's wait.
void printShares(const Result& r) {
    if (r.tilesByRank.empty())
        return;
    int64_t total = 0;
    for (int64_t n : r.tilesByRank)
        total += n;
    std::printf("  %zu ranks, tiles by rank:", r.tilesByRank.size());
    for (size_t k = 0; k < r.tilesByRank.size(); ++k)
        std::printf(" %zu: %.1f%%", k, total > 0 ? 100.0 * static_cast<double>(r.tilesByRank[k]) / total : 0.0);
    std::printf("; %.2f MB sent per frame; rank 0 waited %.2f ms for the slowest (median)\n", r.bytesPerFrame / 1e6,
                r.waitMsMedian);
}

// Refines the still of the scene's preset, camera mode and time as the program refines a
// view that stands still: the preset's picture, then samples until the mean holds
// `samples` a pixel (one a frame, or one per rank). The exposure is the one the program
// settles on for the view: measured on the first picture and applied at once. progress
// is called after every frame; firstMs receives the first frame's time. False (with a
// message) when a frame cannot be made.
bool refineStill(GSSampleScene& scene, int samples, const std::function<void()>& progress, double& firstMs,
                 int& frames) {
    scene.refinement = vyxMakeRefinement(samples);
    // On a clock that stands at 0, a last measurement long before makes the first frame measure.
    scene.exposure = vyxInitialExposure(0.0f);
    scene.exposure.lastUpdate = -2.0f * scene.exposure.interval;
    double start = nowMs();
    for (frames = 0;; ++frames) {
        scene.Animate();
        vyxUpdateCamera(scene.camera);
        vyxRefineStep step = scene.RefineFrame(0.0f);
        if (step.action == RefineIdle)
            return true;
        if (frames == 0) {
            scene.exposure.current = scene.exposure.target;
            firstMs = nowMs() - start;
        } else if (step.action != RefineSample) {
            std::fprintf(stderr, "\nvyx-bench: the still could not be refined (out of memory?)\n");
            return false;
        }
        if (progress)
            progress();
    }
}

// Renders the still of one preset and camera mode (refineStill) with a progress line on
// stderr, prints the time taken (and the mean's hash when asked) and writes the picture
// into the output folder when one is given. False (with a message) when a frame cannot
// be made or the picture not written.
bool renderStill(GSSampleScene& scene, const Options& options, int preset, int cameraMode) {
    scene.presetIndex = preset;
    scene.cameraIndex = cameraMode;
    scene.animationTime = options.time;
    double start = nowMs();
    double firstMs = 0;
    int frames = 0;
    auto progress = [&] {
        std::fprintf(stderr, "\rvyx-bench: preset %d, camera %d: %d / %d samples", preset, cameraMode,
                     scene.refinement.sampleCount, options.samples);
    };
    if (!refineStill(scene, options.samples, progress, firstMs, frames))
        return false;
    double seconds = (nowMs() - start) / 1000.0;
    std::fprintf(stderr, "\n");
    std::printf("preset %d (%s), camera %d: %d samples a pixel in %.2f s, %d frames (the first %.0f ms)\n", preset,
                kPresetNames[preset], cameraMode, options.samples, seconds, frames, firstMs);
    if (options.hash && scene.stillMean.pixels != nullptr)
        std::printf("preset %d, camera %d: still of %d samples, traced mean hash %016llx\n", preset, cameraMode,
                    options.samples, static_cast<unsigned long long>(frameHash(scene.stillMean)));
    std::fflush(stdout);
    char tag[32];
    std::snprintf(tag, sizeof(tag), "-s%d", options.samples);
    return writePicture(scene, options, preset, cameraMode, tag);
}

// ---- a flight as a movie

int flightFrameCount(const Options& options) {
    return std::max(1, static_cast<int>(std::lround(options.flightSeconds * options.fps)));
}

std::string flightFramePath(const Options& options, int index) {
    char name[64];
    std::snprintf(name, sizeof name, "/frame-%06d.png", index);
    return options.out + name;
}

void appendBytes(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}

// Frame index of the path flight (camera mode 1, the first preset given), as PNG bytes:
// the picture traced at its time, or its still of options.samples samples, with the
// exposure measured on it. Its random draws come from the seed and the index alone, so
// whichever rank renders it makes the same picture. Empty when it cannot be made.
std::string renderFlightFrame(GSSampleScene& scene, const Options& options, int index) {
    scene.presetIndex = options.presets.front();
    scene.cameraIndex = 1;
    scene.animationTime = static_cast<float>(options.time + index * 60.0 / options.fps);
    scene.seedState = options.seed * 0x9e3779b97f4a7c15ull + static_cast<uint64_t>(index);
    if (options.samples > 0) {
        double firstMs = 0;
        int frames = 0;
        if (!refineStill(scene, options.samples, {}, firstMs, frames))
            return std::string();
    } else {
        scene.Animate();
        vyxUpdateCamera(scene.camera);
        FrameBuffer frame = vyxAllocFrame(options.width, options.height);
        if (frame.pixels == nullptr)
            return std::string();
        scene.TraceFrame(frame);
        scene.exposure = vyxInitialExposure(0.0f);
        scene.exposure.lastUpdate = -2.0f * scene.exposure.interval;
        vyxAutoExposure(frame.pixels, frame.width, frame.height, scene.exposure, 0.0f);
        scene.exposure.current = scene.exposure.target;
        scene.ProcessFrame(frame, 0.0f, false);
        vyxFreeFrame(frame);
    }
    std::string png;
    if (scene.presentPixels == nullptr || !stbi_write_png_to_func(appendBytes, &png, options.width, options.height, 3,
                                                                  scene.presentPixels, options.width * 3))
        return std::string();
    return png;
}

// Writes bytes to path whole or not at all: into a file beside it, then renamed over it.
bool writeFileWhole(const std::string& path, const std::string& bytes) {
    const std::string partial = path + ".partial";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fclose(file) == 0 && written;
    if (!written || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

// The folder of PATH holding an executable `name`, or "" when none does.
std::string findInPath(const char* name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

// Encodes the flight's frames into options.movie with ffmpeg. False (with a message
// giving the command to run) when ffmpeg is missing or fails.
bool encodeMovie(const Options& options) {
    const std::string pattern = options.out + "/frame-%06d.png";
    const std::string rate = std::to_string(options.fps);
    const std::vector<std::string> words = {"ffmpeg", "-y",   "-loglevel", "error",    "-framerate", rate,         "-i",
                                            pattern,  "-c:v", "libx264",   "-pix_fmt", "yuv420p",    options.movie};
    std::string command;
    for (const std::string& word : words)
        command +=
            (command.empty() ? "" : " ") + (word.find_first_of(" %'") != std::string::npos ? "'" + word + "'" : word);
    const std::string ffmpeg = findInPath("ffmpeg");
    if (ffmpeg.empty()) {
        std::fprintf(stderr,
                     "vyx-bench: ffmpeg is not installed (Debian: apt-get install ffmpeg); the frames are in %s; "
                     "make the movie with:\n  %s\n",
                     options.out.c_str(), command.c_str());
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, ffmpeg.c_str(), nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "vyx-bench: ffmpeg could not make %s; the command was:\n  %s\n",
                     vyxEscapeText(options.movie).c_str(), vyxEscapeText(command).c_str());
        return false;
    }
    std::printf("movie: %s\n", vyxEscapeText(options.movie).c_str());
    return true;
}

// The path flight as numbered PNG frames in the output folder, shared out whole among
// the ranks when there are several, with a progress line; then the movie when asked.
// Returns the exit status.
int renderFlight(GSSampleScene& scene, vyxCluster* cluster, const Options& options) {
    const int count = flightFrameCount(options);
    double start = nowMs();
    int written = 0;
    bool failed = false;
    // Frames are rendered whole on one rank each: the scene itself shares nothing.
    scene.cluster = nullptr;
    vyxClusterFarm(
        cluster, count, [&](int32_t index) { return renderFlightFrame(scene, options, index); },
        [&](int32_t index, std::string&& png) {
            const std::string path = flightFramePath(options, index);
            if (png.size() < 8 || std::memcmp(png.data(), "\x89PNG", 4) != 0 || !writeFileWhole(path, png)) {
                std::fprintf(stderr, "\nvyx-bench: frame %d could not be %s\n", index,
                             png.size() < 8 ? "rendered" : "written");
                failed = true;
                return;
            }
            ++written;
            std::fprintf(stderr, "\rvyx-bench: flight frame %d / %d", written, count);
        });
    std::fprintf(stderr, "\n");
    std::printf("flight of %g s at %d fps: %d frames in %.2f s on %d rank(s), in %s\n", options.flightSeconds,
                options.fps, written, (nowMs() - start) / 1000.0, vyxClusterLiveRanks(cluster),
                vyxEscapeText(options.out).c_str());
    std::fflush(stdout);
    if (failed)
        return 1;
    if (!options.movie.empty() && !encodeMovie(options))
        return 1;
    return 0;
}

// The closing table, one row per configuration.
void printReport(const std::vector<Result>& results) {
    std::printf("\n%-6s %-6s %9s %9s %9s %8s %10s %10s %10s %10s %10s %9s\n", "preset", "camera", "median", "min",
                "max", "fps", "primary", "shadow", "reflection", "transp.", "rays", "Mrays/s");
    for (const Result& r : results) {
        std::printf("%-6d %-6d %7.2fms %7.2fms %7.2fms %8.2f %10llu %10llu %10llu %10llu %10llu %9.2f\n", r.preset,
                    r.camera, r.msMedian, r.msMin, r.msMax, r.fps,
                    static_cast<unsigned long long>(r.raysPerFrame.primary),
                    static_cast<unsigned long long>(r.raysPerFrame.shadow),
                    static_cast<unsigned long long>(r.raysPerFrame.reflection),
                    static_cast<unsigned long long>(r.raysPerFrame.transparency),
                    static_cast<unsigned long long>(r.raysPerFrameTotal), r.mraysPerSecond);
    }
}

// A rank other than 0: renders what rank 0 asks for, whole flight frames included.
int serveRank(vyxCluster* cluster, const Options& options) {
    GSSampleScene& scene = vyxSampleScene;
    bool applied = false;
    auto job = [&](int32_t index) {
        if (!applied)
            applyToggles(scene, options);
        applied = true;
        return renderFlightFrame(scene, options, index);
    };
    return vyxServeRank(cluster, scene, options.width, options.height, job);
}

// Rank 0 (or the only process): the measurements the options ask for.
int run(vyxCluster* cluster, Options& options) {
    double loadMs = 0;
    GSSampleScene& scene = vyxSampleScene;
    scene.cluster = cluster;
    int status = setUp(options, loadMs);
    if (status != 0)
        return status;

    if (options.probe)
        std::printf("two-thread arithmetic probe: %.2fx speed-up (2.00 = second core free); %s\n",
                    vyxBenchTwoThreadProbe(), vyxBenchProcessor().c_str());
    // The terrain's tree tells which walk the queries take (8 wide: the AVX2 one).
    const int nodeWidth = scene.terrain.bih ? scene.terrain.bih->bvh.width : 0;
    std::printf("scene loaded in %.1f ms; %dx%d, %d thread(s), %d frame(s) per configuration, time %g%s%s; "
                "%d-wide tree nodes\n",
                loadMs, options.width, options.height, options.threads, options.frames, options.time,
                options.ao ? ", AO" : "", options.noInterp ? ", no interpolation" : "", nodeWidth);
    if (vyxClusterSize(cluster) > 1)
        std::printf("%d ranks render (rank 0 included)\n", vyxClusterLiveRanks(cluster));
    if (options.flightSeconds > 0) {
        status = renderFlight(scene, cluster, options);
    } else if (options.samples > 0) {
        for (int preset : options.presets)
            for (int cameraMode : options.cameras)
                if (!renderStill(scene, options, preset, cameraMode))
                    status = 1;
    } else {
        std::vector<Result> results;
        bool firstFrame = true;
        for (int preset : options.presets) {
            for (int cameraMode : options.cameras) {
                std::optional<Result> r = measureConfiguration(scene, options, preset, cameraMode, loadMs, firstFrame);
                if (!r) {
                    status = 1;
                    break;
                }
                results.push_back(*r);
                std::printf("preset %d (%s), camera %d: median %.2f ms (tracing %.2f ms), %.1f fps, %.2f Mrays/s\n",
                            preset, kPresetNames[preset], cameraMode, r->msMedian, r->traceMsMedian, r->fps,
                            r->mraysPerSecond);
                printShares(*r);
                std::fflush(stdout);
            }
            if (status != 0)
                break;
        }
        if (status == 0) {
            printReport(results);
            if (!options.json.empty() && !writeJson(options.json, options, results, loadMs)) {
                std::fprintf(stderr, "vyx-bench: cannot write %s\n", vyxEscapeText(options.json).c_str());
                status = 1;
            }
        }
    }
    scene.Unload();
    TTF_Quit();
    SDL_Quit();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    vyxKeepFreedMemory();
    Options options;
    bool help = false;
    int status = parseArguments(argc, argv, options, help);
    if (status != 0)
        return status;
    if (help) {
        std::printf("%s\nRenders the sample scene without a window, or a model file in the sample\n"
                    "model's place, and prints frame times and rays per frame for each quality\n"
                    "preset and camera asked for; or renders stills, or the path flight as numbered\n"
                    "PNG frames.\n"
                    "Under mpirun (mpirun -n 4 vyx-bench ...) every rank renders: the tiles of each\n"
                    "frame and still are shared out, and the figures of each configuration say how\n"
                    "many each rank rendered, the bytes sent per frame and how long rank 0 waited; a\n"
                    "flight's frames are shared out whole. Only rank 0 reads files and writes output.\n"
                    "\n%s",
                    kUsageLine, kOptionsHelp);
        return 0;
    }
    if (options.version) {
        std::printf("vyx-bench %s\n", VYX_VERSION);
        return 0;
    }
    vyxGlobalSettings.threadCount = options.threads;
    vyxSetWorkerThreadLimit(options.cores);
    vyxCluster* cluster = nullptr;
    status = vyxClusterStart(&argc, &argv, &cluster);
    if (status >= 0)
        return status;
    if (vyxClusterRank(cluster) != 0)
        return serveRank(cluster, options);
    return vyxClusterFinish(cluster, run(cluster, options));
}
