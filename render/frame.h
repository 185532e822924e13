#pragma once
// Frame dispatch: lights updated, the random table filled once, then the renderer the
// flags select, on the calling thread or split into threadCount blocks of work per
// phase. The blocks of a phase are shared out among as many threads as the machine runs
// at once (never more than threadCount), each taking the next block when it finishes
// one: a block's result does not depend on the thread that renders it, and with more
// threads than cores the most expensive block would finish alone on one core.

#include <cstdint>

#include "geometry/scene.h"
#include "render/framebuffer.h"
#include "render/subdivision.h"
#include "trace/camera.h"
#include "trace/settings.h"

struct vyxStandardWorkerArgs {
    int32_t firstRow; // the block's index k, also its first image row
    int32_t rowStep;  // the number of blocks (threadCount, clamped)
    const vyxScene* scene;
    const vyxCamera* camera;
    vyxVec3* rows;              // the worker's rows back to back
    vyxRenderSettings settings; // private copy
};

struct vyxAntialiasWorkerArgs {
    const vyxScene* scene;
    const vyxCamera* camera;
    FrameBuffer* image;       // shared output
    const vyxVec3* firstPass; // copy of the first-pass colours, read by every worker
    int32_t firstRow;
    int32_t rowStep;
    vyxRenderSettings settings;
};

struct vyxSubdivisionWorkerArgs {
    vyxVec3 origin;                     // camera position
    vyxVec3 dirTL, dirTR, dirBL, dirBR; // primary directions at the band's corners
    vyxVec3* band;                      // bandWidth x height colours, cleared to 0
    uint32_t bandStride;                // colours from one row of band to the next (>= bandWidth)
    uint32_t bandWidth;                 // a multiple of 8 except in the band at the right edge; 0 = idle
    uint32_t height;
    uint32_t firstRow; // the part of the band this block renders: a multiple of 8,
    uint32_t rowCount; // and its row count (the whole band: 0 and height)
    vyxRenderSettings settings;
    const vyxScene* scene;
};

// What every frame needs before its first ray: each mesh transform's caches and world
// box, the opaque marks of the meshes, the lights' derived fields, the random table.
// The thread that starts frames, between them; vyxRenderFrame calls it.
void vyxPrepareFrame(const vyxScene& scene);

// How many blocks of work a threaded phase is split into: threadCount clamped to 1 .. 64.
int32_t vyxFrameBlockCount(const vyxRenderSettings& settings);

// Band k (0 .. bandCount - 1) of the threaded subdivision renderer's split of camera's
// image into bandCount column bands: fills rays (corner directions, width 0 for a band
// that starts past the right edge, the image's height) and returns its first column.
// The threaded renderer and the tiles of a frame shared among processes use this one
// layout, and so trace the same rays.
int32_t vyxSubdivisionBand(const vyxCamera& camera, int32_t bandCount, int32_t k, vyxBandRays& rays);

// Renders the scene as seen by camera into image (camera.imageWidth x imageHeight).
// Prepares every mesh transform's caches before any worker starts. Any frame size from
// 1 x 1 works; a frame whose size differs from the camera's is left as it is (with a
// message). threadCount is clamped to 1 .. 64.
void vyxRenderFrame(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image, vyxRenderSettings& settings);
void vyxRenderStandardThreaded(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                               const vyxRenderSettings& settings);
void vyxRenderSubdivisionThreaded(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                                  const vyxRenderSettings& settings);

// Worker entry points; each returns 1.
int vyxStandardRowsWorker(vyxStandardWorkerArgs* args);
int vyxAntialiasRowsWorker(vyxAntialiasWorkerArgs* args);
int vyxSubdivisionBandWorker(vyxSubdivisionWorkerArgs* args);
