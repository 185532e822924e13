#include "trace/texture.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/support/capture.h"
#include "tests/support/scratch.h"

namespace {

const float untouched[4] = {-7.0f, -7.0f, -7.0f, -7.0f};

void resetColor(float rgba[4]) {
    for (int i = 0; i < 4; ++i) {
        rgba[i] = untouched[i];
    }
}

bool isUntouched(const float rgba[4]) {
    return rgba[0] == untouched[0] && rgba[1] == untouched[1] && rgba[2] == untouched[2] && rgba[3] == untouched[3];
}

vyxTexture floatTexture(std::vector<float>& texels, int32_t width, int32_t height, uint8_t channels, uint8_t filter,
                        uint8_t wrap) {
    vyxTexture texture;
    vyxMakeTexture(texture, width, height, texels.data(), channels, StorageFloats, filter, wrap, wrap);
    return texture;
}

// Value of stored texel (column c, row r counted from the bottom) of a one-channel texture.
float texelAt(const std::vector<float>& texels, int32_t width, int32_t height, int c, int r) {
    return texels[static_cast<size_t>(c + width * (height - 1 - r))];
}

int openDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        return -1;
    }
    while (readdir(dir)) {
        ++count;
    }
    closedir(dir);
    return count;
}

} // namespace

TEST(Texture, TwoByTwoCornerCases) {
    // Stored rows (0, 1) then (2, 3): the bottom-left texel is 2.
    std::vector<float> texels = {0, 1, 2, 3};
    for (uint8_t filter : {FilterNearest, FilterBilinear}) {
        vyxTexture texture = floatTexture(texels, 2, 2, 1, filter, WrapClamp);
        float rgba[4];
        resetColor(rgba);
        vyxSampleTexture(texture, 0.0f, 0.0f, rgba);
        EXPECT_EQ(rgba[0], 2.0f) << "filter " << int(filter);
        EXPECT_EQ(rgba[1], 2.0f);
        EXPECT_EQ(rgba[2], 2.0f);
        EXPECT_EQ(rgba[3], 1.0f);
    }
    vyxTexture bilinear = floatTexture(texels, 2, 2, 1, FilterBilinear, WrapClamp);
    float rgba[4];
    vyxSampleTexture(bilinear, 0.25f, 0.25f, rgba);
    EXPECT_FLOAT_EQ(rgba[0], 1.5f);
    EXPECT_EQ(rgba[3], 1.0f);
}

TEST(Texture, NearestPicksTheTexelContainingTheCoordinate) {
    const int w = 8, h = 4;
    std::vector<float> texels(w * h);
    for (size_t i = 0; i < texels.size(); ++i) {
        texels[i] = static_cast<float>(i);
    }
    for (uint8_t wrap : {WrapClamp, WrapRepeat}) {
        vyxTexture texture = floatTexture(texels, w, h, 1, FilterNearest, wrap);
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                for (float fraction : {0.0f, 0.3f, 0.9f}) {
                    float u = (c + fraction) / w;
                    float v = (r + fraction) / h;
                    float rgba[4];
                    vyxSampleTexture(texture, u, v, rgba);
                    EXPECT_EQ(rgba[0], texelAt(texels, w, h, c, r))
                        << "column " << c << " row " << r << " fraction " << fraction << " wrap " << int(wrap);
                }
            }
        }
    }
}

TEST(Texture, BilinearReproducesALinearRamp) {
    // Bilinear interpolation is exact on a function linear in column and row, so any
    // coordinate inside the texel grid must give the ramp's value there.
    const int w = 16, h = 8;
    std::vector<float> texels(w * h);
    auto ramp = [](double c, double r) { return 3.0 * c - 2.0 * r + 40.0; };
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            texels[static_cast<size_t>(c + w * (h - 1 - r))] = static_cast<float>(ramp(c, r));
        }
    }
    vyxTexture texture = floatTexture(texels, w, h, 1, FilterBilinear, WrapClamp);
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> coordinate(0.0f, 1.0f);
    for (int i = 0; i < 2000; ++i) {
        float u = coordinate(random) * (w - 1) / w;
        float v = coordinate(random) * (h - 1) / h;
        float rgba[4];
        vyxSampleTexture(texture, u, v, rgba);
        double expected = ramp(static_cast<double>(u) * w, static_cast<double>(v) * h);
        EXPECT_NEAR(rgba[0], expected, 1e-4) << "u " << u << " v " << v;
    }
}

