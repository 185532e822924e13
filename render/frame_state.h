#pragma once
// What a process needs, beside the scene's files, to render tiles of another process's
// frame exactly as it would: the camera, the settings, where each mesh stands, the lights,
// and which pictures are asked for (the frame, or a set of still samples with their
// seeds). Also the message that carries rendered tiles back. Both travel as bytes between
// processes of one build; decoding checks every count, size and range before anything
// is kept, as a corrupted message must not crash or overrun the receiver.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "geometry/scene.h"
#include "trace/camera.h"
#include "trace/light.h"
#include "trace/settings.h"

struct vyxFrameState {
    uint32_t frameId;                  // set by caller: tells this frame's tiles from a late earlier one's
    int32_t work;                      // vyxTileWork
    int32_t firstSample;               // TileSamples: sample index of picture 0
    std::vector<uint32_t> sampleSeeds; // TileSamples: jitter seed per picture (its size is the picture count)
    vyxCamera camera;
    vyxRenderSettings settings;
    std::vector<float> matrices; // 16 per scene mesh, in the scene's order
    std::vector<vyxLight> lights;
};

// The state of scene, camera and settings for a frame (work TileFrame, frame id 0).
vyxFrameState vyxCaptureFrameState(const vyxScene& scene, const vyxCamera& camera, const vyxRenderSettings& settings);

// Gives scene the state's mesh matrices (their caches marked stale) and lights, and camera
// the state's camera. Returns false, changing nothing, with error in words when the state
// does not fit the scene (another mesh or light count, a mesh missing). Main thread of
// the receiver, between frames; call vyxPrepareFrame after it.
bool vyxApplyFrameState(const vyxFrameState& state, vyxScene& scene, vyxCamera& camera, std::string& error);

// The state as bytes, and back. Decoding refuses (false, error in words, state unchanged)
// anything not made by vyxEncodeFrameState of this build: a wrong marker or length, an
// image larger than 16384 x 16384 or 2^28 pixels, settings whose recursion depths or
// sample counts leave the program's range (maxDepth and aaLevels at most 16), more than
// 4096 pictures, 65536 meshes or lights, a light of an unknown kind.
std::string vyxEncodeFrameState(const vyxFrameState& state);
bool vyxDecodeFrameState(const uint8_t* data, size_t size, vyxFrameState& state, std::string& error);

// A batch of rendered tiles: which frame, which tiles, then their colours back to back in
// that order. The receiver checks the tile list against what it asked for and the colour
// count against the tiles' sizes.
struct vyxTileBatchHeader {
    uint32_t frameId;
    std::vector<int32_t> tiles;
};
// The header's bytes; the colours follow them in the message.
std::string vyxEncodeTileBatchHeader(const vyxTileBatchHeader& header);
// Reads the header at the start of data; headerBytes receives its length. False (error in
// words) when the bytes cannot be one, or it names more than maxTiles tiles.
bool vyxDecodeTileBatchHeader(const uint8_t* data, size_t size, size_t maxTiles, vyxTileBatchHeader& header,
                              size_t& headerBytes, std::string& error);
