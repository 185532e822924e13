#include "app/image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"

#include "stb_image_write.h"

namespace {

// A w × h test pattern with `channels` bytes per texel, top row first: every texel
// differs in each channel.
std::vector<uint8_t> pattern(int w, int h, int channels) {
    std::vector<uint8_t> bytes(static_cast<size_t>(w * h * channels));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int k = 0; k < channels; ++k) {
                bytes[static_cast<size_t>((y * w + x) * channels + k)] =
                    static_cast<uint8_t>(x * 40 + y * 9 + k * 61 + 3);
            }
        }
    }
    return bytes;
}

// Expected RGBA of a texel of the pattern for a PNG of `channels` channels.
void expectedRGBA(const std::vector<uint8_t>& source, int index, int channels, uint8_t rgba[4]) {
    const uint8_t* s = &source[static_cast<size_t>(index * channels)];
    switch (channels) {
    case 1:
        rgba[0] = rgba[1] = rgba[2] = s[0];
        rgba[3] = 255;
        break;
    case 2:
        rgba[0] = rgba[1] = rgba[2] = s[0];
        rgba[3] = s[1];
        break;
    case 3:
        rgba[0] = s[0], rgba[1] = s[1], rgba[2] = s[2], rgba[3] = 255;
        break;
    default:
        rgba[0] = s[0], rgba[1] = s[1], rgba[2] = s[2], rgba[3] = s[3];
        break;
    }
}

std::string writeBytes(const std::string& name, const void* bytes, size_t size) {
    FILE* file = std::fopen(name.c_str(), "wb");
    EXPECT_NE(file, nullptr) << name;
    if (file) {
        if (size) {
            std::fwrite(bytes, 1, size, file);
        }
        std::fclose(file);
    }
    return name;
}

std::vector<char> readBytes(const std::string& name) {
    std::vector<char> bytes;
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) {
        return bytes;
    }
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return bytes;
}

} // namespace

TEST(ImageTexture, PngOfEveryChannelCount) {
    ScratchWorkDir work;
    const int w = 8, h = 4; // powers of two: the texels come out as decoded
    for (int channels = 1; channels <= 4; ++channels) {
        std::vector<uint8_t> source = pattern(w, h, channels);
        std::string name = "pattern" + std::to_string(channels) + ".png";
        ASSERT_NE(stbi_write_png(name.c_str(), w, h, channels, source.data(), w * channels), 0);
        vyxTexture texture;
        ASSERT_TRUE(vyxLoadImageTexture(name.c_str(), texture, FilterNearest)) << name;
        ASSERT_NE(texture.data, nullptr);
        EXPECT_EQ(texture.width, w);
        EXPECT_EQ(texture.height, h);
        EXPECT_EQ(texture.channels, 4);
        EXPECT_EQ(texture.storage, StorageBytes);
        EXPECT_EQ(texture.filter, FilterNearest);
        EXPECT_EQ(texture.wrapU, WrapRepeat);
        EXPECT_EQ(texture.wrapV, WrapRepeat);
        const uint8_t* texels = static_cast<const uint8_t*>(texture.data);
        for (int i = 0; i < w * h; ++i) {
            uint8_t want[4];
            expectedRGBA(source, i, channels, want);
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(texels[i * 4 + k], want[k]) << name << " texel " << i << " channel " << k;
            }
        }
        std::free(texture.data);
    }
}

TEST(ImageTexture, JpegDecodesAndSamplesTopRowFirst) {
    // Top half red, bottom half blue, in flat 8 × 8 blocks so the compression keeps the
    // colours close.
    ScratchWorkDir work;
    const int w = 16, h = 16;
    std::vector<uint8_t> source(static_cast<size_t>(w * h * 3));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* t = &source[static_cast<size_t>((y * w + x) * 3)];
            t[0] = y < h / 2 ? 220 : 20;
            t[1] = 30;
            t[2] = y < h / 2 ? 20 : 220;
        }
    }
    ASSERT_NE(stbi_write_jpg("halves.jpg", w, h, 3, source.data(), 95), 0);
    vyxTexture texture;
    ASSERT_TRUE(vyxLoadImageTexture("halves.jpg", texture, FilterBilinear));
    ASSERT_EQ(texture.width, w);
    ASSERT_EQ(texture.height, h);
    EXPECT_EQ(texture.filter, FilterBilinear);
    const uint8_t* texels = static_cast<const uint8_t*>(texture.data);
    for (int y : {1, 4, 11, 14}) {
        for (int x : {1, 6, 13}) {
            const uint8_t* got = texels + (y * w + x) * 4;
            const uint8_t* want = &source[static_cast<size_t>((y * w + x) * 3)];
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(got[k], want[k], 12) << "x " << x << " y " << y << " channel " << k;
            }
            EXPECT_EQ(got[3], 255);
        }
    }
    // Through the lookups: v near 1 is the top (red) row, v near 0 the bottom (blue).
    float rgba[4] = {0, 0, 0, 1};
    vyxSampleTexture(texture, 0.3f, 0.95f, rgba);
    EXPECT_GT(rgba[0], 0.7f);
    EXPECT_LT(rgba[2], 0.3f);
    vyxSampleTexture(texture, 0.3f, 0.05f, rgba);
    EXPECT_LT(rgba[0], 0.3f);
    EXPECT_GT(rgba[2], 0.7f);
    std::free(texture.data);
}

