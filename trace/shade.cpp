#include "trace/shade.h"

#include <algorithm>
#include <cmath>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/transform.h"
#include "trace/light.h"
#include "trace/raystats.h"
#include "trace/shadow.h"
#include "trace/texture.h"
#include "util/assert.h"

// The specular exponent of every material.
static float power50(float r) {
    float r2 = r * r;
    float r4 = r2 * r2;
    float r8 = r4 * r4;
    float r16 = r8 * r8;
    float r32 = r16 * r16;
    return r32 * r16 * r2;
}

static bool hasOcclusionLight(const vyxScene& scene) {
    for (int32_t i = 0; i < scene.lightCount; i++) {
        uint32_t kind = scene.lights[i]->kind;
        if (kind == LightAmbient || kind == LightHemisphere)
            return true;
    }
    return false;
}

namespace {
struct Batch;
struct BatchHit;
} // namespace

static bool shadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction, int depth,
                     const vyxRenderSettings& settings, vyxHitShading& out, int continuations, Batch* batch,
                     BatchHit* node);

// What a ray that meets nothing sees: the environment, black without one.
static vyxVec3 environment(const vyxScene& scene, vyxVec3 direction) {
    if (!scene.cubeMap)
        return vyxVec3{0.0f, 0.0f, 0.0f};
    // An absent face writes nothing and leaves black.
    float rgba[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    vyxSampleCubeMap(*scene.cubeMap, direction.x, direction.y, direction.z, rgba);
    return vyxVec3{rgba[0], rgba[1], rgba[2]};
}

static vyxVec3 combine(const vyxHitShading& s, const vyxRenderSettings& settings) {
    return vyxCombineShading(s.diffuse, s.specular, s.reflected, *s.material, s.surface, s.transmitted,
                             s.reflectionWeight, s.fog, settings.fogColour);
}

static BatchHit* addToBatch(Batch* batch, vyxHitShading* out, vyxVec3* target, int path);
static vyxHitShading* nodeShading(BatchHit* node);

// vyxShade with the number of transparency continuations already followed on this path.
// With a batch (that has room), a hit's colour is left to the batch, which writes it to
// *target once its lights are summed (the return value is then a stand-in); path tells
// the way the ray took from the batch's own hit.
static vyxVec3 shadeRay(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, int depth,
                        const vyxRenderSettings& settings, int continuations, Batch* batch = nullptr,
                        vyxVec3* target = nullptr, int path = 0) {
    // A negative budget would never reach 0 through reflections: it is spent as well.
    if (depth <= 0)
        return vyxVec3{0.0f, 0.0f, 0.0f};
    const float unlimited = -1.0f;
    vyxTraceResult hit = vyxTraceScene(scene, origin, direction, unlimited);
    if (!(hit.t > 0.0f))
        return environment(scene, direction);
    if (BatchHit* node = addToBatch(batch, nullptr, target, path)) {
        shadeHit(scene, hit, origin, direction, depth, settings, *nodeShading(node), continuations, batch, node);
        return vyxVec3{0.0f, 0.0f, 0.0f};
    }
    vyxHitShading s;
    shadeHit(scene, hit, origin, direction, depth, settings, s, continuations, nullptr, nullptr);
    return combine(s, settings);
}

namespace {

// The hit as the lights see it.
struct Surface {
    vyxVec3 point;        // the hit, pulled back toward the ray origin
    vyxVec3 normal;       // unit shading normal, turned toward the viewer
    vyxVec3 faceNormal;   // the triangle's own normal (not unit), turned toward the viewer
    vyxVec3 reflection;   // unit mirror direction of the view; black when the material needs none
    float reflectionBase; // 1 - cosine of the angle between view and normal, with reflection
};

// What the lights add up to at a hit.
struct LightSums {
    vyxVec3 diffuse;
    vyxVec3 specular;
};

} // namespace

static bool reflects(const vyxMaterial& material) {
    return material.reflectivity > 0.0f || material.tintedReflectivity > 0.0f;
}

// Point, normals and mirror direction at the hit. Normals go through the hierarchy's own
// transform, then the mesh's.
static Surface reconstructSurface(vyxMesh& mesh, const vyxTraceResult& hit, const vyxTriangleShading& rec,
                                  vyxVec3 origin, vyxVec3 direction, const vyxMaterial& mat) {
    const vyxTriangle& tri = mesh.triangles[hit.triangle];
    Surface s;
    vyxVec3 view = -vyxNormalize(direction);
    s.faceNormal = vyxTransformNormal(
        mesh.transform, vyxTransformNormal(mesh.bih->transform, vyxVec3{tri.normal[0], tri.normal[1], tri.normal[2]}));
    // Pulled back toward the origin so that rays leaving the point do not find this
    // surface again.
    s.point = origin + direction * (hit.t * 0.999f);
    vyxVec3 n0{rec.normal0[0], rec.normal0[1], rec.normal0[2]};
    vyxVec3 n1{rec.normal1[0], rec.normal1[1], rec.normal1[2]};
    vyxVec3 n2{rec.normal2[0], rec.normal2[1], rec.normal2[2]};
    s.normal = vyxNormalize(vyxTransformNormal(
        mesh.transform, vyxTransformNormal(mesh.bih->transform, n0 * hit.w0 + n1 * hit.w1 + n2 * hit.w2)));
    // Both sides of a triangle are shaded alike: turn both normals toward the viewer.
    if (vyxDot(s.faceNormal, view) < 0.0f) {
        s.normal = -s.normal;
        s.faceNormal = -s.faceNormal;
    }
    s.reflection = vyxVec3{0.0f, 0.0f, 0.0f};
    s.reflectionBase = 0.0f;
    if (mat.specular > 0.0f || reflects(mat)) {
        float c = vyxDot(s.normal, view);
        s.reflection = vyxNormalize(s.normal * (2.0f * c) - view);
        s.reflectionBase = 1.0f - c;
    }
    return s;
}

// Surface colour at the hit into out.surface (and out.texCoord): the texture replaces
// colour and alpha entirely.
static void surfaceColour(const vyxTriangleShading& rec, const vyxTraceResult& hit, vyxHitShading& out) {
    const vyxMaterial& mat = *rec.material;
    out.texCoord[0] = 0.0f;
    out.texCoord[1] = 0.0f;
    if (!mat.texture) {
        out.surface[0] = mat.color[0];
        out.surface[1] = mat.color[1];
        out.surface[2] = mat.color[2];
        out.surface[3] = mat.alpha;
        return;
    }
    float u = rec.uv0[0] * hit.w0 + rec.uv1[0] * hit.w1 + rec.uv2[0] * hit.w2;
    float v = rec.uv0[1] * hit.w0 + rec.uv1[1] * hit.w1 + rec.uv2[1] * hit.w2;
    out.texCoord[0] = u;
    out.texCoord[1] = v;
    // A texture without an image writes nothing: black and opaque.
    out.surface[0] = 0.0f;
    out.surface[1] = 0.0f;
    out.surface[2] = 0.0f;
    out.surface[3] = 1.0f;
    vyxSampleTexture(*mat.texture, u, v, out.surface);
}

// Light from all around (ambient and hemisphere lights), dimmed by the occlusion factor
// when there is one.
static vyxVec3 dimmed(vyxVec3 light, const vyxVec3* occlusion) { return occlusion ? light * *occlusion : light; }

// A hemisphere light: its colour from the side of its direction, the ground colour from
// the other, blended by where the normal points.
static vyxVec3 hemisphereLight(const vyxLight& light, vyxVec3 normal) {
    float b = vyxDot(normal, light.unitDirection) * 0.5f + 0.5f;
    return light.colour * b + light.groundColour * (1.0f - b);
}

// The share of a point or spot light's colour left at distanceSquared from it, into att.
// False when the point lies outside the box of the light's range (no light reaches it);
// without a range only the rational falloff weakens the light.
static bool attenuation(const vyxLight& light, vyxVec3 point, float distanceSquared, float& att) {
    float k = light.angle;
    att = 1.0f;
    if (!(light.range > 0.0f)) {
        if (light.falloff == FalloffRational)
            att = k / (k + distanceSquared);
        return true;
    }
    bool inBox = point.x >= light.boxMin.x && point.x <= light.boxMax.x && point.y >= light.boxMin.y &&
                 point.y <= light.boxMax.y && point.z >= light.boxMin.z && point.z <= light.boxMax.z;
    if (!inBox)
        return false;
    float d = std::sqrt(distanceSquared);
    switch (light.falloff) {
    case FalloffLinear:
        att = 1.0f - d / light.range;
        break;
    case FalloffInverse:
        att = 1.0f / d - 1.0f / light.range;
        break;
    case FalloffInverseSquare:
        att = 1.0f / distanceSquared - 1.0f / light.rangeSquared;
        break;
    case FalloffRational:
        att = k / (k + distanceSquared);
        break;
    default:
        break;
    }
    if (att < 0.0f)
        att = 0.0f;
    return true;
}

// A point light, or a spot light (a point light that lights only inside its cone): its
// diffuse light and highlight at the surface, weakened by distance and by what lies
// between the surface and the light.
static void addLocalLight(const vyxScene& scene, const vyxLight& light, const Surface& s, const vyxMaterial& mat,
                          LightSums& sums) {
    vyxVec3 toLight = light.position - s.point; // not normalised: shadow rays end at the light
    float distanceSquared = vyxDot(toLight, toLight);
    vyxVec3 lightDir = vyxNormalize(toLight);
    // The cone's edge counts as inside.
    if (light.kind == LightSpot && light.cosAngle > vyxDot(lightDir, -light.unitDirection))
        return;
    float att;
    if (!attenuation(light, s.point, distanceSquared, att))
        return;
    float cosTheta = vyxDot(s.normal, lightDir);
    if (!(cosTheta > 0.0f))
        return;
    vyxVec3 t = vyxTraceShadow(scene, s.point, toLight, 1.0f);
    sums.diffuse += light.colour * (cosTheta * att) * t;
    if (mat.specular > 0.0f) {
        float r = vyxDot(lightDir, s.reflection);
        if (r > 0.0f)
            sums.specular += light.colour * att * (power50(r) * mat.specular) * t;
    }
}

// A directional light, or a disc light (a directional light of some angular size, whose
// shadows are soft): its diffuse light and highlight at the surface, through what lies
// toward it.
// discTransmission, when not null, is the disc light's visibility from the surface,
// already found.
static void addDistantLight(const vyxScene& scene, const vyxLight& light, const Surface& s, const vyxMaterial& mat,
                            const vyxRenderSettings& settings, const vyxVec3* discTransmission, LightSums& sums) {
    vyxVec3 lightDir = -light.unitDirection;
    float cosTheta = vyxDot(s.normal, lightDir);
    if (!(cosTheta > 0.0f))
        return;
    vyxVec3 t = light.kind != LightDisc ? vyxTraceShadow(scene, s.point, lightDir, -1.0f)
                : discTransmission      ? *discTransmission
                                        : vyxDiscVisibility(scene, light, s.point, settings);
    sums.diffuse += light.colour * cosTheta * t;
    if (mat.specular > 0.0f) {
        float r = vyxDot(lightDir, s.reflection);
        if (r > 0.0f)
            sums.specular += light.colour * (power50(r) * mat.specular) * t;
    }
}

// Every light of the scene at a lit surface, in list order. discTransmission: as for
// addDistantLight (only for a scene with one disc light).
static LightSums sumLights(const vyxScene& scene, const Surface& s, const vyxMaterial& mat, const vyxVec3* occlusion,
                           const vyxRenderSettings& settings, const vyxVec3* discTransmission) {
    LightSums sums{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}};
    for (int32_t i = 0; i < scene.lightCount; i++) {
        const vyxLight& light = *scene.lights[i];
        switch (light.kind) {
        case LightAmbient:
            sums.diffuse += dimmed(light.colour, occlusion);
            break;
        case LightHemisphere:
            sums.diffuse += dimmed(hemisphereLight(light, s.normal), occlusion);
            break;
        case LightPoint:
        case LightSpot:
            addLocalLight(scene, light, s, mat, sums);
            break;
        case LightDirectional:
        case LightDisc:
            addDistantLight(scene, light, s, mat, settings, discTransmission, sums);
            break;
        default:
            break;
        }
    }
    return sums;
}

