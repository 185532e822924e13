// vyx-bench: renders frames of the sample scene (or of a model given with --model in the
// sample model's place) without a display, through the same
// steps as the interactive program's Render (animation, camera, flags, dispatch,
// post-processing), and reports frame times and ray counts per configuration.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "SDL.h"
#include "SDL_ttf.h"
#include "stb_image_write.h"

#include "app/app_context.h"
#include "app/install_layout.h"
#include "app/sample_scene.h"
#include "render/frame.h"
#include "render/framebuffer.h"
#include "trace/raystats.h"
#include "util/large_alloc.h"

#ifndef VYX_DEFAULT_ASSETS_DIR
#define VYX_DEFAULT_ASSETS_DIR "assets"
#endif

namespace {

const char* const kUsageLine =
    "usage: vyx-bench [--size 640x480|1280x720|WxH] [--preset 0..5|all] [--camera 0..3|all] [--time T]\n"
    "                 [--frames N] [--ao] [--no-interp] [--threads N] [--cores N] [--assets DIR]\n"
    "                 [--out DIR] [--json FILE] [--model FILE] [--probe] [--fixed-clock] [--hash]\n"
    "                 [--no-jitter] [--samples N] [--help]\n";

struct Options {
    int width = 640;
    int height = 480;
    std::vector<int> presets{0};
    std::vector<int> cameras{0};
    float time = 0.0f;
    int frames = 10;
    bool ao = false;
    bool noInterp = false;
    int threads = 20;
    int cores = 0; // threads that render the blocks; 0 = as many as the machine runs
    std::string assets = VYX_DEFAULT_ASSETS_DIR;
    bool assetsGiven = false;
    std::string out;
    std::string json;
    std::string model; // model file shown in the sample model's place; empty = the sample model
    bool probe = false;
    bool hash = false;       // print a checksum of each traced frame (before post-processing)
    bool noJitter = false;   // soft-shadow samples unrotated in every preset: frames repeat exactly
    bool fixedClock = false; // post-processing sees 1/60 s per frame from 0, not the real clock
    int samples = 0;         // > 0: render a still of that many samples a pixel instead of timing frames
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
};

uint64_t rayTotal(const vyxRayStats& rays) { return rays.primary + rays.shadow + rays.reflection + rays.transparency; }

int badArguments(const char* message) {
    std::fprintf(stderr, "vyx-bench: %s\n%s", message, kUsageLine);
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

bool parseList(const char* text, int high, std::vector<int>& values) {
    values.clear();
    if (std::strcmp(text, "all") == 0) {
        for (int i = 0; i <= high; ++i)
            values.push_back(i);
        return true;
    }
    int v;
    if (!parseInt(text, 0, high, v))
        return false;
    values.push_back(v);
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
    return 0;
}

// FNV-1a over bytes (the traced frame's floats, the shown frame's 8-bit pixels): two
// builds that make the same picture print the same value.
uint64_t bytesHash(const void* data, size_t count) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < count; ++i) {
        h ^= bytes[i];
        h *= 1099511628211ull;
    }
    return h;
}

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

