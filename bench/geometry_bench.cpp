// Build time of the generated meshes' hierarchies and ray throughput of the queries:
// primary rays from a fixed camera over the terrain and the torus, and shadow rays from
// their hit points toward the sun. Throughput is reported as Mrays/s on one thread.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "geometry/bih.h"
#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/scene.h"
#include "geometry/shapes.h"

namespace {

const vyxVec3 kSunDirection = {0.375f, 0.484f, 1.0f};

struct Ray {
    vyxVec3 origin;
    vyxVec3 direction;
};

// The two meshes, generated once for the whole program.
struct Meshes {
    vyxMesh terrain;
    vyxMesh torus;
    vyxScene scene; // terrain, then the torus lifted above its middle
    Meshes() {
        std::memset(&terrain, 0, sizeof(terrain));
        std::memset(&torus, 0, sizeof(torus));
        vyxTransformIdentity(terrain.transform);
        vyxTransformIdentity(torus.transform);
        vyxBuildTerrainMesh(terrain);
        vyxMakeTorus(torus, nullptr, 0.8f, 0.2f);
        vyxTransformScale(torus.transform, 8.0f, 8.0f, 8.0f);
        vyxTransformTranslate(torus.transform, 0.0f, 55.0f, 0.0f);
        for (vyxMesh* m : {&terrain, &torus}) {
            vyxTransformPrepare(m->transform);
            vyxTransformPrepare(m->bih->transform);
        }
        vyxSceneInit(scene);
        vyxSceneAddMesh(scene, &terrain);
        vyxSceneAddMesh(scene, &torus);
    }
};

Meshes& meshes() {
    static Meshes m;
    return m;
}

// Pinhole camera rays for a width x height image, one through each pixel centre.
std::vector<Ray> cameraRays(vyxVec3 eye, vyxVec3 target, float fovY, int width, int height) {
    vyxVec3 forward = vyxNormalize(target - eye);
    vyxVec3 right = vyxNormalize(vyxCross(forward, vyxVec3{0, 1, 0}));
    vyxVec3 up = vyxCross(right, forward);
    float h = std::tan(fovY * 0.5f), w = h * static_cast<float>(width) / static_cast<float>(height);
    std::vector<Ray> rays;
    rays.reserve(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float u = ((static_cast<float>(x) + 0.5f) / width * 2.0f - 1.0f) * w;
            float v = (1.0f - (static_cast<float>(y) + 0.5f) / height * 2.0f) * h;
            rays.push_back({eye, forward + right * u + up * v});
        }
    return rays;
}

std::vector<Ray> terrainCamera() { return cameraRays({0, 45, 120}, {0, 0, 0}, 1.0f, 640, 480); }
// The torus sits 8 times enlarged at height 55 (see Meshes); the camera frames it.
std::vector<Ray> torusCamera() { return cameraRays({0, 55.0f + 9.6f, 20.0f}, {0, 55.0f, 0}, 1.0f, 640, 480); }

// Shadow rays toward the sun from the hit points of the primary rays, nudged off the
// surface along the ray so they do not report their own triangle at t = 0.
std::vector<Ray> shadowRays(vyxMesh& mesh, const std::vector<Ray>& primary) {
    std::vector<Ray> rays;
    for (const Ray& r : primary) {
        vyxTraceResult hit = vyxTraceMesh(mesh, r.origin, r.direction, -1.0f);
        if (hit.t < 0.0f)
            continue;
        vyxVec3 p = r.origin + r.direction * hit.t;
        rays.push_back({p + kSunDirection * 1e-3f, kSunDirection});
    }
    return rays;
}

void traceAll(benchmark::State& state, vyxMesh& mesh, const std::vector<Ray>& rays) {
    size_t hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (const Ray& r : rays) {
            vyxTraceResult hit = vyxTraceMesh(mesh, r.origin, r.direction, -1.0f);
            hits += hit.t >= 0.0f;
        }
        benchmark::DoNotOptimize(hits);
    }
    double total = static_cast<double>(rays.size()) * static_cast<double>(state.iterations());
    state.counters["Mrays/s"] = benchmark::Counter(total / 1e6, benchmark::Counter::kIsRate);
    state.counters["hit%"] = 100.0 * static_cast<double>(hits) / static_cast<double>(rays.size());
    state.counters["rays"] = static_cast<double>(rays.size());
}