namespace {

// The lights of a hit whose disc light's soft-shadow rays are left to be traced together
// with those of its neighbours: everything sumLights reads, and the disc's first
// directions, drawn when sumLights would have drawn them.
struct DeferredLights {
    bool pending; // the hit's diffuse and specular light are still to be summed
    Surface surface;
    const vyxMaterial* material;
    bool occluded;
    vyxVec3 occlusion;
    vyxVec3 corners[3];
};

// A hit shaded in a batch: its shading record, which waits for its lights (and those of
// the hits seen through it and in it) before it is complete.
struct BatchHit {
    vyxHitShading* out;    // the record: the caller's for the batch's own hits, else `shading`
    vyxHitShading shading; // the record of a hit seen through or in another
    DeferredLights lights; // pending: the lights wait for the batch's soft-shadow rays
    vyxVec3* target;       // where the hit's colour goes once complete; null for the batch's own hits
    int path;              // 0 for an own hit; from a hit of path p, 2 p + 1 seen through it, 2 p + 2 in it
};

// The hits of neighbouring rays and the hits seen through and in them, shaded in order
// with the summing of their lights left for the end, when the first soft-shadow rays of
// all are traced together. Past kCapacity hits are shaded at once, which gives the same.
struct Batch {
    static const int kCapacity = 96;
    const vyxLight* disc; // the scene's one disc light; null: nothing is left for later
    int count;
    BatchHit hits[kCapacity];
};

} // namespace

