// Image files the texture loader may meet beyond the app tests' plain cases (sizes are
// powers of two, so the texels come out as decoded): a truncated JPEG, a PNG named .jpg, palettized, 16-bit, greyscale
// and grey-with-alpha PNGs built byte by byte, 1 x 1 images; then the sample scene with every one of them as a model
// texture. Each either decodes to the right texels or leaves the texture empty with a message naming the file; the
// scene loads and renders either way.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SDL_ttf.h"
#include "app/image.h"
#include "app/sample_scene.h"
#include "stb_image_write.h"
#include "tests/robustness/robustness_util.h"
#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"

namespace {

// PNG writing by hand: chunks with their CRC, and the image data as zlib with stored
// (uncompressed) deflate blocks, so any bit depth and colour type can be written.
uint32_t crc32(const uint8_t* bytes, size_t size, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((v >> shift) & 0xff);
}

void chunk(std::string& png, const char type[4], const std::string& data) {
    putBig32(png, static_cast<uint32_t>(data.size()));
    std::string typed = std::string(type, 4) + data;
    png += typed;
    putBig32(png, crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
}

std::string storedZlib(const std::string& raw) {
    std::string z = "\x78\x01";
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(raw.size() - at, 65535);
        bool last = at + n == raw.size();
        z += static_cast<char>(last ? 1 : 0);
        z += static_cast<char>(n & 0xff);
        z += static_cast<char>(n >> 8);
        z += static_cast<char>(~n & 0xff);
        z += static_cast<char>((~n >> 8) & 0xff);
        z += raw.substr(at, n);
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    putBig32(z, (b << 16) | a);
    return z;
}

// rows: the filtered scanlines' bytes without the filter byte (filter 0 is added).
std::string handMadePng(int width, int height, int bitDepth, int colourType, const std::vector<std::string>& rows,
                        const std::string& palette = "", const std::string& transparency = "") {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    putBig32(header, static_cast<uint32_t>(width));
    putBig32(header, static_cast<uint32_t>(height));
    header += static_cast<char>(bitDepth);
    header += static_cast<char>(colourType);
    header += std::string(3, '\0'); // deflate, adaptive filtering, no interlace
    chunk(png, "IHDR", header);
    if (!palette.empty())
        chunk(png, "PLTE", palette);
    if (!transparency.empty())
        chunk(png, "tRNS", transparency);
    std::string raw;
    for (const std::string& row : rows)
        raw += '\0' + row;
    chunk(png, "IDAT", storedZlib(raw));
    chunk(png, "IEND", "");
    return png;
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

struct Expected {
    const char* name;
    std::string file;
    int width, height;
    std::vector<uint8_t> rgba; // top row first; empty = must not decode
    int tolerance;             // per channel (lossy formats)
};

// A 1 x 1 JPEG and a 16 x 16 one (flat 8 x 8 blocks) from the writer.
std::string jpeg(int w, int h, const std::vector<uint8_t>& rgb) {
    std::string out;
    stbi_write_jpg_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
        },
        &out, w, h, 3, rgb.data(), 95);
    return out;
}

std::string pngOf(int w, int h, int channels, const std::vector<uint8_t>& pixels) {
    std::string out;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
        },
        &out, w, h, channels, pixels.data(), w * channels);
    return out;
}