void buildHierarchy(benchmark::State& state, const vyxMesh& mesh) {
    for (auto _ : state) {
        vyxBIH bih;
        vyxBuildBIHForTracing(mesh.triangleCount, bih, mesh.triangles);
        benchmark::DoNotOptimize(bih.nodeCount);
        state.PauseTiming();
        vyxFreeBIH(bih);
        state.ResumeTiming();
    }
    state.counters["triangles"] = mesh.triangleCount;
}

void BM_BuildTerrainHierarchy(benchmark::State& state) { buildHierarchy(state, meshes().terrain); }
void BM_BuildTorusHierarchy(benchmark::State& state) { buildHierarchy(state, meshes().torus); }

// Whole generation: heights, normals, triangles and hierarchy.
void BM_GenerateTerrainMesh(benchmark::State& state) {
    for (auto _ : state) {
        vyxMesh mesh;
        std::memset(&mesh, 0, sizeof(mesh));
        vyxBuildTerrainMesh(mesh);
        state.PauseTiming();
        vyxFreeMesh(mesh);
        state.ResumeTiming();
    }
}

void BM_GenerateTorusMesh(benchmark::State& state) {
    for (auto _ : state) {
        vyxMesh mesh;
        std::memset(&mesh, 0, sizeof(mesh));
        vyxMakeTorus(mesh, nullptr, 0.8f, 0.2f);
        state.PauseTiming();
        vyxFreeMesh(mesh);
        state.ResumeTiming();
    }
}

void BM_PrimaryRaysTerrain(benchmark::State& state) {
    static const std::vector<Ray> rays = terrainCamera();
    traceAll(state, meshes().terrain, rays);
}

void BM_PrimaryRaysTorus(benchmark::State& state) {
    static const std::vector<Ray> rays = torusCamera();
    traceAll(state, meshes().torus, rays);
}

void BM_ShadowRaysTerrain(benchmark::State& state) {
    static const std::vector<Ray> rays = shadowRays(meshes().terrain, terrainCamera());
    traceAll(state, meshes().terrain, rays);
}

void BM_ShadowRaysTorus(benchmark::State& state) {
    static const std::vector<Ray> rays = shadowRays(meshes().torus, torusCamera());
    traceAll(state, meshes().torus, rays);
}

// The scene query over terrain and torus together, as the shading calls it.
void BM_PrimaryRaysScene(benchmark::State& state) {
    static const std::vector<Ray> rays = terrainCamera();
    const vyxScene& scene = meshes().scene;
    const float unlimited = -1.0f;
    size_t hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (const Ray& r : rays)
            hits += vyxTraceScene(scene, r.origin, r.direction, unlimited).t >= 0.0f;
        benchmark::DoNotOptimize(hits);
    }
    double total = static_cast<double>(rays.size()) * static_cast<double>(state.iterations());
    state.counters["Mrays/s"] = benchmark::Counter(total / 1e6, benchmark::Counter::kIsRate);
    state.counters["hit%"] = 100.0 * static_cast<double>(hits) / static_cast<double>(rays.size());
}

} // namespace

BENCHMARK(BM_BuildTerrainHierarchy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildTorusHierarchy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GenerateTerrainMesh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GenerateTorusMesh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrimaryRaysTerrain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrimaryRaysTorus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShadowRaysTerrain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShadowRaysTorus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrimaryRaysScene)->Unit(benchmark::kMillisecond);
