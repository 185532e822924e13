#include "trace/shadow.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/transform.h"
#include "scenefiles/mtl.h"
#include "trace/random.h"
#include "trace/raystats.h"
#include "trace/texture.h"
#include "util/assert.h"

static const float kTwoPi = static_cast<float>(2 * vyxPi);

// Past this many occlusion samples per query the count is clamped, so that an absurd
// setting costs bounded time and the float-to-integer conversion stays defined.
static const float kMaxOcclusionSamples = 65536.0f;

static vyxVec3 traceShadow(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, float maxDistance,
                           float* hitDistance, int continuations);

// One shadow ray, whose first hit is already known, and its continuations;
// continuations counts those already made.
static vyxVec3 shadowFromHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction,
                             float maxDistance, float* hitDistance, int continuations) {
    if (!(hit.t > 0.0f))
        return vyxVec3{1.0f, 1.0f, 1.0f};
    if (hitDistance)
        *hitDistance = hit.t;

    VYX_ASSERT(hit.object >= 0 && hit.object < scene.meshCount);
    VYX_ASSERT(hit.triangle >= 0 && hit.triangle < scene.meshes[hit.object]->triangleCount);
    const vyxMesh& mesh = *scene.meshes[hit.object];
    const vyxMaterial& mat = *vyxMaterialOf(mesh, hit.triangle);

    // Colour and opacity of the surface. Only textures with an alpha channel can let light
    // through; a 1- or 3-channel texture makes the surface opaque whatever the material says.
    vyxVec3 colour{mat.color[0], mat.color[1], mat.color[2]};
    float alpha = mat.alpha;
    if (mat.texture && mat.castsShadows != 0) {
        uint8_t channels = mat.texture->channels;
        if (channels == 2 || channels == 4) {
            const vyxTriangleShading rec = vyxShadingOf(mesh, hit.triangle);
            float u = rec.uv0[0] * hit.w0 + rec.uv1[0] * hit.w1 + rec.uv2[0] * hit.w2;
            float v = rec.uv0[1] * hit.w0 + rec.uv1[1] * hit.w1 + rec.uv2[1] * hit.w2;
            float rgba[4] = {0.0f, 0.0f, 0.0f, 1.0f};
            vyxSampleTexture(*mat.texture, u, v, rgba);
            colour = vyxVec3{rgba[0], rgba[1], rgba[2]};
            alpha = rgba[3];
        } else {
            alpha = 1.0f;
        }
    }

    if (mat.castsShadows != 0 && alpha >= 1.0f)
        return vyxVec3{0.0f, 0.0f, 0.0f};

    // Continue just beyond the surface. A bounded ray keeps its end point (the light for
    // light rays, which pass maxDistance 1; the end of an occlusion ray's reach), so a
    // surface behind it cannot shadow. Far from the origin the 0.001 step can vanish in
    // rounding and the ray would meet the same surface forever: after
    // vyxMaxContinuations the rest of the path counts as blocked.
    vyxVec3 beyond{0.0f, 0.0f, 0.0f};
    if (continuations < vyxMaxContinuations) {
        vyxVec3 next = origin + direction * hit.t + vyxNormalize(direction) * 0.001f;
        if (maxDistance < 0.0f) {
            beyond = traceShadow(scene, next, direction, -1.0f, nullptr, continuations + 1);
        } else {
            // Aiming at origin + direction whatever maxDistance is would send the
            // continuation of a longer ray back through the surface it just passed.
            vyxVec3 end = origin + direction * maxDistance;
            beyond = traceShadow(scene, next, end - next, 1.0f, nullptr, continuations + 1);
        }
    }
    if (mat.castsShadows == 0)
        return beyond;
    return colour * beyond * (1.0f - alpha);
}

// A shadow ray whose first hit's occlusion class is known (vyxOccludedScene): a ray
// stopped at t = 0 counts as unblocked, like any first hit at t = 0, and one whose first
// hit lies on an opaque mesh is blocked; otherwise nearest is the first hit.
static vyxVec3 shadowFromOcclusion(const vyxScene& scene, vyxOcclusion occlusion, const vyxTraceResult& nearest,
                                   vyxVec3 origin, vyxVec3 direction, float maxDistance, int continuations) {
    if (occlusion == OcclusionAtZero)
        return vyxVec3{1.0f, 1.0f, 1.0f};
    if (occlusion == OcclusionBeyond)
        return vyxVec3{0.0f, 0.0f, 0.0f};
    return shadowFromHit(scene, nearest, origin, direction, maxDistance, nullptr, continuations);
}

