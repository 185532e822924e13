// Fuzzes the decoding of what the ranks of a job send each other (the first byte picks
// the message): the file bundle of a scene, a frame's state, a batch of tiles. A rank
// checks all of it before use, so a damaged message may be refused but never read out
// of bounds; a state that decodes must plan tiles that lie inside its image.
#include <cstdlib>

#include "render/frame_state.h"
#include "render/tiles.h"
#include "util/file_bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t kind = data[0] % 3;
    ++data;
    --size;
    std::string error;
    if (kind == 0) {
        vyxFileBundle bundle;
        const bool decoded = vyxDecodeFileBundle(data, size, bundle, error);
        if (decoded == !error.empty() && decoded)
            std::abort();
        if (!decoded && !bundle.entries.empty())
            std::abort();
    } else if (kind == 1) {
        vyxFrameState state;
        if (!vyxDecodeFrameState(data, size, state, error))
            return 0;
        const int32_t pictures = state.work == TileSamples ? static_cast<int32_t>(state.sampleSeeds.size()) : 1;
        vyxTilePlan plan = vyxPlanTiles(state.camera, state.settings, state.work, pictures);
        for (int32_t i = 0; i < plan.tileCount && i < 4096; ++i) {
            vyxTile tile;
            if (!vyxTileOf(plan, state.camera, i, tile) || tile.x < 0 || tile.y < 0 || tile.sample < 0 ||
                tile.sample >= pictures || tile.x + tile.width > static_cast<int32_t>(state.camera.imageWidth) ||
                tile.y + tile.height > static_cast<int32_t>(state.camera.imageHeight))
                std::abort();
        }
    } else {
        vyxTileBatchHeader header;
        size_t at = 0;
        if (vyxDecodeTileBatchHeader(data, size, 64, header, at, error) &&
            (at > size || header.tiles.empty() || header.tiles.size() > 64))
            std::abort();
    }
    return 0;
}
