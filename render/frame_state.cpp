#include "render/frame_state.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "geometry/mesh.h"
#include "geometry/transform.h"
#include "render/tiles.h"
#include "util/bytes.h"

namespace {

const char kStateMarker[4] = {'V', 'Y', 'X', 'S'};
const char kBatchMarker[4] = {'V', 'Y', 'X', 'T'};
constexpr uint32_t kMaxSide = 16384;
constexpr uint64_t kMaxPixels = 1ull << 28;
constexpr uint32_t kMaxPictures = 4096;
constexpr uint32_t kMaxObjects = 65536;
constexpr int32_t kMaxDepth = 16;

// Records are sent as their bytes: both ends run the same build (the processes compare
// builds before anything else), so layout and padding agree.
static_assert(std::is_trivially_copyable<vyxCamera>::value, "camera sent as bytes");
static_assert(std::is_trivially_copyable<vyxRenderSettings>::value, "settings sent as bytes");
static_assert(std::is_trivially_copyable<vyxLight>::value, "lights sent as bytes");

bool settingsInRange(const vyxRenderSettings& s) {
    return s.maxDepth >= 0 && s.maxDepth <= kMaxDepth && s.aaLevels >= 0 && s.aaLevels <= kMaxDepth &&
           s.threadCount >= 1 && s.threadCount <= 64 && !(s.aoSamples > 65536.0f) && !std::isnan(s.aoSamples);
}

} // namespace

vyxFrameState vyxCaptureFrameState(const vyxScene& scene, const vyxCamera& camera, const vyxRenderSettings& settings) {
    vyxFrameState state;
    state.frameId = 0;
    state.work = TileFrame;
    state.firstSample = 0;
    state.camera = camera;
    state.settings = settings;
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        const vyxMesh* mesh = scene.meshes[i];
        const float* m = mesh != nullptr ? mesh->transform.matrix : nullptr;
        for (int k = 0; k < 16; ++k)
            state.matrices.push_back(m != nullptr ? m[k] : (k % 5 == 0 ? 1.0f : 0.0f));
    }
    for (int32_t i = 0; i < scene.lightCount; ++i)
        state.lights.push_back(scene.lights[i] != nullptr ? *scene.lights[i] : vyxZeroLight());
    return state;
}

bool vyxApplyFrameState(const vyxFrameState& state, vyxScene& scene, vyxCamera& camera, std::string& error) {
    if (state.matrices.size() != static_cast<size_t>(scene.meshCount) * 16) {
        error = "the frame has " + std::to_string(state.matrices.size() / 16) + " meshes, the scene " +
                std::to_string(scene.meshCount);
        return false;
    }
    if (state.lights.size() != static_cast<size_t>(scene.lightCount)) {
        error = "the frame has " + std::to_string(state.lights.size()) + " lights, the scene " +
                std::to_string(scene.lightCount);
        return false;
    }
    for (int32_t i = 0; i < scene.meshCount; ++i)
        if (scene.meshes[i] == nullptr) {
            error = "the scene has an empty mesh slot";
            return false;
        }
    for (int32_t i = 0; i < scene.lightCount; ++i)
        if (scene.lights[i] == nullptr) {
            error = "the scene has an empty light slot";
            return false;
        }
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        vyxTransform& transform = scene.meshes[i]->transform;
        const float* m = &state.matrices[static_cast<size_t>(i) * 16];
        if (std::memcmp(transform.matrix, m, sizeof(transform.matrix)) != 0) {
            std::memcpy(transform.matrix, m, sizeof(transform.matrix));
            transform.inverseValid = false;
            transform.normalValid = false;
        }
    }
    for (int32_t i = 0; i < scene.lightCount; ++i)
        *scene.lights[i] = state.lights[static_cast<size_t>(i)];
    camera = state.camera;
    return true;
}