// One shadow ray and its continuations. Unless the first hit's distance is wanted, the
// meshes marked opaque are searched only for some hit, not the nearest.
static vyxVec3 traceShadow(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, float maxDistance,
                           float* hitDistance, int continuations) {
    VYX_COUNT_RAY(shadow);
    vyxTraceResult hit;
    if (hitDistance) {
        hit = vyxTraceScene(scene, origin, direction, maxDistance);
        return shadowFromHit(scene, hit, origin, direction, maxDistance, hitDistance, continuations);
    }
    vyxOcclusion occlusion = vyxOccludedScene(scene, origin, direction, maxDistance, hit);
    return shadowFromOcclusion(scene, occlusion, hit, origin, direction, maxDistance, continuations);
}

void vyxTraceShadowRays(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                        vyxVec3* transmission) {
    VYX_ASSERT(count >= 0);
    for (int begin = 0; begin < count; begin += vyxPacketSize) {
        const int n = count - begin < vyxPacketSize ? count - begin : vyxPacketSize;
        vyxTraceResult hits[vyxPacketSize];
        vyxOcclusion occlusion[vyxPacketSize];
        vyxOccludedScenePacket(scene, origins + begin, directions + begin, n, -1.0f, occlusion, hits);
        for (int r = 0; r < n; ++r) {
            VYX_COUNT_RAY(shadow);
            transmission[begin + r] =
                shadowFromOcclusion(scene, occlusion[r], hits[r], origins[begin + r], directions[begin + r], -1.0f, 0);
        }
    }
}

// Unlimited shadow rays from one point: their first hits are found together (the same
// hits as one by one), then each ray goes on by itself.
static void traceShadows(const vyxScene& scene, vyxVec3 point, const vyxVec3* directions, int count,
                         vyxVec3* transmission) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    vyxVec3 origins[vyxPacketSize];
    for (int r = 0; r < count; ++r)
        origins[r] = point;
    vyxTraceShadowRays(scene, origins, directions, count, transmission);
}

void vyxMarkOpaqueMeshes(const vyxScene& scene) {
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (!mesh)
            continue;
        // Opaque as shadowFromHit judges a hit: a shadow caster whose alpha is 1, where a
        // texture without an alpha channel counts as alpha 1 and one with it is sampled
        // (and gives exactly 1 when its alpha is full everywhere).
        bool opaque = mesh->materials != nullptr;
        for (int32_t m = 0; m < mesh->materialCount && opaque; ++m) {
            const vyxMaterial& mat = mesh->materials[m];
            const bool sampledAlpha =
                mat.texture && (mat.texture->channels == 2 || mat.texture->channels == 4) && !mat.texture->alphaFull;
            opaque = mat.castsShadows != 0 && !sampledAlpha && (mat.texture || mat.alpha >= 1.0f);
        }
        mesh->opaque = opaque ? 1 : 0;
    }
}

vyxVec3 vyxTraceShadow(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, float maxDistance,
                       float* hitDistance) {
    return traceShadow(scene, origin, direction, maxDistance, hitDistance, 0);
}

// The calling thread's generator state: started from two draws of std::random_device on
// the thread's first draw, or set by vyxSeedJitter.
static uint64_t& jitterState() {
    thread_local uint64_t state = [] {
        std::random_device device;
        return (static_cast<uint64_t>(device()) << 32) ^ static_cast<uint64_t>(device());
    }();
    return state;
}

void vyxSeedJitter(uint32_t seed, uint32_t key) {
    if (seed == 0)
        return;
    // Mixed once, so that neighbouring rows do not start from neighbouring states.
    uint64_t start = (static_cast<uint64_t>(seed) << 32) | key;
    jitterState() = vyxSplitMix64(start);
}

// The next 32 random bits of the calling thread.
static uint32_t jitterNumber() { return static_cast<uint32_t>(vyxSplitMix64(jitterState()) >> 32); }

// A number in [0, 1] from the calling thread's generator.
static float jitterFraction() { return static_cast<float>(jitterNumber()) / 4294967296.0f; }

// Three directions toward random points of the light's disc, in the plane one unit
// toward it, one point in each third of the disc so that they do not bunch. The disc is
// read off the triangle sampleDirs holds: its centroid is the disc's centre, its first
// corner lies on the rim at 90 degrees, the other two at 210 and 330 degrees.
static void discAreaDirections(const vyxLight& light, vyxVec3 directions[3]) {
    const vyxVec3* rim = light.sampleDirs;
    vyxVec3 centre = (rim[0] + rim[1] + rim[2]) / 3.0f;
    vyxVec3 up = rim[0] - centre;                                                  // radius toward 90 degrees
    vyxVec3 across = (rim[2] - rim[1]) * static_cast<float>(1.0 / std::sqrt(3.0)); // toward 0 degrees
    for (int k = 0; k < 3; ++k) {
        float angle = (static_cast<float>(k) + jitterFraction()) * (kTwoPi / 3.0f);
        // The square root spreads the points evenly over the area, not over the radius.
        float radius = std::sqrt(jitterFraction());
        directions[k] = centre + across * (radius * std::cos(angle)) + up * (radius * std::sin(angle));
    }
}

