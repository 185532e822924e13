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

static const float twoPi = 6.2831854820251465f;

// Past this many occlusion samples per query the count is clamped, so that an absurd
// setting costs bounded time and the float-to-integer conversion stays defined.
static const float maxOcclusionSamples = 65536.0f;

// One shadow ray and its continuations; continuations counts those already made.
static vyxVec3 traceShadow(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, float maxDistance,
                           float* hitDistance, int continuations) {
    VYX_COUNT_RAY(shadow);
    vyxTraceResult hit = vyxTraceScene(scene, origin, direction, maxDistance);
    if (!(hit.t > 0.0f))
        return vyxVec3{1.0f, 1.0f, 1.0f};
    if (hitDistance)
        *hitDistance = hit.t;

    const vyxMaterial& mat = *scene.meshes[hit.object]->shading[hit.triangle].material;
    const vyxTriangleShading& rec = scene.meshes[hit.object]->shading[hit.triangle];

    // Colour and opacity of the surface. Only textures with an alpha channel can let light
    // through; a 1- or 3-channel texture makes the surface opaque whatever the material says.
    vyxVec3 colour{mat.color[0], mat.color[1], mat.color[2]};
    float alpha = mat.alpha;
    if (mat.texture && mat.castsShadows != 0) {
        uint8_t channels = mat.texture->channels;
        if (channels == 2 || channels == 4) {
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

vyxVec3 vyxTraceShadow(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, float maxDistance,
                       float* hitDistance) {
    return traceShadow(scene, origin, direction, maxDistance, hitDistance, 0);
}

vyxVec3 vyxDiscVisibility(const vyxScene& scene, const vyxLight& light, vyxVec3 point,
                          const vyxRenderSettings& settings) {
    vyxVec3 d0 = light.sampleDirs[0], d1 = light.sampleDirs[1], d2 = light.sampleDirs[2];

    if (settings.flags & RenderJitterSoftShadows) {
        // A fresh angle for every shaded point, from a per-thread device: the device has no
        // state shared between threads, and opening one per call is needlessly slow.
        thread_local std::random_device device;
        uint32_t u = static_cast<uint32_t>(device());
        float theta = (static_cast<float>(u) / 4294967296.0f) * twoPi;
        // vyxTransformRotate wants a unit axis; the light's direction may have any length.
        vyxVec3 axis = light.unitDirection;
        vyxTransform spin;
        vyxTransformIdentity(spin);
        vyxTransformRotate(spin, theta, axis.x, axis.y, axis.z);
        d0 = vyxTransformPoint(spin, d0);
        d1 = vyxTransformPoint(spin, d1);
        d2 = vyxTransformPoint(spin, d2);
    }

    vyxVec3 t0 = vyxTraceShadow(scene, point, d0, -1.0f);
    vyxVec3 t1 = vyxTraceShadow(scene, point, d1, -1.0f);
    vyxVec3 t2 = vyxTraceShadow(scene, point, d2, -1.0f);
    return vyxRefineDiscVisibility(scene, point, d0, d1, d2, t0, t1, t2, settings, 2);
}

namespace {

// The edge midpoints a refinement has traced from one point. Neighbouring triangles of
// directions share edges: the middle triangle's three midpoints are also midpoints of
// the corner triangles, computed from the same two floats, so the same ray. A shadow
// query is a pure function of its ray, so a repeat takes the stored result.
struct MidpointMemo {
    static const int capacity = 48;
    int count;
    vyxVec3 direction[capacity];
    vyxVec3 result[capacity];
};

} // namespace

static vyxVec3 traceMidpoint(const vyxScene& scene, vyxVec3 point, vyxVec3 direction, MidpointMemo& memo) {
    for (int i = 0; i < memo.count; ++i)
        if (std::memcmp(&memo.direction[i], &direction, sizeof(vyxVec3)) == 0)
            return memo.result[i];
    vyxVec3 result = vyxTraceShadow(scene, point, direction, -1.0f);
    if (memo.count < MidpointMemo::capacity) {
        memo.direction[memo.count] = direction;
        memo.result[memo.count] = result;
        ++memo.count;
    }
    return result;
}

static vyxVec3 refine(const vyxScene& scene, vyxVec3 point, vyxVec3 a, vyxVec3 b, vyxVec3 c, vyxVec3 ta,
                      vyxVec3 tb, vyxVec3 tc, const vyxRenderSettings& settings, int depth, MidpointMemo& memo) {
    if (depth > 0) {
        float sa = ta.x + ta.y + ta.z;
        float sb = tb.x + tb.y + tb.z;
        float sc = tc.x + tc.y + tc.z;
        float delta = std::fabs(sa - sb) + std::fabs(sc - sb) + std::fabs(sc - sa);
        if (delta >= settings.softShadowThreshold) {
            // Split the triangle of directions at its edge midpoints into four.
            vyxVec3 ab = (a + b) * 0.5f, bc = (b + c) * 0.5f, ac = (a + c) * 0.5f;
            vyxVec3 tab = traceMidpoint(scene, point, ab, memo);
            vyxVec3 tbc = traceMidpoint(scene, point, bc, memo);
            vyxVec3 tac = traceMidpoint(scene, point, ac, memo);
            vyxVec3 sum = refine(scene, point, a, ab, ac, ta, tab, tac, settings, depth - 1, memo);
            sum += refine(scene, point, ab, b, bc, tab, tb, tbc, settings, depth - 1, memo);
            sum += refine(scene, point, ac, bc, c, tac, tbc, tc, settings, depth - 1, memo);
            sum += refine(scene, point, ab, bc, ac, tab, tbc, tac, settings, depth - 1, memo);
            return sum * 0.25f;
        }
    }
    return (ta + tb + tc) / 3.0f;
}

vyxVec3 vyxRefineDiscVisibility(const vyxScene& scene, vyxVec3 point, vyxVec3 a, vyxVec3 b, vyxVec3 c,
                                vyxVec3 ta, vyxVec3 tb, vyxVec3 tc, const vyxRenderSettings& settings,
                                int depth) {
    MidpointMemo memo;
    memo.count = 0;
    return refine(scene, point, a, b, c, ta, tb, tc, settings, depth, memo);
}

vyxVec3 vyxAmbientOcclusion(const vyxScene& scene, vyxVec3 point, vyxVec3 normal,
                            const vyxRenderSettings& settings) {
    // NaN and non-positive counts take no sample: nothing is known to occlude.
    if (!(settings.aoSamples > 0.0f))
        return vyxVec3{1.0f, 1.0f, 1.0f};
    uint32_t samples = static_cast<uint32_t>(std::ceil(std::min(settings.aoSamples, maxOcclusionSamples)));

    // Claim this query's stretch of the table in one step; unsigned arithmetic wraps
    // harmlessly and the mask keeps every index inside the table.
    uint32_t cursor = vyxRandomCursor.fetch_add(2u * samples, std::memory_order_relaxed);

    vyxVec3 sum{0.0f, 0.0f, 0.0f};
    float weightSum = 0.0f;
    for (uint32_t n = 0; n < samples; n++) {
        float r1 = vyxRandomTable[cursor & (vyxRandomTableSize - 1)];
        float r2 = vyxRandomTable[(cursor + 1u) & (vyxRandomTableSize - 1)];
        cursor += 2u;

        // Uniform over the solid angle of the hemisphere z >= 0, then mirrored to F's side.
        float phi = r1 * twoPi;
        float s = std::sqrt(1.0f - r2 * r2);
        vyxVec3 dir{std::cos(phi) * s, std::sin(phi) * s, r2};
        float k = vyxDot(dir, normal);
        if (k < 0.0f) {
            dir = -dir;
            k = -k;
        }

        float h = -1.0f;
        vyxVec3 t = vyxTraceShadow(scene, point, dir, settings.aoDistance, &h);
        // Openness of the sample: a surface touching P closes it, one at aoDistance does not.
        float g = 0.0f;
        if (h > 0.0f && settings.aoDistance > 0.0f)
            g = std::min(std::max(vyxLength(dir * h) / settings.aoDistance, 0.0f), 1.0f);
        sum += (t * (1.0f - g) + vyxVec3{g, g, g}) * k;
        weightSum += k;
    }
    // Every sample perpendicular to F (only a zero or non-finite F does that) weighs
    // nothing; an F so long that the weights overflow gives no usable average either.
    if (!(weightSum > 0.0f) || !std::isfinite(weightSum))
        return vyxVec3{1.0f, 1.0f, 1.0f};
    return sum / weightSum;
}
