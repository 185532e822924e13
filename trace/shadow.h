#pragma once
// Visibility queries at a surface point: shadow rays with coloured transmission through
// see-through surfaces, soft shadows of disc lights, and ambient occlusion. Each answers
// an RGB transmission in [0, 1]. All may run on many threads at once.

#include "geometry/scene.h"
#include "geometry/vec3.h"
#include "trace/light.h"
#include "trace/settings.h"

// Continuations through see-through surfaces stop after this many, so a ray that cannot
// move past a surface (far from the origin, 0.001 is below float resolution) ends.
constexpr int vyxMaxContinuations = 64;

// Transmission from origin along direction. maxDistance < 0 is unlimited; otherwise the
// ray (and every continuation) ends at origin + maxDistance * direction (light rays pass
// the light's offset and 1, so they end at the light). hitDistance, when non-null,
// receives the t of the first surface met and is untouched when nothing is met.
vyxVec3 vyxTraceShadow(const vyxScene& scene, vyxVec3 origin, vyxVec3 direction, float maxDistance,
                       float* hitDistance = nullptr);

// Transmissions of count unlimited shadow rays: transmission[i] is exactly what
// vyxTraceShadow(scene, origins[i], directions[i], -1) gives. Consecutive rays are walked
// together vyxPacketSize at a time, which pays when they point the same way from points
// close together (the rays toward one light from neighbouring hits); others each walk
// alone. Draws no random numbers.
void vyxTraceShadowRays(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                        vyxVec3* transmission);

// Marks each mesh of the scene opaque (vyxMesh::opaque) when every material it holds
// stops shadow rays outright, so that shadow queries need not find the nearest hit on it.
// Call after the materials or their textures change and before threads trace the scene.
void vyxMarkOpaqueMeshes(const vyxScene& scene);

// Starts the calling thread's soft-shadow random draws afresh from seed and key (an
// image row and pass): the draws that follow are the same on every thread and in every
// process given the same two values. seed 0 leaves the thread's own generator alone.
void vyxSeedJitter(uint32_t seed, uint32_t key);

// Visible fraction of a LightDisc light from point (3 to 18 shadow rays). Under
// RenderSampleDiscArea: three rays toward random points spread over the disc, fresh on
// every call, whose mean over many calls is the disc's visible fraction.
vyxVec3 vyxDiscVisibility(const vyxScene& scene, const vyxLight& light, vyxVec3 point,
                          const vyxRenderSettings& settings);

// The two halves of vyxDiscVisibility, for callers that trace the first rays of many
// points together: vyxDiscCorners gives the three directions it traces first from any
// point, drawing exactly the random numbers it draws; vyxDiscVisibilityFrom, given those
// directions and the transmissions along them from point, returns what it returns.
void vyxDiscCorners(const vyxLight& light, const vyxRenderSettings& settings, vyxVec3 corners[3]);
vyxVec3 vyxDiscVisibilityFrom(const vyxScene& scene, vyxVec3 point, const vyxVec3 corners[3],
                              const vyxVec3 transmission[3], const vyxRenderSettings& settings);

// Transmission averaged over the triangle of directions a, b, c, refined while the
// corner transmissions differ by softShadowThreshold or more and depth > 0.
vyxVec3 vyxRefineDiscVisibility(const vyxScene& scene, vyxVec3 point, vyxVec3 a, vyxVec3 b, vyxVec3 c, vyxVec3 ta,
                                vyxVec3 tb, vyxVec3 tc, const vyxRenderSettings& settings, int depth);

// Occlusion factor at point over ceil(aoSamples) directions of the hemisphere around
// normal (any length), taking 2 numbers per sample from the shared random table.
// (1, 1, 1) when aoSamples <= 0.
vyxVec3 vyxAmbientOcclusion(const vyxScene& scene, vyxVec3 point, vyxVec3 normal, const vyxRenderSettings& settings);
