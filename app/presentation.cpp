// Render: animate, trace, post-process, resample, convert and show the frame with its
// caption and overlay.

#include <cstdio>
#include <vector>

#include "SDL.h"
#include "SDL_ttf.h"

#include "stb_image_resize.h"

#include "app/cluster.h"
#include "app/sample_scene.h"
#include "geometry/mesh.h"
#include "render/accumulate.h"
#include "render/frame.h"
#include "trace/random.h"
#include "util/assert.h"

// The wait after each frame of a still view that has all its samples (ms): keys and
// mouse are still read some 30 times a second, and the cores are left alone.
static const Uint32 kIdleFrameMs = 30;

int32_t GSSampleScene::FrameFlags() const {
    // Init, the arrow keys and the tools that choose a preset keep presetIndex in the table.
    VYX_ASSERT(presetIndex >= 0 && presetIndex < presetCount);
    int32_t flags = presetTable != nullptr ? presetTable[presetIndex] : static_cast<int32_t>(RenderStandard);
    if (noInterpolationToggle)
        flags |= RenderNoBlockInterpolation;
    if (aoToggle)
        flags |= RenderAmbientOcclusion;
    return flags;
}

uint32_t GSSampleScene::NextSeed() {
    uint32_t seed = static_cast<uint32_t>(vyxSplitMix64(seedState) >> 32);
    return seed != 0 ? seed : 1; // 0 would mean each thread's own draws
}

uint32_t GSSampleScene::SampleSeed(int32_t index) const {
    uint64_t state = (static_cast<uint64_t>(stillSeed) << 32) | static_cast<uint32_t>(index);
    uint32_t seed = static_cast<uint32_t>(vyxSplitMix64(state) >> 32);
    return seed != 0 ? seed : 1;
}

void GSSampleScene::TraceFrame(FrameBuffer& frame) {
    // Every pixel is written by the renderer: the subdivision renderer clears the image
    // before it writes one pixel per unrefined block without block interpolation.
    context.settings->flags = FrameFlags();
    context.settings->jitterSeed = NextSeed();
    if (vyxClusterShares(cluster))
        vyxClusterRenderFrame(cluster, scene, camera, *context.settings, frame);
    else
        vyxRenderFrame(scene, camera, frame, *context.settings);
}

// Traces the still samples of step into frame (the last one) and adds them to mean in
// order, shared out among the ranks when there are several. frame then holds the mean.
// False, the mean untouched, when memory for the samples runs out or they cannot be traced.
static bool traceSamples(GSSampleScene& state, const vyxRefineStep& step, FrameBuffer& frame, FrameBuffer& mean) {
    vyxRenderSettings& settings = *state.context.settings;
    if (!vyxClusterShares(state.cluster)) {
        settings.jitterSeed = state.SampleSeed(step.sampleIndex);
        vyxRenderStillSample(state.scene, state.camera, frame, settings, step.sampleIndex);
        if (mean.pixels != nullptr)
            vyxAccumulateSample(mean, frame, step.sampleIndex);
        return true;
    }
    std::vector<FrameBuffer> frames(static_cast<size_t>(step.sampleCount), FrameBuffer{0, 0, nullptr});
    std::vector<uint32_t> seeds;
    bool allocated = true;
    for (int32_t k = 0; k < step.sampleCount; ++k) {
        frames[static_cast<size_t>(k)] = k + 1 == step.sampleCount ? frame : vyxAllocFrame(frame.width, frame.height);
        allocated = allocated && frames[static_cast<size_t>(k)].pixels != nullptr;
        seeds.push_back(state.SampleSeed(step.sampleIndex + k));
    }
    // A set of frames the camera does not fit is refused before anything is traced; it
    // adds nothing to the mean.
    const bool rendered =
        allocated && vyxClusterRenderSamples(state.cluster, state.scene, state.camera, settings, step.sampleIndex,
                                             seeds.data(), frames.data(), step.sampleCount);
    if (rendered) {
        // In index order, as one process adds them: the same mean to the last bit.
        for (int32_t k = 0; k < step.sampleCount && mean.pixels != nullptr; ++k)
            vyxAccumulateSample(mean, frames[static_cast<size_t>(k)], step.sampleIndex + k);
    }
    for (int32_t k = 0; k + 1 < step.sampleCount; ++k)
        vyxFreeFrame(frames[static_cast<size_t>(k)]);
    return rendered;
}

