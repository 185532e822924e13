// Sky face files of every wrong size and content, read alone and as the sample scene's
// six faces: short files leave their face empty with a message, long ones read their
// first face's worth, and non-finite texels neither crash the renderers nor poison the
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
#include "robustness_util.h"
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

TEST(BadFaceFiles, TenMegabyteFileReadsItsFirstFace) {
    ScopedDir dir;
    // Every float of the first face is its own index; the rest of the 10 MB is noise.
    std::vector<float> values(static_cast<size_t>(10u << 20) / sizeof(float));
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = i < static_cast<size_t>(faceTexels) * 3 ? static_cast<float>(i) : -1e30f;
    writeFile("big.float", floatsAsBytes(values));
    float* texels = nullptr;
    CapturedOutput output = capture([&] { texels = vyxReadFloatFace(std::fopen("big.float", "rb"), "big.float"); });
    ASSERT_NE(texels, nullptr) << output.err;
    // The rows may be reordered, the values are the first face's, each once.
    std::vector<float> got(texels, texels + faceTexels * 3);
    std::sort(got.begin(), got.end());
    for (int i = 0; i < faceTexels * 3; ++i)
        ASSERT_EQ(got[static_cast<size_t>(i)], static_cast<float>(i)) << "value " << i;
    std::free(texels);
}

TEST(BadFaceFiles, SceneWithBrokenAndNonFiniteFacesRenders) {
    ScopedDir dir;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // +x: 0 bytes; -x: one byte short of a face; +y: 10 MB of NaN; -y: infinite;
    // +z: -inf and huge values in turn; -z: a folder.
    writeFile("xpos.float", "");
    writeFile("xneg.float", uniformFace(0.5f).substr(1));
    {
        std::string big = uniformFace(nan);
        while (big.size() < (10u << 20))
            big += big.substr(0, std::min(big.size(), (10u << 20) - big.size()));
        writeFile("ypos.float", big);
    }
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
    vyxRenderSettings settings = vyxDefaultRenderSettings();
    vyxApplyStartupSettings(settings);
    settings.threadCount = 3;
    AppContext context{};
    context.windowWidth = context.renderWidth = 40;
    context.windowHeight = context.renderHeight = 30;
    context.running = &running;
    context.settings = &settings;
    scene.Init(context);
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
