#include "render/tiles.h"

#include <cstdlib>
#include <cstring>

#include "render/accumulate.h"
#include "render/frame.h"
#include "render/standard.h"
#include "render/subdivision.h"
#include "trace/raystats.h"
#include "util/assert.h"

namespace {

enum TileRenderer : int32_t {
    RendererNone,
    RendererStandard,         // rows, first pass only
    RendererStandardAA,       // rows, first pass of one row more, then antialiasing
    RendererSubdivisionBands, // the threaded renderer's bands, in parts
    RendererSubdivisionWhole, // the whole width as one band of camera rays, in parts
};

// Rows of a standard tile: small enough that a frame makes dozens of tiles, large enough
// that the row a tile with antialiasing traces twice costs little.
constexpr int32_t kStandardRows = 16;
// Rows of a subdivision tile: whole strips of 8 x 8 blocks.
constexpr int32_t kSubdivisionRows = 64;
constexpr int32_t kMaxSamples = 4096;

int32_t ceilDiv(int32_t a, int32_t b) { return (a + b - 1) / b; }

} // namespace

vyxTilePlan vyxPlanTiles(const vyxCamera& camera, const vyxRenderSettings& settings, int32_t work,
                         int32_t sampleCount) {
    vyxTilePlan plan;
    std::memset(&plan, 0, sizeof(plan));
    plan.work = work == TileSamples ? TileSamples : TileFrame;
    plan.width = static_cast<int32_t>(camera.imageWidth);
    plan.height = static_cast<int32_t>(camera.imageHeight);
    plan.sampleCount = plan.work == TileSamples ? sampleCount : 1;
    plan.bandCount = 1;
    if (plan.width <= 0 || plan.height <= 0 || plan.sampleCount < 1 || plan.sampleCount > kMaxSamples)
        return plan;
    const int32_t flags = plan.work == TileSamples ? static_cast<int32_t>(RenderStandard) : settings.flags;
    if (flags & RenderStandard) {
        plan.renderer = (flags & RenderAntialias) && plan.height > 1 ? RendererStandardAA : RendererStandard;
        plan.rowsPerTile = kStandardRows;
    } else if (flags & RenderSubdivision) {
        const bool threaded = (flags & RenderThreaded) != 0;
        plan.renderer = threaded ? RendererSubdivisionBands : RendererSubdivisionWhole;
        plan.bandCount = threaded ? vyxFrameBlockCount(settings) : 1;
        plan.rowsPerTile = kSubdivisionRows;
    } else {
        return plan;
    }
    plan.rowTiles = ceilDiv(plan.height, plan.rowsPerTile);
    plan.tileCount = plan.sampleCount * plan.bandCount * plan.rowTiles;
    return plan;
}

bool vyxTileOf(const vyxTilePlan& plan, const vyxCamera& camera, int32_t index, vyxTile& tile) {
    if (index < 0 || index >= plan.tileCount)
        return false;
    const int32_t perSample = plan.bandCount * plan.rowTiles;
    const int32_t band = index % perSample / plan.rowTiles;
    const int32_t row = index % plan.rowTiles;
    vyxTile t;
    t.sample = index / perSample;
    t.y = row * plan.rowsPerTile;
    t.height = plan.height - t.y < plan.rowsPerTile ? plan.height - t.y : plan.rowsPerTile;
    t.x = 0;
    t.width = plan.width;
    if (plan.renderer == RendererSubdivisionBands) {
        vyxBandRays rays;
        t.x = vyxSubdivisionBand(camera, plan.bandCount, band, rays);
        t.width = static_cast<int32_t>(rays.width);
    }
    tile = t;
    return true;
}

// Rows [tile.y, tile.y + tile.height) of the standard renderer into out; with the
// antialiasing pass, the first pass of the row below the tile is traced too (when there
// is one), as the pass reads it.
static bool renderStandardRows(const vyxScene& scene, const vyxCamera& camera, const vyxRenderSettings& settings,
                               const vyxTile& tile, bool antialias, vyxVec3* out) {
    const size_t width = static_cast<size_t>(tile.width);
    if (!antialias) {
        for (int32_t r = 0; r < tile.height; ++r)
            vyxShadeRow(scene, camera, tile.y + r, out + r * width, settings);
        return true;
    }
    const int32_t imageHeight = static_cast<int32_t>(camera.imageHeight);
    const int32_t firstPassRows = tile.y + tile.height < imageHeight ? tile.height + 1 : tile.height;
    auto* firstPass = static_cast<vyxVec3*>(std::malloc(firstPassRows * width * sizeof(vyxVec3)));
    if (firstPass == nullptr)
        return false;
    for (int32_t r = 0; r < firstPassRows; ++r)
        vyxShadeRow(scene, camera, tile.y + r, firstPass + r * width, settings);
    // The last column and the image's last row keep their first-pass colours.
    std::memcpy(out, firstPass, tile.height * width * sizeof(vyxVec3));
    for (int32_t r = 0; r < tile.height && tile.y + r + 1 < imageHeight; ++r)
        vyxAntialiasRowFrom(scene, camera, tile.y + r, firstPass + r * width, firstPass + (r + 1) * width,
                            out + r * width, settings);
    std::free(firstPass);
    return true;
}

bool vyxRenderTile(const vyxScene& scene, const vyxCamera& camera, const vyxRenderSettings& settings,
                   const vyxTilePlan& plan, int32_t index, vyxVec3* out) {
    vyxTile tile;
    if (!vyxTileOf(plan, camera, index, tile))
        return false;
    VYX_ASSERT_EQ(static_cast<uint32_t>(plan.width), camera.imageWidth);
    VYX_ASSERT_EQ(static_cast<uint32_t>(plan.height), camera.imageHeight);
    // A band that starts past the image's right edge has nothing to render.
    if (tile.width <= 0)
        return true;
    bool rendered = true;
    switch (plan.renderer) {
    case RendererStandard:
    case RendererStandardAA:
        rendered = renderStandardRows(scene, camera, settings, tile, plan.renderer == RendererStandardAA, out);
        break;
    case RendererSubdivisionBands:
    case RendererSubdivisionWhole: {
        // Pixels no block writes are black, as in the renderers, which clear the image.
        std::memset(out, 0, static_cast<size_t>(tile.width) * tile.height * sizeof(vyxVec3));
        vyxBandRays rays;
        if (plan.renderer == RendererSubdivisionBands) {
            const int32_t band = index % (plan.bandCount * plan.rowTiles) / plan.rowTiles;
            vyxSubdivisionBand(camera, plan.bandCount, band, rays);
        } else {
            std::memset(&rays, 0, sizeof(rays));
            rays.camera = &camera;
            rays.column = 0;
        }
        rendered =
            vyxRenderBandRows(scene, rays, tile.width, plan.height, tile.y, tile.height, out, tile.width, settings);
        break;
    }
    default:
        break;
    }
    vyxRayStatsFlushThread();
    return rendered;
}

void vyxPlaceTile(FrameBuffer& image, const vyxTile& tile, const vyxVec3* pixels) {
    VYX_ASSERT(tile.x >= 0 && tile.y >= 0 && tile.x + tile.width <= image.width &&
               tile.y + tile.height <= image.height);
    if (image.pixels == nullptr || tile.width <= 0)
        return;
    for (int32_t r = 0; r < tile.height; ++r)
        std::memcpy(image.pixels + static_cast<size_t>(tile.y + r) * image.width + tile.x,
                    pixels + static_cast<size_t>(r) * tile.width, static_cast<size_t>(tile.width) * sizeof(vyxVec3));
}
