#pragma once
// Shading of one ray: nearest hit, surface reconstruction, lights with shadows, soft
// shadows and ambient occlusion, transparency, reflection and fog.

#include "geometry/scene.h"
#include "geometry/vec3.h"
#include "scenefiles/mtl.h"
#include "trace/settings.h"

// Everything vyxShade computes at a hit before the final combination; the subdivision
// renderer records it per lattice sample and interpolates it between samples.
struct vyxHitShading {
    vyxMaterial* material;
    float texCoord[2]; // written only when the material has a texture
    float surface[4];  // texture sample or colour and alpha
    // Light arriving for the diffuse term: every light's colour weighted by the angle of
    // incidence, its attenuation and the shadow transmission (ambient and hemisphere light
    // by the occlusion factor); white for unlit materials. Tinted by the surface colour
    // when combined.
    vyxVec3 diffuse;
    vyxVec3 specular;       // the lights' highlights, added untinted
    vyxVec3 reflected;      // colour seen in the mirror direction; black unless the material reflects
    vyxVec3 transmitted;    // colour seen through the surface; black unless surface alpha < 1
    float reflectionWeight; // view-angle weight of reflected; 0 unless the material reflects
    float fog;              // share of the fog colour in the result, 0 .. 1
};

// Colour of the ray origin + t direction (direction need not be unit length). depth is
// the reflection budget: 0 (or less) gives black; each reflection spends one,
// transparency none. A path through more than vyxMaxContinuations see-through surfaces
// (trace/shadow.h) sees black beyond the last one followed. Re-entrant; any thread.
vyxVec3 vyxShade(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, int depth,
                 const vyxRenderSettings& settings);

// Shades the hit `hit` of the ray (origin, direction) up to the combination, with the
// reflection budget depth (the reflected ray gets depth - 1, the transmitted ray depth).
// Writes every field of out. Returns false (out left untouched) when hit.t is not above 0.
struct vyxTraceResult;
bool vyxShadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction, int depth,
                 const vyxRenderSettings& settings, vyxHitShading& out);

// The same for count hits (any number): shaded[i] and out[i] are what vyxShadeHit gives
// hits[i] of the ray (origins[i], directions[i]), and the random draws are the ones count
// calls in order make, in the same order. Where the scene has one disc light, the
// soft-shadow rays of the hits, and of the hits seen through and in them, are traced
// together (vyxTraceShadowRays), which pays when the hits lie close together, as those of
// neighbouring pixels do. Any thread.
void vyxShadeHits(const vyxScene& scene, const vyxTraceResult* hits, const vyxVec3* origins, const vyxVec3* directions,
                  int count, int depth, const vyxRenderSettings& settings, vyxHitShading* out, bool* shaded);

// vyxShade of count rays into colours[0 .. count - 1], exactly as count calls in order
// give them (the same random draws in the same order), with the rays traced eight at a
// time (vyxTraceScenePacket) and the soft-shadow rays of their hits traced together as
// vyxShadeHits does. Any thread.
void vyxShadeRays(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count, int depth,
                  const vyxRenderSettings& settings, vyxVec3* colours);

// The final colour at a hit: diffuse tinted by the surface colour; plus specular (when
// the material has a highlight); plus reflected weighted by reflectivity and
// reflectionWeight, and again tinted by the surface colour and weighted by
// tintedReflectivity and reflectionWeight; then, for a surface alpha below 1, mixed with
// transmitted in the proportion alpha : 1 - alpha; last, mixed with fogColour by fogFactor.
// Inline: the subdivision renderer combines every pixel of a block with one material,
// whose tests then leave the loop.
inline vyxVec3 vyxCombineShading(vyxVec3 diffuse, vyxVec3 specular, vyxVec3 reflected, const vyxMaterial& material,
                                 const float surface[4], vyxVec3 transmitted, float reflectionWeight, float fogFactor,
                                 vyxVec3 fogColour) {
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