std::vector<Expected> imageCases() {
    std::vector<Expected> cases;
    // Palettized, 8 bits: three colours, the second half transparent through tRNS.
    cases.push_back({"palette8.png",
                     handMadePng(4, 2, 8, 3, {bytes({0, 1, 2, 1}), bytes({2, 2, 0, 0})},
                                 bytes({255, 0, 0, 0, 255, 0, 10, 20, 30}), bytes({255, 128})),
                     4,
                     2,
                     {255, 0,  0,  255, 0,  255, 0,  128, 10,  20, 30, 255, 0,   255, 0, 128,
                      10,  20, 30, 255, 10, 20,  30, 255, 255, 0,  0,  255, 255, 0,   0, 255},
                     0});
    // Palettized, 2 bits per index: four texels packed in one byte.
    cases.push_back(
        {"palette2.png",
         handMadePng(4, 1, 2, 3, {bytes({0x1B})}, bytes({0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255})),
         4,
         1,
         {0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 255, 255, 255, 255, 255},
         0});
    // 16-bit RGB: the high bytes are the colour.
    cases.push_back(
        {"rgb16.png",
         handMadePng(2, 1, 16, 2, {bytes({0x12, 0x34, 0xAB, 0xCD, 0xFF, 0xFF, 0x00, 0x01, 0x80, 0x00, 0x7F, 0xFF})}),
         2,
         1,
         {0x12, 0xAB, 0xFF, 255, 0x00, 0x80, 0x7F, 255},
         1});
    // 16-bit RGBA and 16-bit grey with alpha.
    cases.push_back({"rgba16.png",
                     handMadePng(1, 1, 16, 6, {bytes({0xC0, 0, 0x40, 0, 0x20, 0, 0x80, 0})}),
                     1,
                     1,
                     {0xC0, 0x40, 0x20, 0x80},
                     1});
    cases.push_back({"greyalpha16.png",
                     handMadePng(2, 1, 16, 4, {bytes({0x33, 0x00, 0xFF, 0xFF, 0xCC, 0x00, 0x40, 0x00})}),
                     2,
                     1,
                     {0x33, 0x33, 0x33, 0xFF, 0xCC, 0xCC, 0xCC, 0x40},
                     1});
    // Greyscale 16-bit, 8-bit, 1-bit and grey with alpha 8-bit.
    cases.push_back({"grey16.png",
                     handMadePng(2, 1, 16, 0, {bytes({0x10, 0x00, 0xEF, 0xFF})}),
                     2,
                     1,
                     {0x10, 0x10, 0x10, 255, 0xEF, 0xEF, 0xEF, 255},
                     1});
    cases.push_back({"grey8.png",
                     handMadePng(4, 1, 8, 0, {bytes({0, 100, 255, 50})}),
                     4,
                     1,
                     {0, 0, 0, 255, 100, 100, 100, 255, 255, 255, 255, 255, 50, 50, 50, 255},
                     0});
    cases.push_back({"grey1.png",
                     handMadePng(8, 1, 1, 0, {bytes({0xA5})}),
                     8,
                     1,
                     {255, 255, 255, 255, 0,   0,   0,   255, 255, 255, 255, 255, 0,   0,   0,   255,
                      0,   0,   0,   255, 255, 255, 255, 255, 0,   0,   0,   255, 255, 255, 255, 255},
                     0});
    cases.push_back({"greyalpha8.png",
                     handMadePng(2, 1, 8, 4, {bytes({200, 50, 10, 255})}),
                     2,
                     1,
                     {200, 200, 200, 50, 10, 10, 10, 255},
                     0});
    // 1 x 1 images of either format, and a PNG under a .jpg name (decoded by content).
    cases.push_back({"one.png", pngOf(1, 1, 3, {7, 8, 9}), 1, 1, {7, 8, 9, 255}, 0});
    cases.push_back({"one.jpg", jpeg(1, 1, {200, 40, 90}), 1, 1, {200, 40, 90, 255}, 12});
    cases.push_back({"png-named.jpg", pngOf(2, 1, 4, {1, 2, 3, 4, 5, 6, 7, 8}), 2, 1, {1, 2, 3, 4, 5, 6, 7, 8}, 0});
    // Broken: the JPEG's second half missing, a palettized PNG without its palette, a
    // PNG whose index exceeds its palette, a PNG of impossible size.
    std::vector<uint8_t> flat(16 * 16 * 3, 90);
    std::string whole = jpeg(16, 16, flat);
    cases.push_back({"truncated.jpg", whole.substr(0, whole.size() / 2), 0, 0, {}, 0});
    cases.push_back({"truncated-header.jpg", whole.substr(0, 20), 0, 0, {}, 0});
    cases.push_back({"no-palette.png", handMadePng(2, 1, 8, 3, {bytes({0, 1})}), 0, 0, {}, 0});
    cases.push_back({"zero-width.png", handMadePng(0, 1, 8, 0, {bytes({})}), 0, 0, {}, 0});
    cases.push_back({"bad-depth.png", handMadePng(1, 1, 7, 0, {bytes({1})}), 0, 0, {}, 0});
    cases.push_back({"zero-bytes.png", "", 0, 0, {}, 0});
    cases.push_back({"not-an-image.png", "P6 this is text, not pixels\n", 0, 0, {}, 0});
    return cases;
}

} // namespace