template <typename T>
static void appendBytes(std::vector<unsigned char>& bytes, const T& value) {
    const unsigned char* first = reinterpret_cast<const unsigned char*>(&value);
    bytes.insert(bytes.end(), first, first + sizeof(T));
}

// What a frame shows, as bytes: the camera as placed, the flags and where each mesh of the
// scene stands (the animation clock moves nothing else the frame traces).
static std::vector<unsigned char> viewOf(const vyxCamera& camera, int32_t flags, const vyxScene& scene) {
    std::vector<unsigned char> view;
    appendBytes(view, camera.position);
    appendBytes(view, camera.target);
    appendBytes(view, camera.upHint);
    appendBytes(view, camera.fov);
    appendBytes(view, camera.imageWidth);
    appendBytes(view, camera.imageHeight);
    appendBytes(view, flags);
    for (int32_t i = 0; i < scene.meshCount; ++i)
        if (scene.meshes[i] != nullptr)
            appendBytes(view, scene.meshes[i]->transform.matrix);
    return view;
}

vyxRefineStep GSSampleScene::RefineFrame(float now) {
    const int32_t flags = FrameFlags();
    const std::vector<unsigned char> view = viewOf(camera, flags, scene);
    // The standard renderer's own picture is a sample at the pixel corners, the first of
    // the mean; the subdivision renderer's is interpolated and only shown. Its block view
    // (X) shows which pixels it traced, which refining would wipe out.
    const bool standard = (flags & RenderStandard) != 0;
    const bool refinable = standard || !noInterpolationToggle;
    // Every rank traces a sample of its own each frame.
    const int32_t perFrame = vyxClusterShares(cluster) ? vyxClusterLiveRanks(cluster) : 1;
    vyxRefineStep step = vyxRefinePlan(refinement, view.data(), view.size(), standard, refinable, perFrame);
    if (step.action == RefineIdle)
        return step;

    FrameBuffer frame =
        vyxAllocFrame(static_cast<int32_t>(camera.imageWidth), static_cast<int32_t>(camera.imageHeight));
    if (frame.pixels == nullptr) {
        vyxRefineReset(refinement);
        return step;
    }
    if (step.action == RefineSample || (refinable && standard)) {
        if (stillMean.width != frame.width || stillMean.height != frame.height || stillMean.pixels == nullptr) {
            vyxFreeFrame(stillMean);
            stillMean = vyxAllocFrame(frame.width, frame.height);
        }
        if (stillMean.pixels == nullptr)
            vyxRefineReset(refinement); // no memory for the mean: every frame shows itself
    }
    if (step.action == RefineFresh) {
        stillSeed = NextSeed();
        TraceFrame(frame);
        if (refinable && standard && stillMean.pixels != nullptr)
            vyxAccumulateSample(stillMean, frame, 0);
    } else {
        context.settings->flags = flags;
        if (!traceSamples(*this, step, frame, stillMean))
            vyxRefineReset(refinement);
    }
    // The exposure measured on the view's first frame stays while the picture converges:
    // adapting to each mean would make it pump.
    ProcessFrame(frame, now, step.action == RefineFresh);
    vyxFreeFrame(frame);
    return step;
}

bool GSSampleScene::ClusterText(char* line, size_t size) const {
    if (cluster == nullptr || vyxClusterSize(cluster) < 2)
        return false;
    const vyxClusterFrameStats& last = vyxClusterLastFrame(cluster);
    const int32_t live = vyxClusterLiveRanks(cluster);
    std::snprintf(line, size, "Ranks: %d of %d rendering; the frame waited %.1f ms for the slowest", live,
                  vyxClusterSize(cluster), last.waitMs);
    return true;
}

bool GSSampleScene::StatusText(char* line, size_t size) const {
    if (refinement.last == RefineFresh) {
        if (paused)
            std::snprintf(line, size, "Paused");
        return paused;
    }
    std::snprintf(line, size, "%sStill view: %d / %d samples%s", paused ? "Paused. " : "", refinement.sampleCount,
                  refinement.cap, refinement.last == RefineIdle ? " (done)" : "");
    return true;
}

