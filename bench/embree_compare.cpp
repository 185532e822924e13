// Our hierarchy against Embree on the same triangles and the same rays, single-threaded,
// in one process: primary rays of a fixed 1280 x 720 camera (vyxTraceMesh against
// rtcIntersect1) and shadow rays from their hits toward the sun (vyxTraceMesh with no
// distance limit, as the shading traces them, against rtcOccluded1), plus the build
// times (vyxBuildBIHForTracing, what the program builds for a mesh, against an Embree
// scene of medium build quality; on one thread and on all). Prints the processor and the two-thread probe, both
// throughputs, the ratios, and how far the two agree on the hits.
//
// Each measure runs ours and Embree's alternately, round after round, so that other work
// on the machine slows both alike; a ratio is the median of the rounds' ratios, with the
// lowest and highest beside it.
//
// usage: vyx-bench-embree [--rounds N]   (exit 1 when the hits disagree)

#include <embree3/rtcore.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/bih.h"
#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/scene.h"
#include "geometry/shapes.h"
#include "tools/machine.h"
#include "util/large_alloc.h"
#include "util/parallel.h"

namespace {

const int kWidth = 1280;
const int kHeight = 720;

struct Ray {
    vyxVec3 origin;
    vyxVec3 direction;
};

// Results the timed loops fold in, so that the compiler keeps them.
volatile float benchmarkSink = 0.0f;

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Pinhole camera, one ray through each pixel centre; directions are not normalised.
std::vector<Ray> cameraRays(vyxVec3 eye, vyxVec3 target, float fovY) {
    vyxVec3 forward = vyxNormalize(target - eye);
    vyxVec3 right = vyxNormalize(vyxCross(forward, vyxVec3{0, 1, 0}));
    vyxVec3 up = vyxCross(right, forward);
    float h = std::tan(fovY * 0.5f), w = h * static_cast<float>(kWidth) / static_cast<float>(kHeight);
    std::vector<Ray> rays;
    rays.reserve(static_cast<size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            float u = ((static_cast<float>(x) + 0.5f) / kWidth * 2.0f - 1.0f) * w;
            float v = (1.0f - (static_cast<float>(y) + 0.5f) / kHeight * 2.0f) * h;
            rays.push_back({eye, forward + right * u + up * v});
        }
    return rays;
}

struct EmbreeScene {
    RTCScene scene = nullptr;
    double buildSeconds = 0.0; // rtcCommitScene alone
};

// The mesh's triangles as an Embree triangle geometry: three vertices per triangle, so
// primitive i is triangle i.
EmbreeScene makeEmbreeScene(RTCDevice device, const vyxMesh& mesh) {
    EmbreeScene out;
    out.scene = rtcNewScene(device);
    rtcSetSceneBuildQuality(out.scene, RTC_BUILD_QUALITY_MEDIUM);
    RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetGeometryBuildQuality(geometry, RTC_BUILD_QUALITY_MEDIUM);
    size_t n = static_cast<size_t>(mesh.triangleCount);
    float* vertices = static_cast<float*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), 3 * n));
    unsigned* indices = static_cast<unsigned*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), n));
    for (size_t i = 0; i < n; ++i) {
        const vyxTriangle& t = mesh.triangles[i];
        std::memcpy(vertices + 9 * i, t.p0, 3 * sizeof(float));
        std::memcpy(vertices + 9 * i + 3, t.p1, 3 * sizeof(float));
        std::memcpy(vertices + 9 * i + 6, t.p2, 3 * sizeof(float));
        for (unsigned k = 0; k < 3; ++k)
            indices[3 * i + k] = static_cast<unsigned>(3 * i + k);
    }
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(out.scene, geometry);
    rtcReleaseGeometry(geometry);
    double t0 = nowSeconds();
    rtcCommitScene(out.scene);
    out.buildSeconds = nowSeconds() - t0;
    return out;
}