void vyxDiscCorners(const vyxLight& light, const vyxRenderSettings& settings, vyxVec3 corners[3]) {
    corners[0] = light.sampleDirs[0];
    corners[1] = light.sampleDirs[1];
    corners[2] = light.sampleDirs[2];
    if (settings.flags & RenderSampleDiscArea) {
        discAreaDirections(light, corners);
    } else if (settings.flags & RenderJitterSoftShadows) {
        // A fresh angle for every shaded point. Each thread draws from its own generator,
        // seeded once from the system's non-deterministic source: asking that source for
        // every point costs some 60 ns (a frame shades hundreds of thousands of points).
        float theta = jitterFraction() * kTwoPi;
        // vyxTransformRotate wants a unit axis; the light's direction may have any length.
        vyxVec3 axis = light.unitDirection;
        vyxTransform spin;
        vyxTransformIdentity(spin);
        vyxTransformRotate(spin, theta, axis.x, axis.y, axis.z);
        for (int k = 0; k < 3; ++k)
            corners[k] = vyxTransformPoint(spin, corners[k]);
    }
}

vyxVec3 vyxDiscVisibilityFrom(const vyxScene& scene, vyxVec3 point, const vyxVec3 corners[3],
                              const vyxVec3 transmission[3], const vyxRenderSettings& settings) {
    const vyxVec3* t = transmission;
    // Points spread over the disc are averaged as they are; the triangle is refined.
    if (settings.flags & RenderSampleDiscArea)
        return (t[0] + t[1] + t[2]) / 3.0f;
    return vyxRefineDiscVisibility(scene, point, corners[0], corners[1], corners[2], t[0], t[1], t[2], settings, 2);
}

vyxVec3 vyxDiscVisibility(const vyxScene& scene, const vyxLight& light, vyxVec3 point,
                          const vyxRenderSettings& settings) {
    vyxVec3 corners[3];
    vyxDiscCorners(light, settings, corners);
    vyxVec3 t[3];
    traceShadows(scene, point, corners, 3, t);
    return vyxDiscVisibilityFrom(scene, point, corners, t, settings);
}

namespace {

// The edge midpoints a refinement has traced from one point. Neighbouring triangles of
// directions share edges: the middle triangle's three midpoints are also midpoints of
// the corner triangles, computed from the same two floats, so the same ray. A shadow
// query is a pure function of its ray, so a repeat takes the stored result.
struct MidpointMemo {
    static const int kCapacity = 48;
    int count;
    vyxVec3 direction[kCapacity];
    vyxVec3 result[kCapacity];
};

} // namespace

// The transmissions along three midpoint directions: each taken from the memo when
// traced before, the others traced together and stored.
static void traceMidpoints(const vyxScene& scene, vyxVec3 point, const vyxVec3 directions[3], MidpointMemo& memo,
                           vyxVec3 results[3]) {
    vyxVec3 fresh[3];
    int freshIndex[3];
    int freshCount = 0;
    for (int k = 0; k < 3; ++k) {
        int found = -1;
        for (int i = 0; i < memo.count && found < 0; ++i)
            if (std::memcmp(&memo.direction[i], &directions[k], sizeof(vyxVec3)) == 0)
                found = i;
        // A direction twice among the three is traced once.
        for (int j = 0; j < freshCount && found < 0; ++j)
            if (std::memcmp(&fresh[j], &directions[k], sizeof(vyxVec3)) == 0)
                found = -2 - j;
        if (found >= 0) {
            results[k] = memo.result[found];
        } else if (found <= -2) {
            freshIndex[k] = -2 - found;
        } else {
            freshIndex[k] = freshCount;
            fresh[freshCount++] = directions[k];
        }
        if (found >= 0)
            freshIndex[k] = -1;
    }
    vyxVec3 traced[3];
    if (freshCount > 0)
        traceShadows(scene, point, fresh, freshCount, traced);
    for (int j = 0; j < freshCount && memo.count < MidpointMemo::kCapacity; ++j) {
        memo.direction[memo.count] = fresh[j];
        memo.result[memo.count] = traced[j];
        ++memo.count;
    }
    for (int k = 0; k < 3; ++k)
        if (freshIndex[k] >= 0)
            results[k] = traced[freshIndex[k]];
}