static vyxHitShading* nodeShading(BatchHit* node) { return node->out; }

static BatchHit* addToBatch(Batch* batch, vyxHitShading* out, vyxVec3* target, int path) {
    if (!batch || batch->count == Batch::kCapacity)
        return nullptr;
    BatchHit& node = batch->hits[batch->count++];
    node.out = out ? out : &node.shading;
    node.target = target;
    // Long paths share one number: their rays only go into packets less well.
    node.path = path < (1 << 20) ? path : (1 << 20);
    node.lights.pending = false;
    return &node;
}

// The scene's one disc light, or null when it has none or several (the soft-shadow rays
// of hits are then traced as each hit is shaded).
static const vyxLight* onlyDiscLight(const vyxScene& scene) {
    const vyxLight* disc = nullptr;
    for (int32_t i = 0; i < scene.lightCount; i++) {
        if (scene.lights[i]->kind != LightDisc)
            continue;
        if (disc)
            return nullptr;
        disc = scene.lights[i];
    }
    return disc;
}

// The lights at a hit, or, with defer, their summing left for later when the scene's one
// disc light (disc) shines on the surface: its first directions are drawn now, as
// sumLights would draw them, and the rest is kept in defer.
static void lightHit(const vyxScene& scene, const Surface& s, const vyxMaterial& mat, const vyxVec3* occluded,
                     const vyxRenderSettings& settings, const vyxLight* disc, DeferredLights* defer,
                     vyxHitShading& out) {
    if (defer) {
        defer->pending = false;
        if (disc && vyxDot(s.normal, -disc->unitDirection) > 0.0f) {
            defer->pending = true;
            defer->surface = s;
            defer->material = &mat;
            defer->occluded = occluded != nullptr;
            defer->occlusion = occluded ? *occluded : vyxVec3{1.0f, 1.0f, 1.0f};
            vyxDiscCorners(*disc, settings, defer->corners);
            return;
        }
    }
    LightSums sums = sumLights(scene, s, mat, occluded, settings, nullptr);
    out.diffuse = sums.diffuse;
    out.specular = sums.specular;
}