RTCRayHit embreeRay(const Ray& r) {
    RTCRayHit rh;
    rh.ray.org_x = r.origin.x;
    rh.ray.org_y = r.origin.y;
    rh.ray.org_z = r.origin.z;
    rh.ray.dir_x = r.direction.x;
    rh.ray.dir_y = r.direction.y;
    rh.ray.dir_z = r.direction.z;
    rh.ray.tnear = 0.0f;
    rh.ray.tfar = INFINITY;
    rh.ray.time = 0.0f;
    rh.ray.mask = 0xffffffffu;
    rh.ray.id = 0;
    rh.ray.flags = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.primID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    return rh;
}

// Wall time of one pass.
template <typename Pass>
double timed(Pass pass) {
    const double t0 = nowSeconds();
    pass();
    return nowSeconds() - t0;
}

// The times of ours and Embree's passes of one measure, one pair per round, each pair
// run back to back.
struct Interleaved {
    std::vector<double> ours, theirs;

    template <typename Ours, typename Theirs>
    void round(Ours ourPass, Theirs theirPass) {
        ours.push_back(timed(ourPass));
        theirs.push_back(timed(theirPass));
    }
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// "median (lowest-highest)" of the rounds' ratios Embree time / our time.
std::string ratioText(const Interleaved& m) {
    std::vector<double> ratios;
    for (size_t i = 0; i < m.ours.size(); ++i)
        ratios.push_back(m.theirs[i] / m.ours[i]);
    char text[64];
    std::snprintf(text, sizeof(text), "%.2f (%.2f-%.2f)", median(ratios),
                  *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
    return text;
}

struct Agreement {
    size_t rays = 0;
    size_t bothHit = 0, bothMiss = 0;
    size_t sameTriangle = 0;
    size_t tieOtherTriangle = 0; // another triangle at the same distance (shared edge)
    size_t hitMiss = 0;          // one hit, the other missed
    size_t farApart = 0;         // both hit at clearly different distances
};

bool compareMesh(const char* name, vyxMesh& mesh, RTCDevice device, RTCDevice deviceAllThreads, vyxVec3 eye,
                 vyxVec3 target, float fovY, int rounds) {
    const vyxVec3 sun = vyxNormalize(vyxVec3{0.375f, 0.484f, 1.0f});
    std::printf("\n== %s: %d triangles, %dx%d primary rays\n", name, mesh.triangleCount, kWidth, kHeight);

    // Build times: ours against Embree's medium quality on one thread, alternately, and
    // both on all threads. Here the ratio is ours / Embree's time (the pair swapped for
    // ratioText): below 1 we build faster.
    auto buildOurs = [&] {
        vyxBIH bih;
        vyxBuildBIHForTracing(mesh.triangleCount, bih, mesh.triangles);
        vyxFreeBIH(bih);
    };
    Interleaved build, buildAll;
    for (int i = 0; i < rounds; ++i) {
        vyxSetWorkerThreadLimit(1);
        build.round(buildOurs, [&] { rtcReleaseScene(makeEmbreeScene(device, mesh).scene); });
        vyxSetWorkerThreadLimit(0);
        buildAll.round(buildOurs, [&] { rtcReleaseScene(makeEmbreeScene(deviceAllThreads, mesh).scene); });
    }
    Interleaved buildInverse{build.theirs, build.ours}, buildAllInverse{buildAll.theirs, buildAll.ours};
    std::printf("build: ours %.2f ms, Embree medium %.2f ms on 1 thread (ours / Embree's %s); %.2f ms and %.2f "
                "ms on all threads (%s)\n",
                median(build.ours) * 1e3, median(build.theirs) * 1e3, ratioText(buildInverse).c_str(),
                median(buildAll.ours) * 1e3, median(buildAll.theirs) * 1e3, ratioText(buildAllInverse).c_str());

    EmbreeScene embree = makeEmbreeScene(device, mesh);
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);

    std::vector<Ray> primary = cameraRays(eye, target, fovY);
    std::vector<vyxTraceResult> ours(primary.size());
    std::vector<RTCRayHit> theirs(primary.size());

    Interleaved primaryTimes;
    for (int i = 0; i < rounds; ++i)
        primaryTimes.round(
            [&] {
                for (size_t k = 0; k < primary.size(); ++k)
                    ours[k] = vyxTraceMesh(mesh, primary[k].origin, primary[k].direction, -1.0f);
            },
            [&] {
                for (size_t k = 0; k < primary.size(); ++k) {
                    theirs[k] = embreeRay(primary[k]);
                    rtcIntersect1(embree.scene, &context, &theirs[k]);
                }
            });

    // Primary agreement. Both tests accept hits on edges, so a ray through a shared edge
    // may name either triangle at the same distance; a ray grazing an edge may hit in
    // one and miss in the other.
    Agreement a;
    std::vector<Ray> shadow;
    for (size_t i = 0; i < primary.size(); ++i) {
        ++a.rays;
        bool ourHit = ours[i].t >= 0.0f;
        bool theirHit = theirs[i].hit.geomID != RTC_INVALID_GEOMETRY_ID;
        if (ourHit && theirHit) {
            ++a.bothHit;
            float t0 = ours[i].t, t1 = theirs[i].ray.tfar;
            if (static_cast<unsigned>(ours[i].triangle) == theirs[i].hit.primID)
                ++a.sameTriangle;
            else if (std::fabs(t0 - t1) <= 1e-4f * std::max(1.0f, std::fabs(t0)))
                ++a.tieOtherTriangle;
            else
                ++a.farApart;
        } else if (!ourHit && !theirHit) {
            ++a.bothMiss;
        } else {
            ++a.hitMiss;
        }
        if (ourHit) {
            vyxVec3 p = primary[i].origin + primary[i].direction * ours[i].t;
            shadow.push_back({p + sun * 1e-3f, sun});
        }
    }

    // Shadow rays: our occlusion query, the one shading uses for a mesh whose materials
    // are all opaque (any hit), against Embree's any-hit test; and, for comparison, our
    // nearest-hit query, which shading needs for see-through meshes.
    std::vector<float> ourShadow(shadow.size());
    std::vector<RTCRay> theirShadow(shadow.size());
    vyxScene alone;
    vyxSceneInit(alone);
    vyxSceneAddMesh(alone, &mesh);
    const uint8_t wasOpaque = mesh.opaque;
    auto embreeShadows = [&] {
        for (size_t k = 0; k < shadow.size(); ++k) {
            theirShadow[k] = embreeRay(shadow[k]).ray;
            rtcOccluded1(embree.scene, &context, &theirShadow[k]);
        }
    };
    Interleaved shadowTimes, nearestShadowTimes;
    for (int i = 0; i < rounds; ++i) {
        mesh.opaque = 1;
        shadowTimes.round(
            [&] {
                vyxTraceResult nearestOther;
                for (size_t k = 0; k < shadow.size(); ++k)
                    ourShadow[k] = vyxOccludedScene(alone, shadow[k].origin, shadow[k].direction, -1.0f,
                                                    nearestOther) == OcclusionNone
                                       ? -1.0f
                                       : 1.0f;
            },
            embreeShadows);
        mesh.opaque = wasOpaque;
        nearestShadowTimes.round(
            [&] {
                for (size_t k = 0; k < shadow.size(); ++k)
                    benchmarkSink += vyxTraceMesh(mesh, shadow[k].origin, shadow[k].direction, -1.0f).t;
            },
            embreeShadows);
    }
    vyxSceneFree(alone);
    size_t shadowAgree = 0, shadowBlocked = 0;
    for (size_t i = 0; i < shadow.size(); ++i) {
        bool ourBlocked = ourShadow[i] >= 0.0f;
        bool theirBlocked = theirShadow[i].tfar == -INFINITY;
        shadowAgree += ourBlocked == theirBlocked;
        shadowBlocked += ourBlocked;
    }
    rtcReleaseScene(embree.scene);

    const double np = static_cast<double>(primary.size()), ns = static_cast<double>(shadow.size());
    std::printf("primary: ours %.2f Mrays/s, Embree rtcIntersect1 %.2f Mrays/s, ratio %s\n",
                np / median(primaryTimes.ours) / 1e6, np / median(primaryTimes.theirs) / 1e6,
                ratioText(primaryTimes).c_str());
    std::printf("shadow (%zu rays, %.1f%% blocked): ours %.2f Mrays/s, Embree rtcOccluded1 %.2f Mrays/s, "
                "ratio %s (our nearest-hit query: %.2f Mrays/s, ratio %s)\n",
                shadow.size(), 100.0 * static_cast<double>(shadowBlocked) / std::max(ns, 1.0),
                ns / median(shadowTimes.ours) / 1e6, ns / median(shadowTimes.theirs) / 1e6,
                ratioText(shadowTimes).c_str(), ns / median(nearestShadowTimes.ours) / 1e6,
                ratioText(nearestShadowTimes).c_str());
    std::printf("agreement: %zu both hit (%zu same triangle, %zu another at the same t, %zu apart), %zu both "
                "miss, %zu hit/miss; shadow %zu of %zu agree\n",
                a.bothHit, a.sameTriangle, a.tieOtherTriangle, a.farApart, a.bothMiss, a.hitMiss, shadowAgree,
                shadow.size());
    // Edge-grazing rays may differ; anything beyond a handful in a thousand is a fault.
    bool ok = a.farApart + a.hitMiss <= a.rays / 1000 && shadow.size() - shadowAgree <= shadow.size() / 1000 + 1;
    std::printf("hits %s\n", ok ? "agree" : "DISAGREE");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    // The allocator set-up the programs run with.
    vyxKeepFreedMemory();
    int rounds = 7;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
            if (rounds < 1 || rounds > 1000) {
                std::fprintf(stderr, "vyx-bench-embree: --rounds must be 1..1000\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: vyx-bench-embree [--rounds N]\n");
            return 2;
        }
    }
    RTCDevice device = rtcNewDevice("threads=1");
    RTCDevice deviceAll = rtcNewDevice(nullptr);
    if (!device || !deviceAll) {
        std::fprintf(stderr, "vyx-bench-embree: no Embree device (error %d)\n",
                     static_cast<int>(rtcGetDeviceError(nullptr)));
        return 1;
    }
    std::printf("processor: %s; two-thread arithmetic probe: %.2fx (2.00 = second core free)\n",
                vyxBenchProcessor().c_str(), vyxBenchTwoThreadProbe());
    std::printf("single-threaded tracing; ours and Embree's alternately over %d rounds; ratio = Embree time / our "
                "time (> 1: we are faster), the median of the rounds (lowest-highest)\n",
                rounds);

    vyxMesh terrain, torus;
    std::memset(&terrain, 0, sizeof(terrain));
    std::memset(&torus, 0, sizeof(torus));
    vyxTransformIdentity(terrain.transform);
    vyxTransformIdentity(torus.transform);
    vyxBuildTerrainMesh(terrain);
    vyxMakeTorus(torus, nullptr, 0.8f, 0.2f);
    for (vyxMesh* m : {&terrain, &torus}) {
        vyxTransformPrepare(m->transform);
        vyxTransformPrepare(m->bih->transform);
    }
    bool ok = compareMesh("terrain", terrain, device, deviceAll, {0, 45, 120}, {0, 0, 0}, 1.0f, rounds);
    ok = compareMesh("torus", torus, device, deviceAll, {0.0f, 1.2f, 2.5f}, {0, 0, 0}, 1.0f, rounds) && ok;

    std::printf("\ntwo-thread arithmetic probe at the end: %.2fx\n", vyxBenchTwoThreadProbe());
    vyxFreeMesh(terrain);
    vyxFreeMesh(torus);
    rtcReleaseDevice(device);
    rtcReleaseDevice(deviceAll);
    return ok ? 0 : 1;
}