// Speed-up of two threads over one on pure arithmetic: near 2 when the second core is free.
double twoThreadProbe() {
    auto work = [] {
        volatile double x = 1.0;
        for (int i = 0; i < 30000000; ++i)
            x = x * 1.0000001 + 1e-9;
    };
    double t0 = nowMs();
    work();
    double one = nowMs() - t0;
    t0 = nowMs();
    std::thread a(work), b(work);
    a.join();
    b.join();
    double two = nowMs() - t0;
    return 2.0 * one / two;
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

// Set-up: paths made absolute, the output folder made, the assets folder entered, SDL
// started and the scene loaded as the program loads it, without a window; loadMs is the
// loading time. Returns 0 to go on, or the exit status (with a message).
int setUp(Options& options, double& loadMs) {
    // Paths given relative to where the tool was started stay valid after the chdir.
    options.out = absolutePath(options.out);
    options.json = absolutePath(options.json);
    options.model = absolutePath(options.model);
    if (!options.out.empty() && mkdir(options.out.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "vyx-bench: cannot create output folder %s\n", options.out.c_str());
        return 1;
    }
    struct stat info;
    // An installed vyx-bench finds the assets installed beside it when the build's are gone.
    if (!options.assetsGiven && stat((options.assets + "/venus.obj").c_str(), &info) != 0)
        options.assets = vyxFindAssetFolder();
    if (stat((options.assets + "/venus.obj").c_str(), &info) != 0) {
        std::fprintf(stderr, "vyx-bench: no scene assets in %s (run vyx-make-assets %s first)\n",
                     options.assets.c_str(), options.assets.c_str());
        return 1;
    }
    if (chdir(options.assets.c_str()) != 0) {
        std::fprintf(stderr, "vyx-bench: cannot enter %s\n", options.assets.c_str());
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
    AppContext context{};
    context.windowWidth = context.renderWidth = options.width;
    context.windowHeight = context.renderHeight = options.height;
    context.lookSensitivity = 0.005f;
    context.moveSpeed = 0.04f;
    context.running = &running;
    context.settings = &vyxGlobalSettings;
    vyxApplyStartupSettings(vyxGlobalSettings);
    vyxGlobalSettings.threadCount = options.threads;
    vyxSetWorkerThreadLimit(options.cores);

    // stdout carries the readers' "Opened file" lines; keep our own output apart.
    double loadStart = nowMs();
    GSSampleScene& scene = vyxSampleScene;
    scene.modelPath = options.model;
    scene.Load();
    scene.Init(context);
    loadMs = nowMs() - loadStart;
    // A model without faces is a valid, empty one (the loader says so); a model that
    // could not be read would leave the sample model in its place, which is not what
    // was asked to be measured.
    if (!options.model.empty() && !scene.modelFromFile) {
        std::fprintf(stderr, "vyx-bench: cannot read the model %s\n", options.model.c_str());
        scene.Unload();
        return 1;
    }
    if (scene.terrain.triangleCount == 0) {
        std::fprintf(stderr, "vyx-bench: the scene did not load from %s\n", options.assets.c_str());
        scene.Unload();
        return 1;
    }
    scene.aoToggle = options.ao;
    if (options.noJitter)
        for (int32_t i = 0; i < scene.presetCount; ++i)
            scene.presetTable[i] &= ~static_cast<int32_t>(RenderJitterSoftShadows);
    scene.noInterpolationToggle = options.noInterp;
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
        std::fprintf(stderr, "vyx-bench: cannot write %s\n", name);
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
    std::vector<double> times, traceTimes;
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
    return summarize(preset, cameraMode, times, traceTimes, rays);
}

// Renders the still of one preset and camera mode as the program refines a view that
// stands still: the preset's picture, then one sample a pixel per frame until the mean
// holds options.samples, with a progress line on stderr. Prints the time taken and
// writes the picture into the output folder when one is given. The exposure is the one
// the program settles on for the view: measured on the first picture and applied at
// once. False (with a message) when a frame cannot be made or the picture not written.
bool renderStill(GSSampleScene& scene, const Options& options, int preset, int cameraMode) {
    scene.presetIndex = preset;
    scene.cameraIndex = cameraMode;
    scene.animationTime = options.time;
    scene.refinement = vyxMakeRefinement(options.samples);
    // On a clock that stands at 0, a last measurement long before makes the first frame measure.
    scene.exposure = vyxInitialExposure(0.0f);
    scene.exposure.lastUpdate = -2.0f * scene.exposure.interval;
    double start = nowMs();
    double firstMs = 0;
    int frames = 0;
    for (;; ++frames) {
        scene.Animate();
        vyxUpdateCamera(scene.camera);
        vyxRefineStep step = scene.RefineFrame(0.0f);
        if (step.action == RefineIdle)
            break;
        if (frames == 0) {
            scene.exposure.current = scene.exposure.target;
            firstMs = nowMs() - start;
        } else if (step.action != RefineSample) {
            std::fprintf(stderr, "\nvyx-bench: the still could not be refined (out of memory?)\n");
            return false;
        }
        std::fprintf(stderr, "\rvyx-bench: preset %d, camera %d: %d / %d samples", preset, cameraMode,
                     scene.refinement.sampleCount, options.samples);
    }
    double seconds = (nowMs() - start) / 1000.0;
    std::fprintf(stderr, "\n");
    std::printf("preset %d (%s), camera %d: %d samples a pixel in %.2f s, %d frames (the first %.0f ms)\n", preset,
                kPresetNames[preset], cameraMode, options.samples, seconds, frames, firstMs);
    std::fflush(stdout);
    char tag[32];
    std::snprintf(tag, sizeof(tag), "-s%d", options.samples);
    return writePicture(scene, options, preset, cameraMode, tag);
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

} // namespace

int main(int argc, char** argv) {
    vyxKeepFreedMemory();
    Options options;
    bool help = false;
    int status = parseArguments(argc, argv, options, help);
    if (status != 0)
        return status;
    if (help) {
        std::printf("%s\nRenders the sample scene headlessly and prints frame times and rays per frame.\n"
                    "With --model, a model file (OBJ, glTF, PLY, STL, 3DS, FBX, Collada and the other\n"
                    "formats of the Open Asset Import Library) takes the sample model's place. --threads sets the\n"
                    "renderer's thread count (its blocks of work, which shape the subdivision bands);\n"
                    "--cores how many threads render those blocks (default: every core).\n"
                    "--samples N renders a still instead: the program's refinement of a view that\n"
                    "stands still, N samples a pixel, timed, with progress on standard error; --out\n"
                    "writes it as vyx-WxH-pP-cC-sN.png.\n"
                    "Defaults: --size 640x480 --preset 0 --camera 0 --time 0 --frames 10 --threads 20\n"
                    "          --assets %s (or the assets beside the program when that has none)\n",
                    kUsageLine, VYX_DEFAULT_ASSETS_DIR);
        return 0;
    }
    double loadMs = 0;
    status = setUp(options, loadMs);
    if (status != 0)
        return status;
    GSSampleScene& scene = vyxSampleScene;

    if (options.probe)
        std::printf("two-thread arithmetic probe: %.2fx speed-up (2.00 = second core free)\n", twoThreadProbe());
    std::printf("scene loaded in %.1f ms; %dx%d, %d thread(s), %d frame(s) per configuration, time %g%s%s\n", loadMs,
                options.width, options.height, options.threads, options.frames, options.time, options.ao ? ", AO" : "",
                options.noInterp ? ", no interpolation" : "");
    if (options.samples > 0) {
        for (int preset : options.presets)
            for (int cameraMode : options.cameras)
                if (!renderStill(scene, options, preset, cameraMode))
                    status = 1;
        scene.Unload();
        TTF_Quit();
        SDL_Quit();
        return status;
    }
    std::vector<Result> results;
    bool firstFrame = true;
    for (int preset : options.presets) {
        for (int cameraMode : options.cameras) {
            std::optional<Result> r = measureConfiguration(scene, options, preset, cameraMode, loadMs, firstFrame);
            if (!r) {
                scene.Unload();
                return 1;
            }
            results.push_back(*r);
            std::printf("preset %d (%s), camera %d: median %.2f ms (tracing %.2f ms), %.1f fps, %.2f Mrays/s\n", preset,
                        kPresetNames[preset], cameraMode, r->msMedian, r->traceMsMedian, r->fps, r->mraysPerSecond);
            std::fflush(stdout);
        }
    }

    printReport(results);
    int exitStatus = 0;
    if (!options.json.empty() && !writeJson(options.json, options, results, loadMs)) {
        std::fprintf(stderr, "vyx-bench: cannot write %s\n", options.json.c_str());
        exitStatus = 1;
    }
    scene.Unload();
    TTF_Quit();
    SDL_Quit();
    return exitStatus;
}