static bool shadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction, int depth,
                     const vyxRenderSettings& settings, vyxHitShading& out, int continuations, Batch* batch,
                     BatchHit* node) {
    if (!(hit.t > 0.0f))
        return false;
    const vyxVec3 black{0.0f, 0.0f, 0.0f};
    VYX_ASSERT(hit.object >= 0 && hit.object < scene.meshCount);
    vyxMesh& mesh = *scene.meshes[hit.object];
    VYX_ASSERT(hit.triangle >= 0 && hit.triangle < mesh.triangleCount);
    const vyxTriangleShading rec = vyxShadingOf(mesh, hit.triangle);
    const vyxMaterial& mat = *rec.material;
    Surface s = reconstructSurface(mesh, hit, rec, origin, direction, mat);
    out.material = rec.material;
    surfaceColour(rec, hit, out);

    // Occlusion is measured whenever a light it dims is on, unlit surfaces included.
    vyxVec3 occlusion{1.0f, 1.0f, 1.0f};
    const vyxVec3* occluded = nullptr;
    if ((settings.flags & RenderAmbientOcclusion) && hasOcclusionLight(scene)) {
        occlusion = vyxAmbientOcclusion(scene, s.point, s.faceNormal, settings);
        occluded = &occlusion;
    }
    if (mat.unlit != 0) {
        out.diffuse = vyxVec3{1.0f, 1.0f, 1.0f};
        out.specular = black;
    } else {
        lightHit(scene, s, mat, occluded, settings, node ? batch->disc : nullptr, node ? &node->lights : nullptr, out);
    }

    // Transparency spends no depth; only the continuation cap ends a chain of see-through
    // surfaces that the 0.001 step cannot get past (far from the origin). Past the cap
    // the surface counts as opaque over black.
    out.transmitted = black;
    if (out.surface[3] < 1.0f && continuations < vyxMaxContinuations && depth > 0) {
        VYX_COUNT_RAY(transparency);
        vyxVec3 beyond = origin + direction * hit.t + vyxNormalize(direction) * 0.001f;
        out.transmitted = shadeRay(scene, beyond, direction, depth, settings, continuations + 1, node ? batch : nullptr,
                                   &out.transmitted, node ? 2 * node->path + 1 : 0);
    }

    // Mirror reflection spends one unit of depth.
    out.reflected = black;
    out.reflectionWeight = 0.0f;
    if (reflects(mat)) {
        if (depth - 1 > 0)
            VYX_COUNT_RAY(reflection);
        out.reflected = shadeRay(scene, s.point, s.reflection, depth - 1, settings, continuations,
                                 node ? batch : nullptr, &out.reflected, node ? 2 * node->path + 2 : 0);
        float base = mat.fresnel * s.reflectionBase + 1.0f - mat.fresnel;
        out.reflectionWeight = base * base * base;
    }

    // Fog over this ray segment only.
    out.fog = 0.0f;
    if (settings.fogDensity > 0.0f)
        out.fog = 1.0f - std::pow(1.0f - settings.fogDensity, vyxLength(direction * hit.t));
    return true;
}