// Repeat addressing masks texel indices, which only tiles powers of two: other sizes
// are resampled up to the next power, so every lookup still finds the right part of the
// picture. A 250-wide gradient (red along u, green along v) is checked at every column.
TEST(ImageTexture, SidesThatAreNotPowersOfTwoAreResampled) {
    ScratchWorkDir work;
    struct Case {
        int w, h, wantW, wantH;
    };
    for (const Case& c : {Case{250, 6, 256, 8}, Case{5, 130, 8, 256}, Case{1, 1, 1, 1}}) {
        std::vector<uint8_t> source(static_cast<size_t>(c.w * c.h * 3));
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                uint8_t* t = &source[static_cast<size_t>((y * c.w + x) * 3)];
                t[0] = static_cast<uint8_t>(c.w > 1 ? x * 255 / (c.w - 1) : 0);
                t[1] = static_cast<uint8_t>(c.h > 1 ? (c.h - 1 - y) * 255 / (c.h - 1) : 0);
                t[2] = 77;
            }
        }
        ASSERT_NE(stbi_write_png("gradient.png", c.w, c.h, 3, source.data(), c.w * 3), 0);
        vyxTexture texture;
        ASSERT_TRUE(vyxLoadImageTexture("gradient.png", texture, FilterNearest));
        EXPECT_EQ(texture.width, c.wantW);
        EXPECT_EQ(texture.height, c.wantH);
        // At the centre of every source column and row, one tile over too: the resampled
        // picture keeps the gradient within a few levels (the edges blend with the other
        // side, as a repeating texture should).
        for (int x = 2; x + 2 < c.w; ++x) {
            for (int y = 2; y + 2 < c.h; ++y) {
                float u = (x + 0.5f) / c.w + 1.0f, v = 1.0f - (y + 0.5f) / c.h;
                float rgba[4] = {0, 0, 0, 1};
                vyxSampleTexture(texture, u, v, rgba);
                const uint8_t* want = &source[static_cast<size_t>((y * c.w + x) * 3)];
                // Only along a long side is a gradient fine enough to survive resampling.
                for (int k : {0, 1}) {
                    if ((k == 0 ? c.w : c.h) >= 64) {
                        EXPECT_NEAR(rgba[k] * 255.0f, want[k], 4.0f)
                            << c.w << "x" << c.h << " at column " << x << " row " << y << " channel " << k;
                    }
                }
                EXPECT_NEAR(rgba[2] * 255.0f, 77.0f, 1.0f);
            }
        }
        std::free(texture.data);
    }
}

// SDL_image decodes a CMYK JPEG as ARGB (red comes out blue) and a JPEG cut short as
// grey rows, without an error: the first is converted, the second loaded with a warning.
TEST(ImageTexture, CmykAndTruncatedJpegs) {
    ScratchWorkDir work;
    // Left half red, right half blue, stored as inverted inks with Adobe's marker.
    std::string cmyk = std::string(VYX_TEST_DATA_DIR) + "/images/jpeg-cmyk-read-as-argb.jpg";
    vyxTexture texture;
    bool loaded = false;
    std::string err = capture([&] { loaded = vyxLoadImageTexture(cmyk.c_str(), texture, FilterNearest); }).err;
    ASSERT_TRUE(loaded) << err;
    EXPECT_NE(err.find(cmyk + " is a CMYK JPEG; converted to RGB"), std::string::npos) << err;
    ASSERT_EQ(texture.width, 16);
    ASSERT_EQ(texture.height, 8);
    const uint8_t* texels = static_cast<const uint8_t*>(texture.data);
    for (int x : {1, 6, 9, 14}) {
        const uint8_t* t = texels + (3 * 16 + x) * 4;
        EXPECT_NEAR(t[0], x < 8 ? 255 : 0, 8) << "column " << x;
        EXPECT_NEAR(t[1], 0, 8) << "column " << x;
        EXPECT_NEAR(t[2], x < 8 ? 0 : 255, 8) << "column " << x;
        EXPECT_EQ(t[3], 255) << "column " << x;
    }
    std::free(texture.data);

    // Busy enough that the coded data, not the tables, fills most of the file.
    std::vector<uint8_t> busy = pattern(64, 64, 3);
    ASSERT_NE(stbi_write_jpg("whole.jpg", 64, 64, 3, busy.data(), 90), 0);
    std::vector<char> jpeg = readBytes("whole.jpg");
    writeBytes("cut.jpg", jpeg.data(), jpeg.size() * 2 / 3);
    for (const char* name : {"whole.jpg", "cut.jpg"}) {
        err = capture([&] { loaded = vyxLoadImageTexture(name, texture, FilterNearest); }).err;
        bool cut = std::string(name) == "cut.jpg";
        EXPECT_EQ(err.find(std::string(name) + ": the JPEG data is cut short") != std::string::npos, cut)
            << name << ": " << err;
        EXPECT_TRUE(loaded) << name << ": the rows before the cut are worth showing";
        std::free(texture.data);
    }
}

