#pragma once
// The subdivision renderer: rays only at the corners of 8 x 8 blocks, refinement where
// corners disagree, interpolation of shading components everywhere else.

#include <cstdint>

#include "geometry/scene.h"
#include "geometry/triangle.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/settings.h"

// One lattice point: its ray and, for a hit, what vyxShadeHit recorded (the fields of
// vyxHitShading).
struct vyxSample {
    uint8_t traced;        // 1 once traced for the current strip
    const vyxScene* scene; // scene the sample was traced in
    vyxTraceResult hit;    // t > 0 = hit
    float texCoord[2];     // hit with a textured material only
    float surface[4];      // texture sample or colour, alpha
    vyxVec3 diffuse;
    vyxVec3 specular;
    vyxVec3 reflected;      // when reflectivity or tintedReflectivity > 0
    vyxVec3 transmitted;    // when surface alpha < 1
    float reflectionWeight; // with reflected
    vyxVec3 origin;
    vyxVec3 direction; // unnormalised
    float fog;         // every hit
};

// Traces the ray and records everything vyxShade computes before its combination.
void vyxTraceSample(const vyxRenderSettings& settings, const vyxScene& scene, vyxVec3 origin, vyxVec3 direction,
                    vyxSample& sample);

// The same for count rays in order, ray i into *samples[i] (distinct samples), as count
// calls of vyxTraceSample in order would (the same random draws in the same order); the
// soft-shadow rays of their hits are traced together (vyxShadeHits).
void vyxTraceSamples(const vyxRenderSettings& settings, const vyxScene& scene, vyxSample* const* samples,
                     const vyxVec3* origins, const vyxVec3* directions, int count);

// Refines or fills the block of `size` (8, 4, 2, 1) whose top-left sample is topLeft in
// a window of row length windowStride, writing colours from output (row length
// outputStride). Only the first clipWidth columns and clipHeight rows of the block are
// written, so blocks at the image's right and bottom edges stay inside it.
void vyxSubdivideBlock(const vyxScene& scene, int size, vyxSample* topLeft, int windowStride, vyxVec3* output,
                       int outputStride, const vyxRenderSettings& settings, int clipWidth = 1 << 30,
                       int clipHeight = 1 << 30);

// Whether a block must be split, from its four corner samples (true = refine). In this
// order: corners that partly hit and partly miss refine; corners that all miss do not
// (the block shows the environment); corners on different meshes, with different
// materials or surface patches, or with some but not all of them see-through refine.
// Then the optional checks on the recorded light, each comparing every pair of corners
// by the mean of the three channels: RenderCheckShadows refines when the diffuse light
// differs by more than subsampleThreshold, RenderCheckSpecular likewise for the
// highlights of a material that has them, and RenderCheckReflections when the reflected
// colour times the larger of the material's two reflectivities differs by more than
// reflectionThreshold. A block that passes them all is interpolated.
bool vyxBlockNeedsRefinement(const vyxSample& c00, const vyxSample& c10, const vyxSample& c01, const vyxSample& c11,
                             const vyxRenderSettings& settings);

// Where the lattice rays of a band come from. With camera set, lattice point (x, y) is
// the primary ray at image position (column + x, y). Without, the direction is the
// bilinear blend of the four corner directions at u = x / width, v = y / height (points
// past the band's edge extrapolate, which stays exact up to rounding because the
// camera's directions are affine in the image position).
struct vyxBandRays {
    const vyxCamera* camera;
    int32_t column;
    vyxVec3 origin;
    vyxVec3 dirTL, dirTR, dirBL, dirBR;
    uint32_t width;
    uint32_t height;
};

// Lattice ray (x, y) of a band.
void vyxBandRay(const vyxBandRays& rays, int x, int y, vyxVec3& origin, vyxVec3& direction);

// Renders a band of width x height pixels (any sizes from 1 up; 0 renders nothing)
// through a nine-row sample window, writing exactly those pixels of output (row length
// outputStride, at least width) that the blocks write. The lattice extends to the next multiples of 8.
// Returns false, writing nothing, when the window cannot be allocated.
bool vyxRenderBand(const vyxScene& scene, const vyxBandRays& rays, int width, int height, vyxVec3* output,
                   int outputStride, const vyxRenderSettings& settings);

// The rows [firstRow, firstRow + rowCount) of the same band (firstRow a multiple of 8;
// output points at the band's row firstRow, and only those rows are written). A strip of blocks reads only its own top
// and bottom lattice rows, and a sample is the same whichever strip traces it, so the band split into parts of whole
// strips, rendered in any order, gives the same pixels.
bool vyxRenderBandRows(const vyxScene& scene, const vyxBandRays& rays, int width, int height, int firstRow,
                       int rowCount, vyxVec3* output, int outputStride, const vyxRenderSettings& settings);

// The whole image as one band on the calling thread. The image must fit the camera
// (vyxFrameFitsCamera); in release builds one that does not is left as it is.
void vyxRenderSubdivision(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                          const vyxRenderSettings& settings);