vyxVec3 vyxShade(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, int depth,
                 const vyxRenderSettings& settings) {
    return shadeRay(scene, origin, direction, depth, settings, 0);
}

bool vyxShadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction, int depth,
                 const vyxRenderSettings& settings, vyxHitShading& out) {
    return shadeHit(scene, hit, origin, direction, depth, settings, out, 0, nullptr, nullptr);
}

// The batch's own hits per batch.
static const int kBatch = 16;

// Completes the batch's hits: the first soft-shadow rays of all that wait for them are
// traced together, those of hits that took the same way from neighbouring rays side by
// side; then, last hit first (so that every hit seen through or in another is complete
// before it), each hit's lights are summed and its colour goes where it was asked for.
static void resolveBatch(const vyxScene& scene, Batch& batch, const vyxRenderSettings& settings) {
    vyxVec3 origins[3 * Batch::kCapacity], directions[3 * Batch::kCapacity], transmission[3 * Batch::kCapacity];
    int order[Batch::kCapacity], slot[Batch::kCapacity];
    int pending = 0;
    for (int i = 0; i < batch.count; ++i)
        if (batch.hits[i].lights.pending)
            order[pending++] = i;
    std::stable_sort(order, order + pending, [&](int a, int b) { return batch.hits[a].path < batch.hits[b].path; });
    for (int j = 0; j < pending; ++j) {
        const DeferredLights& d = batch.hits[order[j]].lights;
        slot[order[j]] = 3 * j;
        for (int k = 0; k < 3; ++k) {
            origins[3 * j + k] = d.surface.point;
            directions[3 * j + k] = d.corners[k];
        }
    }
    vyxTraceShadowRays(scene, origins, directions, 3 * pending, transmission);
    for (int i = batch.count - 1; i >= 0; --i) {
        BatchHit& node = batch.hits[i];
        const DeferredLights& d = node.lights;
        if (d.pending) {
            const vyxVec3* t = transmission + slot[i];
            const vyxVec3 visible = vyxDiscVisibilityFrom(scene, d.surface.point, d.corners, t, settings);
            LightSums sums =
                sumLights(scene, d.surface, *d.material, d.occluded ? &d.occlusion : nullptr, settings, &visible);
            node.out->diffuse = sums.diffuse;
            node.out->specular = sums.specular;
        }
        if (node.target)
            *node.target = combine(*node.out, settings);
    }
}