static vyxVec3 refine(const vyxScene& scene, vyxVec3 point, vyxVec3 a, vyxVec3 b, vyxVec3 c, vyxVec3 ta, vyxVec3 tb,
                      vyxVec3 tc, const vyxRenderSettings& settings, int depth, MidpointMemo& memo) {
    if (depth > 0) {
        float sa = ta.x + ta.y + ta.z;
        float sb = tb.x + tb.y + tb.z;
        float sc = tc.x + tc.y + tc.z;
        float delta = std::fabs(sa - sb) + std::fabs(sc - sb) + std::fabs(sc - sa);
        if (delta >= settings.softShadowThreshold) {
            // Split the triangle of directions at its edge midpoints into four.
            vyxVec3 ab = (a + b) * 0.5f, bc = (b + c) * 0.5f, ac = (a + c) * 0.5f;
            const vyxVec3 midpoints[3] = {ab, bc, ac};
            vyxVec3 traced[3];
            traceMidpoints(scene, point, midpoints, memo, traced);
            vyxVec3 tab = traced[0], tbc = traced[1], tac = traced[2];
            vyxVec3 sum = refine(scene, point, a, ab, ac, ta, tab, tac, settings, depth - 1, memo);
            sum += refine(scene, point, ab, b, bc, tab, tb, tbc, settings, depth - 1, memo);
            sum += refine(scene, point, ac, bc, c, tac, tbc, tc, settings, depth - 1, memo);
            sum += refine(scene, point, ab, bc, ac, tab, tbc, tac, settings, depth - 1, memo);
            return sum * 0.25f;
        }
    }
    return (ta + tb + tc) / 3.0f;
}

vyxVec3 vyxRefineDiscVisibility(const vyxScene& scene, vyxVec3 point, vyxVec3 a, vyxVec3 b, vyxVec3 c, vyxVec3 ta,
                                vyxVec3 tb, vyxVec3 tc, const vyxRenderSettings& settings, int depth) {
    MidpointMemo memo;
    memo.count = 0;
    return refine(scene, point, a, b, c, ta, tb, tc, settings, depth, memo);
}

vyxVec3 vyxAmbientOcclusion(const vyxScene& scene, vyxVec3 point, vyxVec3 normal, const vyxRenderSettings& settings) {
    // NaN and non-positive counts take no sample: nothing is known to occlude.
    if (!(settings.aoSamples > 0.0f))
        return vyxVec3{1.0f, 1.0f, 1.0f};
    uint32_t samples = static_cast<uint32_t>(std::ceil(std::min(settings.aoSamples, kMaxOcclusionSamples)));

    // Claim this query's stretch of the table in one step; unsigned arithmetic wraps
    // harmlessly and the mask keeps every index inside the table.
    uint32_t cursor = vyxRandomCursor.fetch_add(2u * samples, std::memory_order_relaxed);

    vyxVec3 sum{0.0f, 0.0f, 0.0f};
    float weightSum = 0.0f;
    for (uint32_t n = 0; n < samples; n++) {
        float r1 = vyxRandomTable[cursor & (vyxRandomTableSize - 1)];
        float r2 = vyxRandomTable[(cursor + 1u) & (vyxRandomTableSize - 1)];
        cursor += 2u;

        // Uniform over the solid angle of the hemisphere z >= 0, then mirrored to the
        // normal's side.
        float phi = r1 * kTwoPi;
        float s = std::sqrt(1.0f - r2 * r2);
        vyxVec3 dir{std::cos(phi) * s, std::sin(phi) * s, r2};
        float k = vyxDot(dir, normal);
        if (k < 0.0f) {
            dir = -dir;
            k = -k;
        }

        float h = -1.0f;
        vyxVec3 t = vyxTraceShadow(scene, point, dir, settings.aoDistance, &h);
        // Openness of the sample: a surface touching the point closes it, one at
        // aoDistance does not.
        float g = 0.0f;
        if (h > 0.0f && settings.aoDistance > 0.0f)
            g = std::min(std::max(vyxLength(dir * h) / settings.aoDistance, 0.0f), 1.0f);
        sum += (t * (1.0f - g) + vyxVec3{g, g, g}) * k;
        weightSum += k;
    }
    // Every sample perpendicular to the normal (only a zero or non-finite normal does
    // that) weighs nothing; a normal so long that the weights overflow gives no usable
    // average either.
    if (!(weightSum > 0.0f) || !std::isfinite(weightSum))
        return vyxVec3{1.0f, 1.0f, 1.0f};
    return sum / weightSum;
}