TEST(ImageTexture, FilesThatDoNotDecode) {
    ScratchWorkDir work;
    std::vector<uint8_t> source = pattern(32, 32, 4);
    ASSERT_NE(stbi_write_png("whole.png", 32, 32, 4, source.data(), 32 * 4), 0);
    std::vector<char> png = readBytes("whole.png");
    ASSERT_GT(png.size(), 100u);
    writeBytes("truncated.png", png.data(), png.size() / 2);
    writeBytes("header-only.png", png.data(), 8);
    writeBytes("empty.png", "", 0);
    writeBytes("text.jpg", "this is not an image\n", 21);
    std::vector<char> noise(3000);
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>((i * 7919u) >> 3);
    }
    writeBytes("noise.png", noise.data(), noise.size());
    ASSERT_EQ(mkdir("folder.png", 0700), 0);

    const char* names[] = {"missing.png",     "folder.png", "empty.png",    "text.jpg",
                           "header-only.png", "noise.png",  "truncated.png"};
    for (const char* name : names) {
        vyxTexture texture;
        texture.data = &texture; // must be overwritten
        bool loaded = false;
        const std::string err = capture([&] { loaded = vyxLoadImageTexture(name, texture, FilterBilinear); }).err;
        EXPECT_EQ(texture.channels, 4) << name;
        EXPECT_EQ(texture.wrapU, WrapRepeat) << name;
        if (std::string(name) == "truncated.png" && loaded) {
            // A decoder may return the rows it could read; the texture is then whole.
            EXPECT_EQ(texture.width, 32);
            EXPECT_EQ(texture.height, 32);
            std::free(texture.data);
            continue;
        }
        EXPECT_FALSE(loaded) << name;
        EXPECT_EQ(texture.data, nullptr) << name;
        EXPECT_EQ(texture.width, 0) << name;
        EXPECT_EQ(texture.height, 0) << name;
        EXPECT_NE(err.find(name), std::string::npos) << name << ": " << err;
        // Lookups on it write nothing.
        float rgba[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        vyxSampleTexture(texture, 0.5f, 0.5f, rgba);
        EXPECT_EQ(rgba[0], 0.1f) << name;
        EXPECT_EQ(rgba[3], 0.4f) << name;
    }
}

TEST(SurfaceToRGBA, PalettedColourKeyedAndSwappedFormats) {
    // An 8-bit paletted surface with a colour key: keyed texels become transparent black,
    // the others their palette colour with alpha 255.
    const int w = 3, h = 2;
    SDL_Surface* paletted = SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 8, 0, 0, 0, 0);
    ASSERT_NE(paletted, nullptr);
    SDL_Color colors[3] = {{10, 20, 30, 0}, {200, 100, 50, 0}, {1, 2, 3, 0}};
    SDL_SetColors(paletted, colors, 0, 3);
    const uint8_t indices[h][w] = {{0, 1, 2}, {2, 1, 0}};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            static_cast<uint8_t*>(paletted->pixels)[y * paletted->pitch + x] = indices[y][x];
        }
    }
    SDL_SetColorKey(paletted, SDL_SRCCOLORKEY, 2);
    int32_t width = -1, height = -1;
    uint8_t* texels = vyxSurfaceToRGBA(paletted, width, height);
    ASSERT_NE(texels, nullptr);
    ASSERT_EQ(width, w);
    ASSERT_EQ(height, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* t = texels + (y * w + x) * 4;
            int index = indices[y][x];
            uint8_t want[4] = {colors[index].r, colors[index].g, colors[index].b, 255};
            if (index == 2) {
                want[0] = want[1] = want[2] = want[3] = 0;
            }
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(t[k], want[k]) << "x " << x << " y " << y << " channel " << k;
            }
        }
    }
    std::free(texels);

    // 32-bit with the channels in the opposite order and per-surface alpha switched on:
    // the alpha is copied, not blended.
    SDL_Surface* bgra = SDL_CreateRGBSurface(SDL_SWSURFACE | SDL_SRCALPHA, 2, 1, 32, 0x0000FF00u, 0x00FF0000u,
                                             0xFF000000u, 0x000000FFu);
    ASSERT_NE(bgra, nullptr);
    Uint32* pixels = static_cast<Uint32*>(bgra->pixels);
    pixels[0] = SDL_MapRGBA(bgra->format, 11, 22, 33, 44);
    pixels[1] = SDL_MapRGBA(bgra->format, 250, 128, 0, 255);
    texels = vyxSurfaceToRGBA(bgra, width, height);
    ASSERT_NE(texels, nullptr);
    const uint8_t want[8] = {11, 22, 33, 44, 250, 128, 0, 255};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(texels[i], want[i]) << i;
    }
    std::free(texels);

    texels = vyxSurfaceToRGBA(nullptr, width, height);
    EXPECT_EQ(texels, nullptr);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
}