TEST(Texture, WrapModesAtAndBeyondTheEdges) {
    const int w = 4, h = 4;
    std::vector<float> texels(w * h);
    for (size_t i = 0; i < texels.size(); ++i) {
        texels[i] = static_cast<float>(i);
    }
    struct Case {
        float u, v;
        uint8_t wrap;
        int column, row; // expected, row counted from the bottom
    };
    const Case cases[] = {
        {1.0f, 0.5f, WrapClamp, 3, 2},                                    // u = 1 clamps to the last column
        {1.0f, 0.5f, WrapRepeat, 0, 2},                                   // ... and wraps to column 0
        {-0.25f, 0.5f, WrapClamp, 0, 2},                                  // fx = -1
        {-0.25f, 0.5f, WrapRepeat, 3, 2},                                 // -1 & 3
        {1.5f, 0.0f, WrapRepeat, 2, 0},    {0.0f, 0.0f, WrapClamp, 0, 0}, // v = 0 is the last stored row
        {0.0f, 0.9999f, WrapClamp, 0, 3},                                 // v just below 1 is the first stored row
        {0.0f, 0.9999f, WrapRepeat, 0, 3}, {0.0f, 2.0f, WrapClamp, 0, 3}, {0.0f, -3.0f, WrapClamp, 0, 0},
    };
    for (const Case& c : cases) {
        vyxTexture texture = floatTexture(texels, w, h, 1, FilterNearest, c.wrap);
        float rgba[4];
        resetColor(rgba);
        vyxSampleTexture(texture, c.u, c.v, rgba);
        EXPECT_EQ(rgba[0], texelAt(texels, w, h, c.column, c.row))
            << "u " << c.u << " v " << c.v << " wrap " << int(c.wrap);
    }
    // Bilinear across the right edge blends the last column with the first when repeating.
    vyxTexture repeat = floatTexture(texels, w, h, 1, FilterBilinear, WrapRepeat);
    float rgba[4];
    vyxSampleTexture(repeat, 3.5f / w, 0.0f, rgba);
    EXPECT_FLOAT_EQ(rgba[0], 0.5f * (texelAt(texels, w, h, 3, 0) + texelAt(texels, w, h, 0, 0)));
    vyxTexture clamp = floatTexture(texels, w, h, 1, FilterBilinear, WrapClamp);
    vyxSampleTexture(clamp, 3.5f / w, 0.0f, rgba);
    EXPECT_FLOAT_EQ(rgba[0], texelAt(texels, w, h, 3, 0));
}

TEST(Texture, ChannelExpansion) {
    // One texel per texture; bytes are divided by 255.
    const uint8_t bytes[4] = {51, 102, 153, 204};
    const float floats[4] = {0.25f, 0.5f, 0.75f, 2.0f};
    struct Expected {
        uint8_t channels;
        int source[4]; // index of the channel each RGBA component comes from; -1 = 1.0
    };
    const Expected table[] = {{1, {0, 0, 0, -1}}, {2, {0, 0, 0, 1}}, {3, {0, 1, 2, -1}}, {4, {0, 1, 2, 3}}};
    for (const Expected& e : table) {
        for (uint8_t storage : {StorageBytes, StorageFloats}) {
            for (uint8_t filter : {FilterNearest, FilterBilinear}) {
                vyxTexture texture;
                void* data = storage == StorageBytes ? const_cast<uint8_t*>(bytes)
                                                     : static_cast<void*>(const_cast<float*>(floats));
                vyxMakeTexture(texture, 1, 1, data, e.channels, storage, filter, WrapRepeat, WrapRepeat);
                float rgba[4];
                resetColor(rgba);
                vyxSampleTexture(texture, 0.3f, 0.6f, rgba);
                for (int i = 0; i < 4; ++i) {
                    float expected = e.source[i] < 0           ? 1.0f
                                     : storage == StorageBytes ? bytes[e.source[i]] / 255.0f
                                                               : floats[e.source[i]];
                    EXPECT_FLOAT_EQ(rgba[i], expected) << "channels " << int(e.channels) << " storage " << int(storage)
                                                       << " filter " << int(filter) << " component " << i;
                }
            }
        }
    }
}

TEST(Texture, BilinearAlphaOfThreeAndTwoChannelTextures) {
    std::vector<float> rgb(4 * 4 * 3, 5.0f); // alpha must not be read from these
    vyxTexture texture = floatTexture(rgb, 4, 4, 3, FilterBilinear, WrapRepeat);
    float rgba[4];
    vyxSampleTexture(texture, 0.37f, 0.61f, rgba);
    EXPECT_EQ(rgba[3], 1.0f);

    // Two-channel bytes: luminance 255 everywhere, alpha 0 in column 0 and 255 in column 1.
    const uint8_t la[2 * 2 * 2] = {255, 0, 255, 255, 255, 0, 255, 255};
    vyxTexture bytes;
    vyxMakeTexture(bytes, 2, 2, const_cast<uint8_t*>(la), 2, StorageBytes, FilterBilinear, WrapClamp, WrapClamp);
    for (float u : {0.0f, 0.125f, 0.25f, 0.4f, 0.5f}) {
        vyxSampleTexture(bytes, u, 0.0f, rgba);
        EXPECT_FLOAT_EQ(rgba[0], 1.0f);
        EXPECT_NEAR(rgba[3], std::min(1.0f, 2.0f * u), 1e-6) << "u " << u;
        EXPECT_GE(rgba[3], 0.0f);
        EXPECT_LE(rgba[3], 1.0f);
    }
}

// Textures of three and four channels are filtered four channels side by side, those of
// one channel one at a time: each channel of the first must equal, bit for bit, the same
// lookup in a one-channel texture of that channel alone. Alpha 1 where the texture has
// none or a full one.
TEST(Texture, FourChannelsSideBySideMatchOneChannelAtATime) {
    const int w = 16, h = 8;
    std::mt19937 rng(41);
    std::uniform_real_distribution<float> coordinate(-2.5f, 2.5f);
    std::uniform_real_distribution<float> light(0.0f, 9.0f);
    for (uint8_t storage : {StorageBytes, StorageFloats})
        for (uint8_t channels : {3, 4})
            for (bool fullAlpha : {false, true})
                for (uint8_t wrap : {WrapRepeat, WrapClamp}) {
                    if (fullAlpha && channels == 3)
                        continue;
                    const size_t count = static_cast<size_t>(w) * h;
                    std::vector<uint8_t> bytes(count * channels);
                    std::vector<float> floats(count * channels);
                    for (size_t i = 0; i < bytes.size(); ++i) {
                        const bool alpha = channels == 4 && i % 4 == 3;
                        bytes[i] = alpha && fullAlpha ? 255 : static_cast<uint8_t>(rng());
                        floats[i] = alpha && fullAlpha ? 1.0f : light(rng);
                    }
                    void* all = storage == StorageBytes ? static_cast<void*>(bytes.data()) : floats.data();
                    vyxTexture texture;
                    vyxMakeTexture(texture, w, h, all, channels, storage, FilterBilinear, wrap, WrapRepeat);
                    ASSERT_EQ(texture.alphaFull, fullAlpha ? 1 : 0);
                    // One texture per channel, of that channel alone.
                    std::vector<std::vector<uint8_t>> singleBytes(channels, std::vector<uint8_t>(count));
                    std::vector<std::vector<float>> singleFloats(channels, std::vector<float>(count));
                    std::vector<vyxTexture> single(channels);
                    for (int c = 0; c < channels; ++c) {
                        for (size_t i = 0; i < count; ++i) {
                            singleBytes[c][i] = bytes[i * channels + c];
                            singleFloats[c][i] = floats[i * channels + c];
                        }
                        void* one = storage == StorageBytes ? static_cast<void*>(singleBytes[c].data())
                                                            : singleFloats[c].data();
                        vyxMakeTexture(single[c], w, h, one, 1, storage, FilterBilinear, wrap, WrapRepeat);
                    }
                    for (int i = 0; i < 2000; ++i) {
                        const float u = coordinate(rng), v = coordinate(rng);
                        float rgba[4];
                        resetColor(rgba);
                        vyxSampleTexture(texture, u, v, rgba);
                        for (int c = 0; c < 4; ++c) {
                            float expected = 1.0f;
                            if (c < channels && !(c == 3 && fullAlpha)) {
                                float one[4];
                                vyxSampleTexture(single[c], u, v, one);
                                expected = one[0];
                            }
                            uint32_t got, want;
                            std::memcpy(&got, &rgba[c], 4);
                            std::memcpy(&want, &expected, 4);
                            ASSERT_EQ(got, want)
                                << (storage == StorageBytes ? "bytes" : "floats") << ", " << int(channels)
                                << " channels, channel " << c << ", wrap " << int(wrap) << ", u " << u << " v " << v;
                        }
                    }
                }
}

