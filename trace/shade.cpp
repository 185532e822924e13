#include "trace/shade.h"

#include <cmath>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/transform.h"
#include "trace/light.h"
#include "trace/raystats.h"
#include "trace/shadow.h"
#include "trace/texture.h"

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

static bool shadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction,
                     int depth, const vyxRenderSettings& settings, vyxHitShading& out, int continuations);

// vyxShade with the number of transparency continuations already followed on this path.
static vyxVec3 shadeRay(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, int depth,
                        const vyxRenderSettings& settings, int continuations) {
    // A negative budget would never reach 0 through reflections: it is spent as well.
    if (depth <= 0)
        return vyxVec3{0.0f, 0.0f, 0.0f};
    const float unlimited = -1.0f;
    vyxTraceResult hit = vyxTraceScene(scene, origin, direction, unlimited);
    if (!(hit.t > 0.0f)) {
        if (!scene.cubeMap)
            return vyxVec3{0.0f, 0.0f, 0.0f};
        // An absent face writes nothing and leaves black.
        float rgba[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        vyxSampleCubeMap(*scene.cubeMap, direction.x, direction.y, direction.z, rgba);
        return vyxVec3{rgba[0], rgba[1], rgba[2]};
    }
    vyxHitShading s;
    shadeHit(scene, hit, origin, direction, depth, settings, s, continuations);
    return vyxCombineShading(s.diffuse, s.specular, s.reflected, *s.material, s.surface, s.transmitted,
                             s.reflectionWeight, s.fog, settings.fogColour);
}

static bool shadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction,
                     int depth, const vyxRenderSettings& settings, vyxHitShading& out, int continuations) {
    if (!(hit.t > 0.0f))
        return false;
    const vyxVec3 black{0.0f, 0.0f, 0.0f};

    // Geometry at the hit: normals go through the hierarchy's own transform, then the mesh's.
    vyxMesh& mesh = *scene.meshes[hit.object];
    const vyxTriangle& tri = mesh.triangles[hit.triangle];
    const vyxTriangleShading& rec = mesh.shading[hit.triangle];
    const vyxMaterial& mat = *rec.material;

    vyxVec3 view = -vyxNormalize(direction);
    vyxVec3 faceNormal = vyxTransformNormal(
        mesh.transform,
        vyxTransformNormal(mesh.bih->transform, vyxVec3{tri.normal[0], tri.normal[1], tri.normal[2]}));
    // Pulled back toward the origin so that rays leaving P do not find this surface again.
    vyxVec3 point = origin + direction * (hit.t * 0.999f);
    vyxVec3 n0{rec.normal0[0], rec.normal0[1], rec.normal0[2]};
    vyxVec3 n1{rec.normal1[0], rec.normal1[1], rec.normal1[2]};
    vyxVec3 n2{rec.normal2[0], rec.normal2[1], rec.normal2[2]};
    vyxVec3 normal = vyxNormalize(vyxTransformNormal(
        mesh.transform, vyxTransformNormal(mesh.bih->transform, n0 * hit.w0 + n1 * hit.w1 + n2 * hit.w2)));
    // Both sides of a triangle are shaded alike: turn both normals toward the viewer.
    if (vyxDot(faceNormal, view) < 0.0f) {
        normal = -normal;
        faceNormal = -faceNormal;
    }

    // Surface colour: the texture replaces colour and alpha entirely.
    out.material = rec.material;
    out.texCoord[0] = 0.0f;
    out.texCoord[1] = 0.0f;
    if (mat.texture) {
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
    } else {
        out.surface[0] = mat.color[0];
        out.surface[1] = mat.color[1];
        out.surface[2] = mat.color[2];
        out.surface[3] = mat.alpha;
    }

    bool reflects = mat.reflectivity > 0.0f || mat.tintedReflectivity > 0.0f;
    vyxVec3 reflection = black;
    float reflectionBase = 0.0f;
    if (mat.specular > 0.0f || reflects) {
        float c = vyxDot(normal, view);
        reflection = vyxNormalize(normal * (2.0f * c) - view);
        reflectionBase = 1.0f - c;
    }

    bool occluded = false;
    vyxVec3 occlusion{1.0f, 1.0f, 1.0f};
    if ((settings.flags & RenderAmbientOcclusion) && hasOcclusionLight(scene)) {
        occlusion = vyxAmbientOcclusion(scene, point, faceNormal, settings);
        occluded = true;
    }

    // Light sums.
    vyxVec3 diffuse = black, specular = black;
    if (mat.unlit != 0) {
        diffuse = vyxVec3{1.0f, 1.0f, 1.0f};
    } else {
        for (int32_t i = 0; i < scene.lightCount; i++) {
            const vyxLight& light = *scene.lights[i];
            switch (light.kind) {
            case LightAmbient: {
                vyxVec3 add = light.colour;
                diffuse += occluded ? add * occlusion : add;
                break;
            }
            case LightHemisphere: {
                float b = vyxDot(normal, light.unitDirection) * 0.5f + 0.5f;
                vyxVec3 add = light.colour * b + light.groundColour * (1.0f - b);
                diffuse += occluded ? add * occlusion : add;
                break;
            }
            case LightPoint:
            case LightSpot: {
                bool visible = true;
                float att = 1.0f;
                vyxVec3 toLight = light.position - point; // not normalised: shadow rays end at the light
                float k = light.angle;
                float distanceSquared = vyxDot(toLight, toLight);
                vyxVec3 lightDir = vyxNormalize(toLight);
                bool insideCone = true;
                if (light.kind == LightSpot) {
                    // The cone's edge counts as inside.
                    if (light.cosAngle > vyxDot(lightDir, -light.unitDirection)) {
                        visible = false;
                        insideCone = false;
                    }
                }
                if (insideCone) {
                    if (light.range > 0.0f) {
                        bool inBox = point.x >= light.boxMin.x && point.x <= light.boxMax.x &&
                                     point.y >= light.boxMin.y && point.y <= light.boxMax.y &&
                                     point.z >= light.boxMin.z && point.z <= light.boxMax.z;
                        if (inBox) {
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
                                att = 1.0f;
                                break;
                            }
                            if (att < 0.0f)
                                att = 0.0f;
                        } else {
                            visible = false;
                        }
                    } else if (light.falloff == FalloffRational) {
                        att = k / (k + distanceSquared);
                    }
                }
                float cosTheta = vyxDot(normal, lightDir);
                if (visible && cosTheta > 0.0f) {
                    vyxVec3 t = vyxTraceShadow(scene, point, toLight, 1.0f);
                    diffuse += light.colour * (cosTheta * att) * t;
                    float r;
                    if (mat.specular > 0.0f && (r = vyxDot(lightDir, reflection)) > 0.0f)
                        specular += light.colour * att * (power50(r) * mat.specular) * t;
                }
                break;
            }
            case LightDirectional:
            case LightDisc: {
                vyxVec3 lightDir = -light.unitDirection;
                float cosTheta = vyxDot(normal, lightDir);
                if (cosTheta > 0.0f) {
                    vyxVec3 t = light.kind == LightDisc ? vyxDiscVisibility(scene, light, point, settings)
                                                        : vyxTraceShadow(scene, point, lightDir, -1.0f);
                    diffuse += light.colour * cosTheta * t;
                    float r;
                    if (mat.specular > 0.0f && (r = vyxDot(lightDir, reflection)) > 0.0f)
                        specular += light.colour * (power50(r) * mat.specular) * t;
                }
                break;
            }
            default:
                break;
            }
        }
    }
    out.diffuse = diffuse;
    out.specular = specular;

    // Transparency spends no depth; only the continuation cap ends a chain of see-through
    // surfaces that the 0.001 step cannot get past (far from the origin). Past the cap
    // the surface counts as opaque over black.
    out.transmitted = black;
    if (out.surface[3] < 1.0f && continuations < vyxMaxContinuations && depth > 0) {
        VYX_COUNT_RAY(transparency);
        vyxVec3 beyond = origin + direction * hit.t + vyxNormalize(direction) * 0.001f;
        out.transmitted = shadeRay(scene, beyond, direction, depth, settings, continuations + 1);
    }

    // Mirror reflection spends one unit of depth.
    out.reflected = black;
    out.reflectionWeight = 0.0f;
    if (reflects) {
        if (depth - 1 > 0)
            VYX_COUNT_RAY(reflection);
        out.reflected = shadeRay(scene, point, reflection, depth - 1, settings, continuations);
        float base = mat.fresnel * reflectionBase + 1.0f - mat.fresnel;
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

bool vyxShadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction,
                 int depth, const vyxRenderSettings& settings, vyxHitShading& out) {
    return shadeHit(scene, hit, origin, direction, depth, settings, out, 0);
}

vyxVec3 vyxCombineShading(vyxVec3 diffuse, vyxVec3 specular, vyxVec3 reflected, const vyxMaterial& material,
                          const float surface[4], vyxVec3 transmitted, float reflectionWeight,
                          float fogFactor, vyxVec3 fogColour) {
    vyxVec3 colour{surface[0], surface[1], surface[2]};
    float alpha = surface[3];
    vyxVec3 out = diffuse * colour;
    if (material.specular > 0.0f)
        out += specular;
    if (material.reflectivity > 0.0f)
        out += reflected * material.reflectivity * reflectionWeight;
    if (material.tintedReflectivity > 0.0f)
        out += material.tintedReflectivity * colour * reflected * reflectionWeight;
    if (alpha < 1.0f)
        out = out * alpha + transmitted * (1.0f - alpha);
    if (fogFactor > 0.0f)
        out = out * (1.0f - fogFactor) + fogColour * fogFactor;
    return out;
}
