// Frame time and rays per frame of the standard and subdivision renderers, on the calling
// thread and on worker threads, over a fixed 640 x 480 view of the noise terrain with a
// torus on it, lit by a disc sun and a hemisphere sky, with fog and a sky cube map.
//
// Counters per frame: primary (lattice and antialiasing rays included), rays (every kind),
// and for the subdivision renderer saved = 1 - its rays / the standard renderer's rays.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/scene.h"
#include "geometry/shapes.h"
#include "render/frame.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/light.h"
#include "trace/raystats.h"
#include "trace/settings.h"
#include "trace/texture.h"

namespace {

constexpr int kFrameWidth = 640;
constexpr int kFrameHeight = 480;
// threadCount: the blocks of work each phase of a threaded frame is split into.
constexpr int kBlocksPerPhase = 20;

struct BenchScene {
    vyxMesh terrain{};
    vyxMesh torus{};
    vyxLight sun = vyxZeroLight();
    vyxLight sky = vyxZeroLight();
    vyxTexture faces[6] = {};
    vyxCubeMap cube = {};
    vyxScene scene{};
    vyxCamera camera{};
};

// Sky faces: 16 x 16 float texels, blue brightening toward the zenith.
void makeSky(BenchScene& bench) {
    for (int f = 0; f < 6; ++f) {
        auto* texels = static_cast<float*>(malloc(16 * 16 * 3 * sizeof(float)));
        for (int row = 0; row < 16; ++row) {
            float up = f == 2 ? 1.0f : (f == 3 ? 0.0f : 1.0f - static_cast<float>(row) / 15.0f);
            for (int column = 0; column < 16; ++column) {
                float* texel = texels + (row * 16 + column) * 3;
                texel[0] = 0.35f + 0.25f * up;
                texel[1] = 0.45f + 0.3f * up;
                texel[2] = 0.6f + 0.35f * up;
            }
        }
        vyxMakeTexture(bench.faces[f], 16, 16, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
        bench.cube.faces[f] = &bench.faces[f];
    }
}

float groundHeight(vyxMesh& terrain, float x, float z) {
    vyxTraceResult hit = vyxTraceMesh(terrain, {x, 1000.0f, z}, {0.0f, -1.0f, 0.0f}, -1.0f);
    return hit.t > 0.0f ? 1000.0f - hit.t : 0.0f;
}

BenchScene& benchScene() {
    static BenchScene* bench = [] {
        auto* b = new BenchScene;
        vyxBuildTerrainMesh(b->terrain);
        vyxTransformIdentity(b->terrain.transform);
        vyxMakeTorus(b->torus, nullptr, 0.8f, 0.2f);
        vyxTransformIdentity(b->torus.transform);
        if (b->torus.materialCount > 0) {
            b->torus.materials[0].reflectivity = 0.3f;
            b->torus.materials[0].specular = 0.5f;
        }
        float torusGround = groundHeight(b->terrain, 0.0f, 0.0f);
        vyxTransformScale(b->torus.transform, 3.0f, 3.0f, 3.0f);
        vyxTransformRotate(b->torus.transform, 1.2f, 1.0f, 0.0f, 0.0f);
        vyxTransformTranslate(b->torus.transform, 0.0f, torusGround + 2.5f, 0.0f);

        b->sun.kind = LightDisc;
        b->sun.direction = {-0.375f, -0.484f, -1.0f};
        b->sun.colour = {0.75f, 0.7f, 0.65f};
        b->sun.angle = 0.034906585f;
        b->sky.kind = LightHemisphere;
        b->sky.colour = {0.096f, 0.112f, 0.136f};
        b->sky.groundColour = {0.03f, 0.03f, 0.03f};
        b->sky.direction = {0.0f, 1.0f, 0.0f};
        makeSky(*b);

        vyxSceneInit(b->scene);
        vyxSceneAddMesh(b->scene, &b->terrain);
        vyxSceneAddMesh(b->scene, &b->torus);
        vyxSceneAddLight(b->scene, &b->sun);
        vyxSceneAddLight(b->scene, &b->sky);
        b->scene.cubeMap = &b->cube;

        float eyeGround = groundHeight(b->terrain, 6.0f, 16.0f);
        b->camera.upHint = {0.0f, 1.0f, 0.0f};
        b->camera.position = {6.0f, eyeGround + 6.0f, 16.0f};
        b->camera.target = {0.0f, torusGround + 1.5f, 0.0f};
        b->camera.imageWidth = kFrameWidth;
        b->camera.imageHeight = kFrameHeight;
        b->camera.fov = static_cast<float>(vyxPi / 2);
        vyxUpdateCamera(b->camera);
        return b;
    }();
    return *bench;
}

vyxRenderSettings benchSettings(int32_t flags) {
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    settings.flags = flags;
    settings.threadCount = kBlocksPerPhase;
    settings.fogDensity = 0.0004f;
    settings.fogColour = {0.16f, 0.24f, 0.272f};
    settings.aoDistance = 20.0f;
    return settings;
}

uint64_t allRays(const vyxRayStats& stats) {
    return stats.primary + stats.shadow + stats.reflection + stats.transparency;
}

// Rays of one frame with the given flags.
vyxRayStats countFrame(int32_t flags) {
    BenchScene& bench = benchScene();
    vyxRenderSettings settings = benchSettings(flags);
    FrameBuffer image = vyxAllocFrame(kFrameWidth, kFrameHeight);
    vyxRayStatsReset();
    vyxRenderFrame(bench.scene, bench.camera, image, settings);
    vyxRayStats stats = vyxRayStatsTotal();
    vyxFreeFrame(image);
    return stats;
}

uint64_t standardRays() {
    static uint64_t rays = allRays(countFrame(RenderStandard | RenderThreaded));
    return rays;
}

void renderFrames(benchmark::State& state, int32_t flags, bool compareWithStandard) {
    BenchScene& bench = benchScene();
    vyxRenderSettings settings = benchSettings(flags);
    FrameBuffer image = vyxAllocFrame(kFrameWidth, kFrameHeight);
    vyxRayStatsReset();
    for (auto _ : state) {
        vyxRenderFrame(bench.scene, bench.camera, image, settings);
        benchmark::DoNotOptimize(image.pixels);
        benchmark::ClobberMemory();
    }
    vyxRayStats stats = vyxRayStatsTotal();
    double frames = static_cast<double>(state.iterations());
    state.counters["primary"] = static_cast<double>(stats.primary) / frames;
    state.counters["rays"] = static_cast<double>(allRays(stats)) / frames;
    if (compareWithStandard) {
        state.counters["saved"] =
            1.0 - static_cast<double>(allRays(stats)) / frames / static_cast<double>(standardRays());
        state.counters["primary_saved"] =
            1.0 - static_cast<double>(stats.primary) / frames / (static_cast<double>(kFrameWidth) * kFrameHeight);
    }
    vyxFreeFrame(image);
}

const int32_t kChecks = RenderCheckShadows | RenderCheckSpecular | RenderCheckReflections;

void BM_Standard(benchmark::State& state) { renderFrames(state, RenderStandard, false); }
void BM_StandardThreaded(benchmark::State& state) { renderFrames(state, RenderStandard | RenderThreaded, false); }
void BM_StandardAntialiasThreaded(benchmark::State& state) {
    renderFrames(state, RenderStandard | RenderThreaded | RenderAntialias, false);
}
void BM_Subdivision(benchmark::State& state) { renderFrames(state, RenderSubdivision | kChecks, true); }
void BM_SubdivisionThreaded(benchmark::State& state) {
    renderFrames(state, RenderSubdivision | RenderThreaded | kChecks, true);
}
void BM_SubdivisionNoChecksThreaded(benchmark::State& state) {
    renderFrames(state, RenderSubdivision | RenderThreaded, true);
}

// Whole frames take hundreds of milliseconds: a few iterations each keep the run short.
BENCHMARK(BM_Standard)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_StandardThreaded)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_StandardAntialiasThreaded)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Subdivision)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SubdivisionThreaded)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SubdivisionNoChecksThreaded)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace
