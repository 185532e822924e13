#pragma once
// A frame, or a set of still samples, cut into tiles that can be rendered apart (by other
// threads or other processes) and put together into exactly the picture vyxRenderFrame
// and vyxRenderStillSample make. Each tile is a rectangle of one image; it is traced on
// one thread.
//
// - Standard renderer: tiles of whole rows. A tile with the antialiasing pass traces the
//   first pass of one more row below it (the pass reads the row below each quad), which
//   gives the same colours as the whole frame's first pass.
// - Subdivision renderer, threaded: the threaded renderer's column bands (vyxSubdivisionBand)
//   cut into parts of whole block strips; without RenderThreaded, the whole width as one
//   band of camera rays, cut the same way.
// - Still samples: the standard first pass of each sample, in tiles of rows.

#include <cstdint>

#include "geometry/scene.h"
#include "geometry/vec3.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/settings.h"

enum vyxTileWork : int32_t {
    TileFrame = 0,   // the picture vyxRenderFrame makes with the settings' flags
    TileSamples = 1, // sampleCount pictures of vyxRenderStillSample, one per sample
};

struct vyxTilePlan {
    int32_t work;  // set by vyxPlanTiles: a vyxTileWork
    int32_t width; // the camera's image size
    int32_t height;
    int32_t sampleCount; // pictures the tiles make up: 1 for TileFrame
    int32_t renderer;    // derived: how tiles are traced (see tiles.cpp)
    int32_t rowsPerTile; // derived
    int32_t bandCount;   // derived: column bands (1 but for the threaded subdivision renderer)
    int32_t rowTiles;    // derived: tiles down one band
    int32_t tileCount;   // derived: 0 when nothing is rendered (no renderer flag, empty image)
};

// One tile: a rectangle of picture `sample` (0 .. sampleCount - 1).
struct vyxTile {
    int32_t x, y, width, height;
    int32_t sample;
};

// Plans the tiles of camera's image for settings (TileFrame: its flags pick the renderer;
// TileSamples: sampleCount still samples, 1 .. 4096). Never fails: a plan that renders
// nothing has tileCount 0.
vyxTilePlan vyxPlanTiles(const vyxCamera& camera, const vyxRenderSettings& settings, int32_t work, int32_t sampleCount);

// Tile index (0 .. plan.tileCount - 1) of plan; false, tile untouched, for any other index.
bool vyxTileOf(const vyxTilePlan& plan, const vyxCamera& camera, int32_t index, vyxTile& tile);

// Renders tile index of plan into out (tile.width x tile.height colours, row by row) on
// the calling thread. settings: the frame's for TileFrame, the tile's sample's
// (vyxStillSampleSettings, render/accumulate.h) for TileSamples. The scene must be prepared (vyxPrepareFrame).
// Returns false, out untouched, for an index outside the plan or when memory runs out.
// Any thread; tiles may be rendered at once on many threads.
bool vyxRenderTile(const vyxScene& scene, const vyxCamera& camera, const vyxRenderSettings& settings,
                   const vyxTilePlan& plan, int32_t index, vyxVec3* out);

// Copies a tile's colours into image (which must have the plan's size).
void vyxPlaceTile(FrameBuffer& image, const vyxTile& tile, const vyxVec3* pixels);