void GSSampleScene::ProcessFrame(FrameBuffer& frame, float now, bool adaptExposure) {
    int width = frame.width;
    int height = frame.height;
    if (frame.pixels == nullptr)
        return;
    if (adaptExposure)
        vyxAutoExposure(frame.pixels, width, height, exposure, now);
    vyxSmoothImage(frame.pixels, width, height, 0.25f);
    vyxApplyExposureAndGamma(frame.pixels, width, height, exposure.current, 2.2f);

    if (presentSurface == nullptr || presentPixels == nullptr)
        return;
    int presentWidth = presentSurface->w;
    int presentHeight = presentSurface->h;
    const FrameBuffer* source = &frame;
    FrameBuffer resized = {0, 0, nullptr};
    if (presentWidth != width || presentHeight != height) {
        // A full-screen mode of another size: the traced image keeps the render size
        // and is resampled to the window.
        resized = vyxAllocFrame(presentWidth, presentHeight);
        if (resized.pixels == nullptr)
            return;
        stbir_resize_float(&frame.pixels[0].x, width, height, 0, &resized.pixels[0].x, presentWidth, presentHeight, 0,
                           3);
        source = &resized;
    }
    vyxConvertToBytes(source->pixels, presentWidth, presentHeight, presentPixels);
    vyxFreeFrame(resized);
}

int32_t GSSampleScene::OverlayText(char lines[5][1024]) const {
    // The mode lines describe the preset itself, without the toggle bits.
    VYX_ASSERT(presetIndex >= 0 && presetIndex < presetCount);
    int32_t preset = presetTable != nullptr ? presetTable[presetIndex] : 0;
    double rate = 1.0 / static_cast<double>(frameTime);
    std::snprintf(lines[0], 1024, "Press left/right to change quality settings");
    std::snprintf(lines[1], 1024,
                  "\"Z\": toggle ambient occlusion. \"X\": toggle subsample interpolation. \"C\": change camera.");
    if (preset & RenderStandard) {
        std::snprintf(lines[2], 1024, "Renderer Mode: Standard (%.2ffps) %s", rate,
                      (preset & RenderAntialias) ? " ANTIALIASED" : "");
        return 3;
    }
    std::snprintf(lines[2], 1024, "Renderer Mode: Subdivision (%.2ffps)", rate);
    std::snprintf(lines[3], 1024, "Subsample checks:%s%s%s", (preset & RenderCheckShadows) ? " SHADOWS" : "",
                  (preset & RenderCheckSpecular) ? " SPECULAR" : "",
                  (preset & RenderCheckReflections) ? " REFLECTIONS" : "");
    std::snprintf(lines[4], 1024, "Block Interpolation: %s", noInterpolationToggle ? "OFF" : "ON");
    return 5;
}

// White text lines from (8, y) downward, one font line skip apart.
static void drawOverlay(SDL_Surface* screen, TTF_Font* font, const char (*lines)[1024], int32_t count, int y) {
    SDL_Color white = {255, 255, 255, 0};
    for (int32_t n = 0; n < count; ++n) {
        SDL_Surface* text = TTF_RenderText_Blended(font, lines[n], white);
        if (text != nullptr) {
            SDL_Rect place = {8, static_cast<Sint16>(y), 0, 0};
            SDL_UpperBlit(text, nullptr, screen, &place);
            SDL_FreeSurface(text);
        }
        y += TTF_FontLineSkip(font);
    }
}

void GSSampleScene::Render() {
    Animate();
    vyxUpdateCamera(camera);
    vyxRefineStep step = RefineFrame(static_cast<float>(SDL_GetTicks()));

    SDL_Surface* screen = context.screen;
    if (screen == nullptr)
        return; // no window left (a display-mode switch failed completely): nothing to show
    if (presentSurface != nullptr)
        SDL_UpperBlit(presentSurface, nullptr, screen, nullptr);

    if (frameTime > 0.0f) {
        char caption[256];
        std::snprintf(caption, sizeof(caption), "VYX Tracer - %.2ffps", 1.0 / static_cast<double>(frameTime));
        SDL_WM_SetCaption(caption, nullptr);
    }

    if (hudVisible && font != nullptr) {
        char lines[5][1024];
        int32_t count = OverlayText(lines);
        drawOverlay(screen, font, lines, count, 8);
        char ranks[1][1024];
        if (ClusterText(ranks[0], sizeof(ranks[0])))
            drawOverlay(screen, font, ranks, 1, 8 + count * TTF_FontLineSkip(font));
        // The status goes under the picture, clear of the mode lines.
        char status[1][1024];
        if (StatusText(status[0], sizeof(status[0])))
            drawOverlay(screen, font, status, 1, screen->h - 8 - TTF_FontLineSkip(font));
    }

    SDL_Flip(screen);
    SDL_Delay(step.action == RefineIdle ? kIdleFrameMs : 1);
}