TEST(BadImageFiles, DecodeToTheRightTexelsOrLeaveTheTextureEmpty) {
    ScratchWorkDir dir;
    for (const Expected& c : imageCases()) {
        writeFile(c.name, c.file);
        vyxTexture texture;
        std::memset(&texture, 0x5a, sizeof(texture));
        bool loaded = false;
        CapturedOutput output = capture([&] { loaded = vyxLoadImageTexture(c.name, texture, FilterNearest); });
        if (c.rgba.empty()) {
            // A truncated JPEG may come back with the rows that were read; then it is whole.
            if (loaded && std::string(c.name).find("truncated.jpg") != std::string::npos) {
                EXPECT_EQ(texture.width, 16) << c.name;
                EXPECT_EQ(texture.height, 16) << c.name;
                std::free(texture.data);
                continue;
            }
            EXPECT_FALSE(loaded) << c.name;
            EXPECT_EQ(texture.data, nullptr) << c.name;
            EXPECT_EQ(texture.width, 0) << c.name;
            EXPECT_NE(output.err.find(c.name), std::string::npos) << c.name << ": " << output.err;
            continue;
        }
        ASSERT_TRUE(loaded) << c.name << ": " << output.err;
        ASSERT_EQ(texture.width, c.width) << c.name;
        ASSERT_EQ(texture.height, c.height) << c.name;
        const uint8_t* texels = static_cast<const uint8_t*>(texture.data);
        for (size_t i = 0; i < c.rgba.size(); ++i)
            EXPECT_NEAR(texels[i], c.rgba[i], c.tolerance) << c.name << " texel " << i / 4 << " channel " << i % 4;
        // A lookup anywhere, however far out, lands on a texel.
        float rgba[4] = {0, 0, 0, 1};
        vyxSampleTexture(texture, 1e9f, -3.5f, rgba);
        EXPECT_GE(rgba[0], 0.0f);
        EXPECT_LE(rgba[0], 1.0f);
        std::free(texture.data);
    }
}

TEST(BadImageFiles, SceneWithBrokenModelTexturesLoadsAndRenders) {
    // A model whose materials name every kind of image above, a folder and a missing
    // file; the decodable ones become textures, the others leave their material plain.
    if (access((std::string(VYX_ASSETS_DIR) + "/venus.obj").c_str(), F_OK) != 0)
        GTEST_SKIP() << "no generated assets in " << VYX_ASSETS_DIR;
    ScratchWorkDir dir;
    std::vector<Expected> cases = imageCases();
    ASSERT_EQ(mkdir("folder.png", 0700), 0);
    std::string model = "mtllib venus.mtl\n", library;
    int v = 0;
    for (size_t m = 0; m < cases.size() + 2; ++m) {
        std::string file = m < cases.size() ? cases[m].name : m == cases.size() ? "folder.png" : "missing.png";
        if (m < cases.size())
            writeFile(file, cases[m].file);
        library += "newmtl m" + std::to_string(m) + "\nKd 1 1 1\nmap_Kd " + file + "\n";
        float x = static_cast<float>(m) * 0.1f;
        model += "v " + std::to_string(x) + " 0 0\nv " + std::to_string(x + 0.05f) + " 0 0\nv " + std::to_string(x) +
                 " 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nusemtl m" + std::to_string(m) + "\n";
        v += 3;
        model += "f " + std::to_string(v - 2) + "/" + std::to_string(v - 2) + " " + std::to_string(v - 1) + "/" +
                 std::to_string(v - 1) + " " + std::to_string(v) + "/" + std::to_string(v) + "\n";
    }
    writeFile("venus.obj", model);
    writeFile("venus.mtl", library);

    TTF_Init();
    int32_t running = 1;
    vyxRenderSettings settings = startupSettings(2);
    GSSampleScene scene;
    CapturedOutput output = capture([&] { scene.Load(); });
    ASSERT_EQ(scene.model.materialCount, static_cast<int32_t>(cases.size() + 2));
    for (size_t m = 0; m < cases.size() + 2; ++m) {
        const char* name = m < cases.size() ? cases[m].name : m == cases.size() ? "folder.png" : "missing.png";
        bool decodable = m < cases.size() && !cases[m].rgba.empty();
        const vyxTexture* texture = scene.model.materials[m].texture;
        if (decodable) {
            ASSERT_NE(texture, nullptr) << name;
            EXPECT_EQ(texture->width, cases[m].width) << name;
        } else if (std::string(name) != "truncated.jpg") {
            EXPECT_EQ(texture, nullptr) << name;
            EXPECT_NE(output.err.find(name), std::string::npos) << name << " is not reported: " << output.err;
        }
    }
    scene.Init(makeContext(nullptr, 32, 24, &running, &settings));
    for (int preset : {0, 5}) {
        scene.presetIndex = preset;
        scene.aoToggle = true;
        scene.Animate();
        vyxUpdateCamera(scene.camera);
        FrameBuffer frame = vyxAllocFrame(32, 24);
        scene.TraceFrame(frame);
        scene.ProcessFrame(frame, 0.0f);
        vyxFreeFrame(frame);
    }
    scene.Unload();
    TTF_Quit();
}