std::string vyxEncodeFrameState(const vyxFrameState& state) {
    std::string out;
    out.append(kStateMarker, sizeof(kStateMarker));
    vyxPutBytes(out, static_cast<uint32_t>(sizeof(vyxCamera)));
    vyxPutBytes(out, static_cast<uint32_t>(sizeof(vyxRenderSettings)));
    vyxPutBytes(out, static_cast<uint32_t>(sizeof(vyxLight)));
    vyxPutBytes(out, state.frameId);
    vyxPutBytes(out, state.work);
    vyxPutBytes(out, state.firstSample);
    vyxPutBytes(out, state.camera);
    vyxPutBytes(out, state.settings);
    vyxPutBytes(out, static_cast<uint32_t>(state.sampleSeeds.size()));
    vyxPutBytes(out, static_cast<uint32_t>(state.matrices.size() / 16));
    vyxPutBytes(out, static_cast<uint32_t>(state.lights.size()));
    out.append(reinterpret_cast<const char*>(state.sampleSeeds.data()), state.sampleSeeds.size() * sizeof(uint32_t));
    out.append(reinterpret_cast<const char*>(state.matrices.data()), state.matrices.size() / 16 * 16 * sizeof(float));
    out.append(reinterpret_cast<const char*>(state.lights.data()), state.lights.size() * sizeof(vyxLight));
    return out;
}

bool vyxDecodeFrameState(const uint8_t* data, size_t size, vyxFrameState& state, std::string& error) {
    vyxByteReader in(data, size);
    char marker[4];
    uint32_t cameraSize = 0, settingsSize = 0, lightSize = 0;
    vyxFrameState s;
    if (!in.get(marker) || std::memcmp(marker, kStateMarker, sizeof(marker)) != 0 || !in.get(cameraSize) ||
        !in.get(settingsSize) || !in.get(lightSize)) {
        error = "not a frame state";
        return false;
    }
    if (cameraSize != sizeof(vyxCamera) || settingsSize != sizeof(vyxRenderSettings) || lightSize != sizeof(vyxLight)) {
        error = "a frame state of another build";
        return false;
    }
    uint32_t seedCount = 0, meshCount = 0, lightCount = 0;
    if (!in.get(s.frameId) || !in.get(s.work) || !in.get(s.firstSample) || !in.get(s.camera) || !in.get(s.settings) ||
        !in.get(seedCount) || !in.get(meshCount) || !in.get(lightCount)) {
        error = "frame state cut short";
        return false;
    }
    const uint32_t width = s.camera.imageWidth, height = s.camera.imageHeight;
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        static_cast<uint64_t>(width) * height > kMaxPixels) {
        error = "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
        return false;
    }
    if (!settingsInRange(s.settings)) {
        error = "settings out of range";
        return false;
    }
    const bool samples = s.work == TileSamples;
    if ((s.work != TileFrame && !samples) || (samples && (seedCount < 1 || seedCount > kMaxPictures)) ||
        (!samples && seedCount != 0) || s.firstSample < 0 || s.firstSample > (1 << 30)) {
        error = "unknown work or picture count";
        return false;
    }
    if (meshCount > kMaxObjects || lightCount > kMaxObjects) {
        error = std::to_string(meshCount) + " meshes and " + std::to_string(lightCount) + " lights";
        return false;
    }
    if (!in.array(seedCount, s.sampleSeeds) || !in.array(meshCount * 16, s.matrices) ||
        !in.array(lightCount, s.lights) || in.left != 0) {
        error = "frame state of the wrong length";
        return false;
    }
    for (const vyxLight& light : s.lights)
        if (light.kind > LightDisc || light.falloff > FalloffRational) {
            error = "a light of an unknown kind";
            return false;
        }
    state = std::move(s);
    return true;
}

std::string vyxEncodeTileBatchHeader(const vyxTileBatchHeader& header) {
    std::string out;
    out.append(kBatchMarker, sizeof(kBatchMarker));
    vyxPutBytes(out, header.frameId);
    vyxPutBytes(out, static_cast<uint32_t>(header.tiles.size()));
    out.append(reinterpret_cast<const char*>(header.tiles.data()), header.tiles.size() * sizeof(int32_t));
    return out;
}

bool vyxDecodeTileBatchHeader(const uint8_t* data, size_t size, size_t maxTiles, vyxTileBatchHeader& header,
                              size_t& headerBytes, std::string& error) {
    vyxByteReader in(data, size);
    char marker[4];
    uint32_t count = 0;
    vyxTileBatchHeader h;
    if (!in.get(marker) || std::memcmp(marker, kBatchMarker, sizeof(marker)) != 0 || !in.get(h.frameId) ||
        !in.get(count)) {
        error = "not a tile batch";
        return false;
    }
    if (count < 1 || count > maxTiles || !in.array(count, h.tiles)) {
        error = "a batch of " + std::to_string(count) + " tiles";
        return false;
    }
    headerBytes = size - in.left;
    header = std::move(h);
    return true;
}
