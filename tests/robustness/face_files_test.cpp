// Sky face files of every wrong size and content, read alone and as the sample scene's
// six faces: files of any size but one face leave their face empty with a message, and
// non-finite texels are replaced, so they neither crash the renderers nor poison the
// exposure or the presented bytes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "SDL_ttf.h"
#include "app/sample_scene.h"
#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"
#include "trace/texture.h"

namespace {

const int faceTexels = 256 * 256;

std::string floatsAsBytes(const std::vector<float>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

// A face whose every float is `value`.
std::string uniformFace(float value) {
    return floatsAsBytes(std::vector<float>(static_cast<size_t>(faceTexels) * 3, value));
}

} // namespace

// Any size but one face is refused with the same message; a face of absurd texels is
// read with them replaced (NaN and negative by 0, the rest limited to 65504) and one
// warning giving their count.
TEST(BadFaceFiles, WrongSizesAreRefusedAbsurdTexelsReplaced) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const size_t floats = static_cast<size_t>(faceTexels) * 3;
    std::vector<float> counting(floats);
    for (size_t i = 0; i < floats; ++i)
        counting[i] = static_cast<float>(i) * 0.25f; // all distinct, exact and below 65504
    std::vector<float> absurd = counting;
    const float bad[] = {nan, inf, -inf, -1.0f, 1e30f, 65505.0f};
    const float replacement[] = {0.0f, 65504.0f, 0.0f, 0.0f, 65504.0f, 65504.0f};
    for (size_t k = 0; k < 6; ++k)
        absurd[k * 1000] = bad[k];
    absurd[7] = 1e-40f; // a denormal is in range and kept
    struct Case {
        const char* name;
        std::string bytes;
        const char* message; // "" = none
    };
    const std::string face = floatsAsBytes(counting);
    const Case cases[] = {
        {"one face", face, ""},
        {"a 4-byte header", "HDR1" + face, "holds 786436 bytes, a face needs 786432; face ignored"},
        {"ten megabytes", face + std::string((10u << 20) - face.size(), '\x7f'),
         "holds 10485760 bytes, a face needs 786432; face ignored"},
        {"absurd texels", floatsAsBytes(absurd), "6 texel values not finite or outside [0, 65504]"},
    };
    ScratchWorkDir dir;
    for (const Case& c : cases) {
        writeFile("face.float", c.bytes);
        float* texels = nullptr;
        CapturedOutput output =
            capture([&] { texels = vyxReadFloatFace(std::fopen("face.float", "rb"), "face.float"); });
        bool refused = std::string(c.message).find("ignored") != std::string::npos;
        EXPECT_EQ(texels == nullptr, refused) << c.name;
        if (*c.message) {
            EXPECT_NE(output.err.find(std::string("face.float") + (refused ? " " : ": ") + c.message),
                      std::string::npos)
                << c.name << ": " << output.err;
            EXPECT_EQ(std::count(output.err.begin(), output.err.end(), '\n'), 1) << c.name << ": " << output.err;
        } else {
            EXPECT_EQ(output.err, "") << c.name;
        }
        if (texels == nullptr)
            continue;
        // Stored top row first: file row r is memory row 255 - r.
        const bool isAbsurd = std::string(c.name) == "absurd texels";
        for (size_t i = 0; i < floats; ++i) {
            size_t row = i / 768, column = i % 768;
            float want = counting[(255 - row) * 768 + column];
            size_t source = (255 - row) * 768 + column;
            if (isAbsurd && source % 1000 == 0 && source / 1000 < 6)
                want = replacement[source / 1000];
            if (isAbsurd && source == 7)
                want = 1e-40f;
            ASSERT_EQ(texels[i], want) << c.name << " value " << i;
        }
        std::free(texels);
    }
}

TEST(BadFaceFiles, SceneWithBrokenAndNonFiniteFacesRenders) {
    ScratchWorkDir dir;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // +x: 0 bytes; -x: one byte short of a face; +y: NaN; -y: infinite;
    // +z: -inf and huge values in turn; -z: a folder.
    writeFile("xpos.float", "");
    writeFile("xneg.float", uniformFace(0.5f).substr(1));
    writeFile("ypos.float", uniformFace(nan));
    writeFile("yneg.float", uniformFace(inf));
    {
        std::vector<float> mixed(static_cast<size_t>(faceTexels) * 3);
        for (size_t i = 0; i < mixed.size(); ++i)
            mixed[i] = i % 3 == 0 ? -inf : i % 3 == 1 ? 3e38f : -3e38f;
        writeFile("zpos.float", floatsAsBytes(mixed));
    }
    ASSERT_EQ(mkdir("zneg.float", 0700), 0);

    TTF_Init();
    GSSampleScene scene;
    CapturedOutput output = capture([&] { scene.Load(); });
    const char* names[6] = {"xpos.float", "xneg.float", "ypos.float", "yneg.float", "zpos.float", "zneg.float"};
    const bool present[6] = {false, false, true, true, true, false};
    for (int face = 0; face < 6; ++face) {
        EXPECT_EQ(scene.cubeFaces.faces[face] != nullptr, present[face]) << names[face];
        if (!present[face]) {
            EXPECT_NE(output.err.find(names[face]), std::string::npos) << names[face] << ": " << output.err;
        }
    }

    int32_t running = 1;
    vyxRenderSettings settings = startupSettings(3);
    scene.Init(makeContext(nullptr, 40, 30, &running, &settings));
    ASSERT_NE(scene.presentPixels, nullptr);
    // Every camera mode looks at some sky; both renderers, occlusion on.
    for (int camera = 0; camera < 4; ++camera)
        for (int preset : {0, 3, 4, 5}) {
            scene.cameraIndex = camera;
            scene.presetIndex = preset;
            scene.aoToggle = true;
            scene.animationTime = 100.0f * static_cast<float>(camera);
            scene.Animate();
            vyxUpdateCamera(scene.camera);
            FrameBuffer frame = vyxAllocFrame(40, 30);
            scene.TraceFrame(frame);
            scene.ProcessFrame(frame, 2000.0f * static_cast<float>(camera * 4 + preset));
            vyxFreeFrame(frame);
            EXPECT_TRUE(std::isfinite(scene.exposure.current))
                << "camera " << camera << " preset " << preset << ": exposure " << scene.exposure.current;
        }
    scene.Unload();
    TTF_Quit();
}