// An alpha channel full in every texel makes every lookup's alpha exactly 1, bilinear
// filtering included (its weights can round the sum to just below 1); one texel below
// full leaves the interpolation as it is.
TEST(Texture, FullAlphaSamplesAsExactlyOne) {
    const int w = 8, h = 8;
    std::mt19937 rng(28);
    std::vector<uint8_t> bytes(w * h * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 4 == 3 ? 255 : static_cast<uint8_t>(rng());
    std::vector<float> floats(w * h * 2, 1.0f); // luminance and alpha
    std::uniform_real_distribution<float> coordinate(-3.0f, 3.0f);
    for (int partial = 0; partial < 2; ++partial) {
        bytes[4 * 5 + 3] = partial ? 254 : 255;
        vyxTexture rgba, la;
        vyxMakeTexture(rgba, w, h, bytes.data(), 4, StorageBytes, FilterBilinear, WrapRepeat, WrapRepeat);
        vyxMakeTexture(la, w, h, floats.data(), 2, StorageFloats, FilterBilinear, WrapRepeat, WrapRepeat);
        EXPECT_EQ(rgba.alphaFull, partial ? 0 : 1);
        EXPECT_EQ(la.alphaFull, 1);
        int belowOne = 0;
        for (int i = 0; i < 20000; ++i) {
            const float u = coordinate(rng), v = coordinate(rng);
            float out[4];
            vyxSampleTexture(rgba, u, v, out);
            belowOne += out[3] < 1.0f;
            if (!partial) {
                ASSERT_EQ(out[3], 1.0f) << "u " << u << " v " << v;
            }
            vyxSampleTexture(la, u, v, out);
            ASSERT_EQ(out[3], 1.0f) << "u " << u << " v " << v;
        }
        if (partial) {
            EXPECT_GT(belowOne, 100);
        }
    }
    vyxTexture none;
    vyxMakeTexture(none, w, h, nullptr, 4, StorageBytes, FilterBilinear, WrapRepeat, WrapRepeat);
    EXPECT_EQ(none.alphaFull, 0);
}

TEST(Texture, UnknownFormatsAndMissingDataWriteNothing) {
    std::vector<float> texels(4 * 4 * 4, 0.5f);
    struct Case {
        uint8_t channels, storage, filter;
        bool withData;
    };
    const Case cases[] = {
        {5, StorageFloats, FilterNearest, true},
        {0, StorageFloats, FilterBilinear, true},
        {3, 3, FilterNearest, true},
        {3, 0, FilterBilinear, true},
        {3, StorageFloats, 7, true},
        {3, StorageFloats, FilterNearest, false},
    };
    for (const Case& c : cases) {
        vyxTexture texture;
        vyxMakeTexture(texture, 4, 4, c.withData ? texels.data() : nullptr, c.channels, c.storage, c.filter, WrapRepeat,
                       WrapRepeat);
        float rgba[4];
        resetColor(rgba);
        vyxSampleTexture(texture, 0.5f, 0.5f, rgba);
        EXPECT_TRUE(isUntouched(rgba)) << "channels " << int(c.channels) << " storage " << int(c.storage) << " filter "
                                       << int(c.filter) << " data " << c.withData;
    }
}

TEST(Texture, PowerOfTwoRule) {
    float texel = 0;
    struct Case {
        int32_t width, height;
        bool kept;
    };
    const Case cases[] = {{1, 1, true},   {2, 256, true},    {256, 256, true},     {1 << 30, 1, true}, {3, 4, false},
                          {4, 12, false}, {6, 8, false},     {0, 4, false},        {4, 0, false},      {-4, 4, false},
                          {4, -2, false}, {255, 256, false}, {INT32_MIN, 1, false}};
    for (const Case& c : cases) {
        vyxTexture texture;
        vyxMakeTexture(texture, c.width, c.height, &texel, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
        EXPECT_EQ(texture.data != nullptr, c.kept) << c.width << " x " << c.height;
    }
}

// The texel a bilinear lookup starts from and its weights, as the definition has them:
// coordinate × size in double precision (0 for a coordinate that is not finite, clamped
// to ±2^30), truncated toward zero, the remainder rounded to float.
static void referencePosition(float coordinate, int32_t size, int32_t& whole, float& fraction) {
    double scaled = std::isfinite(coordinate) ? static_cast<double>(coordinate) * size : 0.0;
    scaled = std::min(std::max(scaled, -1073741824.0), 1073741824.0);
    whole = static_cast<int32_t>(scaled);
    fraction = static_cast<float>(scaled - whole);
}

// One row of texels numbered 0, 1, 2, ..., read at v = 0: the result is the blend of
// the two texels by the weight, so the texel and every bit of the weight show in it. It
// must match the double-precision definition at every magnitude of coordinate, denormal
// to beyond 2^30 texels, and at NaN and the infinities, clamped and repeated.
TEST(Texture, BilinearPositionsMatchTheDefinitionInDoublePrecision) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> exponent(-149, 127);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::vector<float> coordinates = {0.0f,
                                      -0.0f,
                                      std::numeric_limits<float>::denorm_min(),
                                      -std::numeric_limits<float>::denorm_min(),
                                      std::numeric_limits<float>::max(),
                                      -std::numeric_limits<float>::max(),
                                      std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN(),
                                      0.99999994f,
                                      -0.99999994f,
                                      1073741824.0f,
                                      -1073741824.0f};
    for (int i = 0; i < 20000; ++i) {
        const float magnitude = std::ldexp(mantissa(rng), exponent(rng));
        coordinates.push_back(i % 2 ? -magnitude : magnitude);
    }
    for (uint8_t wrap : {WrapRepeat, WrapClamp})
        for (int32_t width : {1, 2, 64, 1 << 16}) {
            std::vector<float> texels(static_cast<size_t>(width));
            for (int32_t c = 0; c < width; ++c)
                texels[static_cast<size_t>(c)] = static_cast<float>(c);
            vyxTexture texture = floatTexture(texels, width, 1, 1, FilterBilinear, wrap);
            auto column = [&](int32_t x) {
                return static_cast<float>(wrap == WrapRepeat ? x & (width - 1) : std::min(std::max(x, 0), width - 1));
            };
            for (float u : coordinates) {
                int32_t x = 0;
                float ax = 0.0f;
                referencePosition(u, width, x, ax);
                const float left = column(x), right = column(x + 1);
                const float row = ax * right + (1.0f - ax) * left;
                const float expected = 0.0f * row + 1.0f * row;
                float rgba[4];
                vyxSampleTexture(texture, u, 0.0f, rgba);
                uint32_t got, want;
                std::memcpy(&got, &rgba[0], 4);
                std::memcpy(&want, &expected, 4);
                ASSERT_EQ(got, want) << "width " << width << ", wrap " << int(wrap) << ", u " << u << " (texel " << x
                                     << ", weight " << ax << ")";
            }
        }
}

TEST(Texture, NonFiniteAndHugeCoordinatesStayInsideTheTexture) {
    // Run under the sanitizers: no float-to-int conversion out of range, no read outside
    // the texels. Non-finite coordinates read as 0; huge ones land on some texel.
    const int w = 4, h = 4;
    std::vector<float> texels(w * h);
    for (size_t i = 0; i < texels.size(); ++i) {
        texels[i] = static_cast<float>(i + 1);
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float coordinates[] = {nan, inf, -inf, 1e30f, -1e30f, 3e9f, -3e9f, 2147483647.0f, 0.5f};
    for (uint8_t filter : {FilterNearest, FilterBilinear}) {
        for (uint8_t wrap : {WrapClamp, WrapRepeat}) {
            vyxTexture texture = floatTexture(texels, w, h, 1, filter, wrap);
            for (float u : coordinates) {
                for (float v : coordinates) {
                    float rgba[4];
                    resetColor(rgba);
                    vyxSampleTexture(texture, u, v, rgba);
                    EXPECT_TRUE(std::isfinite(rgba[0])) << u << ", " << v;
                    EXPECT_GE(rgba[0], 1.0f) << u << ", " << v;
                    EXPECT_LE(rgba[0], 16.0f) << u << ", " << v;
                    if (!std::isfinite(u) && !std::isfinite(v)) {
                        float origin[4];
                        vyxSampleTexture(texture, 0.0f, 0.0f, origin);
                        EXPECT_EQ(rgba[0], origin[0]) << u << ", " << v;
                    }
                }
            }
        }
    }
}

namespace {

// A cube of six 64 × 64 nearest faces; the one-channel texel value encodes
// face × 10000 + column × 100 + row (row counted from the bottom).
struct TestCube {
    static const int size = 64;
    std::vector<float> texels[6];
    vyxTexture textures[6];
    vyxCubeMap cube;

    TestCube() {
        for (int f = 0; f < 6; ++f) {
            texels[f].resize(size * size);
            for (int r = 0; r < size; ++r) {
                for (int c = 0; c < size; ++c) {
                    texels[f][static_cast<size_t>(c + size * (size - 1 - r))] = f * 10000.0f + c * 100.0f + r;
                }
            }
            vyxMakeTexture(textures[f], size, size, texels[f].data(), 1, StorageFloats, FilterNearest, WrapClamp,
                           WrapClamp);
            cube.faces[f] = &textures[f];
        }
    }

    // Samples direction d and decodes face, column and row.
    bool sample(float x, float y, float z, int& face, int& column, int& row) const {
        float rgba[4];
        resetColor(rgba);
        vyxSampleCubeMap(cube, x, y, z, rgba);
        if (isUntouched(rgba)) {
            return false;
        }
        int value = static_cast<int>(rgba[0]);
        face = value / 10000;
        column = value / 100 % 100;
        row = value % 100;
        return true;
    }
};

} // namespace

TEST(CubeMap, FaceOrientationMatchesTheAxes) {
    // Reference: for each face, its major axis and the world directions of increasing u
    // and v; the coordinate is 0.5 + 0.5 × (d · axis) / |d · major|.
    const float axes[6][3][3] = {
        {{1, 0, 0}, {0, 0, 1}, {0, 1, 0}},   {{-1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}},
        {{0, -1, 0}, {1, 0, 0}, {0, 0, -1}}, {{0, 0, 1}, {-1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {1, 0, 0}, {0, 1, 0}},
    };
    TestCube cube;
    std::mt19937 random(2024);
    std::normal_distribution<float> gaussian;
    int checked = 0;
    for (int i = 0; i < 5000; ++i) {
        float d[3] = {gaussian(random), gaussian(random), gaussian(random)};
        auto dot = [&](const float* a) { return double(d[0]) * a[0] + double(d[1]) * a[1] + double(d[2]) * a[2]; };
        int expectedFace = 0;
        for (int f = 1; f < 6; ++f) {
            if (dot(axes[f][0]) > dot(axes[expectedFace][0])) {
                expectedFace = f;
            }
        }
        double major = dot(axes[expectedFace][0]);
        double u = 0.5 + 0.5 * dot(axes[expectedFace][1]) / major;
        double v = 0.5 + 0.5 * dot(axes[expectedFace][2]) / major;
        // Skip directions too close to a cube edge or a texel boundary to decide.
        double fu = u * TestCube::size, fv = v * TestCube::size;
        if (std::fabs(fu - std::round(fu)) < 1e-3 || std::fabs(fv - std::round(fv)) < 1e-3) {
            continue;
        }
        int face, column, row;
        ASSERT_TRUE(cube.sample(d[0], d[1], d[2], face, column, row));
        EXPECT_EQ(face, expectedFace) << d[0] << ", " << d[1] << ", " << d[2];
        EXPECT_EQ(column, std::min(int(fu), TestCube::size - 1)) << d[0] << ", " << d[1] << ", " << d[2];
        EXPECT_EQ(row, std::min(int(fv), TestCube::size - 1)) << d[0] << ", " << d[1] << ", " << d[2];
        ++checked;
    }
    EXPECT_GT(checked, 4000);
}

TEST(CubeMap, TiesAndAxisDirections) {
    TestCube cube;
    const int last = TestCube::size - 1, half = TestCube::size / 2;
    struct Case {
        float x, y, z;
        int face, column, row;
    };
    const Case cases[] = {
        {1, 1, 0.5f, 2, last, 3 * TestCube::size / 4}, // |y| = |x|: +Y, u = 1, v = 0.75
        {1, 0.5f, 1, 4, 0, 3 * TestCube::size / 4},    // |z| = |x|: +Z, u = 0, v = 0.75
        {1, 1, 1, 4, 0, last},                         // all equal: Z wins
        {-1, 0, -1, 5, 0, half},                       // |z| = |x|, z < 0: -Z
        {0, -1, 1, 4, half, 0},                        // |z| = |y|: +Z
        {0, 0, -1, 5, half, half},
        {0, 0, 1, 4, half, half},
        {2, 0, 0, 0, half, half},
        {-2, 0, 0, 1, half, half},
        {0, 3, 0, 2, half, half},
        {0, -3, 0, 3, half, half},
    };
    for (const Case& c : cases) {
        int face = -1, column = -1, row = -1;
        ASSERT_TRUE(cube.sample(c.x, c.y, c.z, face, column, row)) << c.x << ", " << c.y << ", " << c.z;
        EXPECT_EQ(face, c.face) << c.x << ", " << c.y << ", " << c.z;
        EXPECT_EQ(column, c.column) << c.x << ", " << c.y << ", " << c.z;
        EXPECT_EQ(row, c.row) << c.x << ", " << c.y << ", " << c.z;
    }
}

TEST(CubeMap, AbsentFacesAndDegenerateDirections) {
    TestCube cube;
    cube.cube.faces[2] = nullptr;
    float rgba[4];
    resetColor(rgba);
    vyxSampleCubeMap(cube.cube, 0, 1, 0, rgba);
    EXPECT_TRUE(isUntouched(rgba));

    // Zero, NaN and infinite directions pick a face without undefined behaviour and
    // read a texel of it.
    TestCube full;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float directions[][3] = {{0, 0, 0},       {nan, 0, 0},  {nan, nan, nan}, {inf, 0, 0},
                                   {inf, inf, inf}, {-inf, 1, 0}, {0, 0, -inf},    {1e-45f, 0, 0}};
    for (const auto& d : directions) {
        int face = -1, column = -1, row = -1;
        ASSERT_TRUE(full.sample(d[0], d[1], d[2], face, column, row)) << d[0] << ", " << d[1] << ", " << d[2];
        EXPECT_TRUE(face >= 0 && face < 6 && column >= 0 && column < TestCube::size && row >= 0 && row < TestCube::size)
            << d[0] << ", " << d[1] << ", " << d[2];
    }
}

namespace {

// Writes a face file: file row i (the bottom row first) texel c = (i, c, 0.5), except
// that the first row is red and the last blue.
std::vector<float> faceFileTexels() {
    std::vector<float> texels(256 * 256 * 3);
    for (int i = 0; i < 256; ++i) {
        for (int c = 0; c < 256; ++c) {
            float* t = &texels[static_cast<size_t>((i * 256 + c) * 3)];
            t[0] = float(i);
            t[1] = float(c);
            t[2] = 0.5f;
            if (i == 0) {
                t[0] = 1, t[1] = 0, t[2] = 0;
            } else if (i == 255) {
                t[0] = 0, t[1] = 0, t[2] = 1;
            }
        }
    }
    return texels;
}

} // namespace

TEST(FloatFace, RowsAreFlippedAndTheBottomRowIsAtVZero) {
    std::vector<float> fileTexels = faceFileTexels();
    // The file bytes are little-endian floats; so is this machine's memory (checked in
    // the reader on other machines).
    float* texels = vyxReadFloatFaceFromBytes(fileTexels.data(), fileTexels.size() * sizeof(float), "zpos.float");
    ASSERT_NE(texels, nullptr);
    for (int memoryRow = 0; memoryRow < 256; ++memoryRow) {
        int fileRow = 255 - memoryRow;
        for (int c = 0; c < 256; ++c) {
            const float* got = texels + (memoryRow * 256 + c) * 3;
            const float* want = &fileTexels[static_cast<size_t>((fileRow * 256 + c) * 3)];
            ASSERT_TRUE(got[0] == want[0] && got[1] == want[1] && got[2] == want[2])
                << "memory row " << memoryRow << " column " << c;
        }
    }
    vyxTexture face;
    vyxMakeTexture(face, 256, 256, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
    ASSERT_NE(face.data, nullptr);
    float rgba[4];
    vyxSampleTexture(face, 0.5f, 0.0f, rgba);
    EXPECT_EQ(rgba[0], 1.0f) << "red at the bottom";
    EXPECT_EQ(rgba[2], 0.0f);
    vyxSampleTexture(face, 0.5f, 0.99999f, rgba);
    EXPECT_EQ(rgba[0], 0.0f) << "blue at the top";
    EXPECT_EQ(rgba[2], 1.0f);
    vyxSampleTexture(face, 0.5f, 100.5f / 256.0f, rgba);
    EXPECT_FLOAT_EQ(rgba[0], 100.5f) << "rows between interpolate";
    EXPECT_EQ(rgba[3], 1.0f);
    std::free(texels);
}

// A file and the same bytes in memory read alike: any size but one face is refused with
// the same message (null bytes of size 0 included), one face gives the same texels, and
// the file is closed either way.
TEST(FloatFace, FilesAndBytesOfAnyOtherSizeAreRejected) {
    ScratchDir dir;
    std::vector<float> fileTexels = faceFileTexels();
    const std::string face(reinterpret_cast<const char*>(fileTexels.data()), fileTexels.size() * sizeof(float));
    const std::string bytes = face + std::string(100, '\x3f');
    const size_t sizes[] = {0, 1, 400, face.size() - 1, face.size() + 1, bytes.size(), face.size()};
    for (size_t size : sizes) {
        std::string path = dir.write("wrong.float", bytes.substr(0, size));
        int descriptors = openDescriptorCount();
        float* fromFile = nullptr;
        const std::string fileWarning =
            capture([&] { fromFile = vyxReadFloatFace(std::fopen(path.c_str(), "rb"), "wrong.float"); }).err;
        EXPECT_EQ(openDescriptorCount(), descriptors) << size << " bytes: the reader must close the file";
        float* fromBytes = nullptr;
        const std::string bytesWarning =
            capture([&] {
                fromBytes = vyxReadFloatFaceFromBytes(size > 0 ? bytes.data() : nullptr, size, "wrong.float");
            }).err;
        EXPECT_EQ(fileWarning, bytesWarning) << size << " bytes";
        if (size == face.size()) {
            ASSERT_NE(fromFile, nullptr);
            ASSERT_NE(fromBytes, nullptr);
            EXPECT_EQ(std::memcmp(fromFile, fromBytes, face.size()), 0);
        } else {
            EXPECT_EQ(fromFile, nullptr) << size << " bytes";
            EXPECT_EQ(fromBytes, nullptr) << size << " bytes";
            EXPECT_NE(fileWarning.find("wrong.float holds " + std::to_string(size) + " bytes"), std::string::npos)
                << size << " bytes: " << fileWarning;
        }
        std::free(fromFile);
        std::free(fromBytes);
    }
    EXPECT_EQ(vyxReadFloatFace(nullptr, "missing.float"), nullptr);

    // A device that never ends is refused after one face's bytes, not read for ever.
    const std::string endless =
        capture([] { EXPECT_EQ(vyxReadFloatFace(std::fopen("/dev/zero", "rb"), "endless.float"), nullptr); }).err;
    EXPECT_NE(endless.find("endless.float holds more than 786432 bytes"), std::string::npos) << endless;
}