void vyxShadeHits(const vyxScene& scene, const vyxTraceResult* hits, const vyxVec3* origins, const vyxVec3* directions,
                  int count, int depth, const vyxRenderSettings& settings, vyxHitShading* out, bool* shaded) {
    Batch batch;
    batch.disc = onlyDiscLight(scene);
    for (int begin = 0; begin < count; begin += kBatch) {
        const int n = count - begin < kBatch ? count - begin : kBatch;
        batch.count = 0;
        for (int i = begin; i < begin + n; ++i) {
            BatchHit* node = hits[i].t > 0.0f && batch.disc ? addToBatch(&batch, &out[i], nullptr, 0) : nullptr;
            shaded[i] = shadeHit(scene, hits[i], origins[i], directions[i], depth, settings, out[i], 0,
                                 node ? &batch : nullptr, node);
        }
        resolveBatch(scene, batch, settings);
    }
}

void vyxShadeRays(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count, int depth,
                  const vyxRenderSettings& settings, vyxVec3* colours) {
    vyxTraceResult hits[kBatch];
    vyxHitShading shading[kBatch];
    bool shaded[kBatch];
    for (int begin = 0; begin < count; begin += kBatch) {
        const int n = count - begin < kBatch ? count - begin : kBatch;
        // The rays that see the environment, or nothing, are done at once; the others are
        // shaded together.
        for (int i = 0; i < n; i += vyxPacketSize) {
            const int m = n - i < vyxPacketSize ? n - i : vyxPacketSize;
            for (int k = 0; k < m; ++k)
                hits[i + k] = vyxMissResult();
            if (depth > 0)
                vyxTraceScenePacket(scene, origins + begin + i, directions + begin + i, m, -1.0f, hits + i);
        }
        vyxShadeHits(scene, hits, origins + begin, directions + begin, n, depth, settings, shading, shaded);
        for (int i = 0; i < n; ++i) {
            if (shaded[i])
                colours[begin + i] = combine(shading[i], settings);
            else
                colours[begin + i] = depth > 0 ? environment(scene, directions[begin + i]) : vyxVec3{0.0f, 0.0f, 0.0f};
        }
    }
}
