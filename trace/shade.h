#pragma once
// Shading of one ray: nearest hit, surface reconstruction, lights with shadows, soft
// shadows and ambient occlusion, transparency, reflection and fog.

#include "geometry/scene.h"
#include "geometry/vec3.h"
#include "scenefiles/mtl.h"
#include "trace/settings.h"

// Everything vyxShade computes at a hit before the final combination; the subdivision
// renderer records it per lattice sample.
struct vyxHitShading {
    vyxMaterial* material;
    float texCoord[2];       // written only when the material has a texture
    float surface[4];        // texture sample or colour and alpha
    vyxVec3 diffuse;         // Ld
    vyxVec3 specular;        // Ls
    vyxVec3 reflected;       // Rc, when reflectivity or tintedReflectivity > 0
    vyxVec3 transmitted;     // B, when surface alpha < 1
    float reflectionWeight;  // W, with reflected
    float fog;               // f
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
bool vyxShadeHit(const vyxScene& scene, const vyxTraceResult& hit, vyxVec3 origin, vyxVec3 direction,
                 int depth, const vyxRenderSettings& settings, vyxHitShading& out);

// out = Ld * S; + Ls (specular > 0); + Rc * reflectivity * W; + tinted * S * Rc * W;
// blended with B by alpha; blended with fogColour by f.
vyxVec3 vyxCombineShading(vyxVec3 diffuse, vyxVec3 specular, vyxVec3 reflected, const vyxMaterial& material,
                          const float surface[4], vyxVec3 transmitted, float reflectionWeight, float fogFactor,
                          vyxVec3 fogColour);
