#include "render/frame_state.h"

#include <gtest/gtest.h>

#include <cstring>

#include "render/frame.h"
#include "render/tiles.h"
#include "tests/render/render_scene.h"

namespace {

bool decodes(const std::string& bytes, vyxFrameState& state, std::string& error) {
    return vyxDecodeFrameState(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), state, error);
}

// The lit test scene with its second mesh moved and its light turned, as a frame moves
// things.
void buildMovedScene(TestScene& test, float turn) {
    buildLitScene(test);
    vyxTransformRotate(test.scene.meshes[1]->transform, turn, 0.0f, 0.0f, 1.0f);
    test.scene.lights[0]->direction = {-0.3f + turn, -0.2f, -1.0f};
}

} // namespace

// A frame's state carried into another copy of the scene (meshes where the first has
// them, its lights and camera) renders the same picture there; it survives its bytes.
TEST(FrameState, CarriesAFrameToAnotherCopyOfTheScene) {
    TestScene here, there;
    buildMovedScene(here, 0.4f);
    buildMovedScene(there, 0.0f);
    vyxCamera camera = makeCamera(48, 36, {1.0f, 2.0f, 9.0f});
    vyxRenderSettings settings = testSettings(RenderStandard | RenderThreaded | RenderAntialias);
    settings.jitterSeed = 99;
    vyxFrameState state = vyxCaptureFrameState(here.scene, camera, settings);
    state.frameId = 17;
    const std::string bytes = vyxEncodeFrameState(state);

    vyxFrameState received;
    std::string error;
    ASSERT_TRUE(decodes(bytes, received, error)) << error;
    EXPECT_EQ(received.frameId, 17u);
    vyxCamera cameraThere = makeCamera(8, 8);
    ASSERT_TRUE(vyxApplyFrameState(received, there.scene, cameraThere, error)) << error;

    FrameBuffer a = vyxAllocFrame(48, 36), b = vyxAllocFrame(48, 36);
    vyxRenderFrame(here.scene, camera, a, settings);
    vyxRenderFrame(there.scene, cameraThere, b, received.settings);
    EXPECT_EQ(std::memcmp(a.pixels, b.pixels, 48 * 36 * sizeof(vyxVec3)), 0);
    vyxFreeFrame(a);
    vyxFreeFrame(b);

    // A scene of another shape takes nothing.
    TestScene smaller;
    buildLitScene(smaller);
    smaller.scene.meshCount = 2;
    EXPECT_FALSE(vyxApplyFrameState(received, smaller.scene, cameraThere, error));
    EXPECT_NE(error.find("meshes"), std::string::npos) << error;
}

// Every prefix of a state and every value out of the program's range is refused.
TEST(FrameState, DecodingRefusesDamagedStates) {
    TestScene test;
    buildLitScene(test);
    vyxCamera camera = makeCamera(32, 24);
    vyxFrameState state = vyxCaptureFrameState(test.scene, camera, testSettings(RenderSubdivision));
    state.work = TileSamples;
    state.sampleSeeds = {1, 2, 3};
    const std::string bytes = vyxEncodeFrameState(state);
    vyxFrameState decoded;
    std::string error;
    ASSERT_TRUE(decodes(bytes, decoded, error)) << error;
    EXPECT_EQ(decoded.sampleSeeds, state.sampleSeeds);
    EXPECT_EQ(decoded.matrices, state.matrices);
    for (size_t size = 0; size < bytes.size(); ++size)
        EXPECT_FALSE(decodes(bytes.substr(0, size), decoded, error)) << "prefix of " << size << " bytes";
    EXPECT_FALSE(decodes(bytes + '\0', decoded, error));

    struct Change {
        const char* what;
        void (*apply)(vyxFrameState&);
    };
    const Change changes[] = {
        {"a deep recursion", [](vyxFrameState& s) { s.settings.maxDepth = 1000000; }},
        {"deep antialiasing", [](vyxFrameState& s) { s.settings.aaLevels = 40; }},
        {"no blocks", [](vyxFrameState& s) { s.settings.threadCount = 0; }},
        {"an empty image", [](vyxFrameState& s) { s.camera.imageWidth = 0; }},
        {"a huge image", [](vyxFrameState& s) { s.camera.imageWidth = 16385; }},
        {"an unknown work", [](vyxFrameState& s) { s.work = 9; }},
        {"samples without seeds", [](vyxFrameState& s) { s.sampleSeeds.clear(); }},
        {"an unknown light", [](vyxFrameState& s) { s.lights[0].kind = 77; }},
    };
    for (const Change& change : changes) {
        vyxFrameState bad = state;
        change.apply(bad);
        EXPECT_FALSE(decodes(vyxEncodeFrameState(bad), decoded, error)) << change.what;
    }
}

// A tile batch's header: round trip, and no more tiles than were asked for.
TEST(FrameState, TileBatchHeaders) {
    vyxTileBatchHeader header{5, {3, 1, 4}};
    const std::string bytes = vyxEncodeTileBatchHeader(header) + "colours";
    vyxTileBatchHeader decoded;
    size_t at = 0;
    std::string error;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    ASSERT_TRUE(vyxDecodeTileBatchHeader(data, bytes.size(), 3, decoded, at, error)) << error;
    EXPECT_EQ(decoded.frameId, 5u);
    EXPECT_EQ(decoded.tiles, header.tiles);
    EXPECT_EQ(bytes.substr(at), "colours");
    EXPECT_FALSE(vyxDecodeTileBatchHeader(data, bytes.size(), 2, decoded, at, error));
    for (size_t size = 0; size < bytes.size() - 7; ++size)
        EXPECT_FALSE(vyxDecodeTileBatchHeader(data, size, 3, decoded, at, error)) << size;
}
