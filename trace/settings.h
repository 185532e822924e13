#pragma once
// vyxRenderSettings: the render settings every renderer and shader reads, and the
// RenderFlags bits of its flags word. The program holds one global record (app/); the
// frame dispatch copies it whole into every worker's argument block.

#include <cstdint>

#include "geometry/vec3.h"

enum RenderFlags : uint32_t {
    RenderStandard = 0x1,               // one primary ray per pixel; wins over RenderSubdivision
    RenderSubdivision = 0x2,            // adaptive 8x8 block subdivision
    RenderThreaded = 0x4,               // threaded driver: each phase in threadCount blocks
    RenderAntialias = 0x10,             // standard renderer: adaptive antialiasing pass
    RenderCheckShadows = 0x20,          // subdivision: refine on diffuse differences
    RenderCheckSpecular = 0x40,         // subdivision: refine on specular differences
    RenderCheckReflections = 0x80,      // subdivision: refine on reflection differences
    RenderAmbientOcclusion = 0x100,     // ambient occlusion for ambient and hemisphere lights
    RenderNoBlockInterpolation = 0x200, // subdivision: unrefined blocks write one pixel
    RenderJitterSoftShadows = 0x400,    // rotate disc-light samples by a random angle per point
    // Disc lights: three rays toward random points spread evenly over the disc, whose
    // mean over many frames is the disc's visible fraction (the rotated triangle's is not).
    RenderSampleDiscArea = 0x800,
};

struct vyxRenderSettings {
    int32_t maxDepth;          // recursion depth given to primary rays
    int32_t threadCount;       // blocks of work each phase of a threaded driver is split into
                               // (clamped to 1..64); the worker pool's threads share them out
    float subsampleThreshold;  // shadow and specular subsample checks
    float reflectionThreshold; // reflection subsample check
    int32_t aaLevels;          // antialiasing recursion depth
    float aaThreshold;         // antialiasing relative colour difference
    int32_t flags;             // RenderFlags word, rewritten every frame
    float fogDensity;          // fog applied only when > 0
    vyxVec3 fogColour;
    float aoDistance;          // occlusion ray length and attenuation scale
    float aoSamples;           // occlusion sample count (fractional counts round up)
    float softShadowThreshold; // disc-light refinement threshold
    // Where in its pixel the standard renderer's first pass sends each primary ray, in
    // pixels from the top-left corner (0 .. 1; 0, 0 = the corner, as without an offset).
    float pixelOffsetX;
    float pixelOffsetY;
    // Where the standard renderer's soft-shadow random draws come from: 0 = each thread's
    // own generator, seeded once from the system's non-deterministic source; any other
    // value starts every image row's draws afresh from this seed and the row, so that a
    // row's picture does not depend on which thread, or which process, traced it. The
    // program draws a new seed every frame.
    uint32_t jitterSeed;
};

// The static defaults, before start-up overrides any field.
inline vyxRenderSettings vyxDefaultRenderSettings() {
    return {6, 20, 0.25f, 0.25f, 3, 0.25f, 1, 0.0f, {0.0f, 0.0f, 0.0f}, -1.0f, 10.0f, 0.25f, 0.0f, 0.0f, 0u};
}
