#include "trace/texture.h"

#include <emmintrin.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "util/assert.h"
#include "util/escape.h"

static bool isPowerOfTwo(int32_t value) { return value > 0 && (value & (value - 1)) == 0; }

void vyxMakeTexture(vyxTexture& texture, int32_t width, int32_t height, void* data, uint8_t channels, uint8_t storage,
                    uint8_t filter, uint8_t wrapU, uint8_t wrapV) {
    texture.width = width;
    texture.height = height;
    // Repeat addressing masks with size - 1, which tiles evenly only for powers of two;
    // a zero or negative size would make the mask address memory outside the texels.
    texture.data = isPowerOfTwo(width) && isPowerOfTwo(height) ? data : nullptr;
    texture.channels = channels;
    texture.storage = storage;
    texture.filter = filter;
    texture.wrapU = wrapU;
    texture.wrapV = wrapV;
    vyxTextureNoteAlpha(texture);
}

// Whether every texel's last channel (of `channels`) equals full.
template <typename Texel>
static bool lastChannelFull(const Texel* texels, size_t count, int channels, Texel full) {
    for (size_t i = 0; i < count; ++i)
        if (texels[i * static_cast<size_t>(channels) + static_cast<size_t>(channels - 1)] != full)
            return false;
    return true;
}

void vyxTextureNoteAlpha(vyxTexture& texture) {
    texture.alphaFull = 0;
    if (!texture.data || texture.width <= 0 || texture.height <= 0 || (texture.channels != 2 && texture.channels != 4))
        return;
    const size_t count = static_cast<size_t>(texture.width) * static_cast<size_t>(texture.height);
    bool full = false;
    if (texture.storage == StorageBytes)
        full = lastChannelFull(static_cast<const uint8_t*>(texture.data), count, texture.channels, uint8_t{255});
    else if (texture.storage == StorageFloats)
        full = lastChannelFull(static_cast<const float*>(texture.data), count, texture.channels, 1.0f);
    texture.alphaFull = full ? 1 : 0;
}

static int32_t wrapIndex(int32_t index, int32_t size, uint8_t mode) {
    if (mode == WrapClamp) {
        int32_t clamped = index < size - 1 ? index : size - 1;
        return clamped > 0 ? clamped : 0;
    }
    // size - 1 is non-negative, so the result lies in 0 .. size - 1 for any index.
    return index & (size - 1);
}

namespace {

// Where a lookup reads: the texel the position in texels falls in (x, y), truncated
// toward zero, and what is left over (ax, ay: fx - x and fy - y, negative left of and
// below the origin). Callers check usable() first.
struct Addressing {
    int32_t x, y;
    float ax, ay;
};

} // namespace

static bool usable(const vyxTexture& texture) {
    return texture.data && texture.width > 0 && texture.height > 0 && texture.channels >= 1 && texture.channels <= 4;
}

// The position in texels is u × width and v × height, both axes at once. A NaN or
// infinite coordinate reads as 0, and the product is clamped to ±2^30 so that the
// truncation to int (and the +1 of the bilinear neighbour) is always defined; ordinary
// coordinates are far inside that range and keep their exact value. The sides being
// powers of two, the products are exact in single precision (a product beyond the
// largest float becomes infinite, which the clamp takes like any other beyond 2^30), and
// so are the remainders after truncation.
static Addressing address(const vyxTexture& texture, float u, float v) {
    const __m128 coordinate = _mm_setr_ps(u, v, 0.0f, 0.0f);
    const __m128 magnitude = _mm_and_ps(coordinate, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
    const __m128 finite = _mm_cmplt_ps(magnitude, _mm_set1_ps(INFINITY)); // false for NaN
    const __m128 size = _mm_cvtepi32_ps(_mm_setr_epi32(texture.width, texture.height, 0, 0));
    const __m128 limit = _mm_set1_ps(1073741824.0f);
    __m128 scaled = _mm_min_ps(_mm_max_ps(_mm_mul_ps(coordinate, size), _mm_sub_ps(_mm_setzero_ps(), limit)), limit);
    scaled = _mm_and_ps(scaled, finite);
    const __m128i whole = _mm_cvttps_epi32(scaled);
    const __m128 fraction = _mm_sub_ps(scaled, _mm_cvtepi32_ps(whole));
    Addressing a;
    a.x = _mm_cvtsi128_si32(whole);
    a.y = _mm_cvtsi128_si32(_mm_shuffle_epi32(whole, _MM_SHUFFLE(1, 1, 1, 1)));
    a.ax = _mm_cvtss_f32(fraction);
    a.ay = _mm_cvtss_f32(_mm_shuffle_ps(fraction, fraction, _MM_SHUFFLE(1, 1, 1, 1)));
    return a;
}

// What every lookup requires: somewhere to write, and sides that the masks of repeat
// addressing keep inside the texels.
static void assertLookup(const vyxTexture& texture, const float* rgba) {
    VYX_ASSERT_NE(rgba, nullptr);
    VYX_ASSERT(!texture.data || (isPowerOfTwo(texture.width) && isPowerOfTwo(texture.height)));
}

// Element offset of texel (column, row counted from the bottom), both unmapped.
static size_t texelOffset(const vyxTexture& texture, int32_t column, int32_t row) {
    size_t c = static_cast<size_t>(wrapIndex(column, texture.width, texture.wrapU));
    size_t r = static_cast<size_t>(wrapIndex(row, texture.height, texture.wrapV));
    size_t storedRow = static_cast<size_t>(texture.height) - 1 - r;
    return texture.channels * (c + static_cast<size_t>(texture.width) * storedRow);
}

// Expands channel values (already scaled to 0..1) to RGBA. A full alpha channel gives
// exactly 1, whatever the filter's arithmetic made of it.
static void expand(const vyxTexture& texture, const float* value, float rgba[4]) {
    switch (texture.channels) {
    case 1:
        rgba[0] = rgba[1] = rgba[2] = value[0];
        rgba[3] = 1.0f;
        break;
    case 2:
        rgba[0] = rgba[1] = rgba[2] = value[0];
        rgba[3] = value[1];
        break;
    case 3:
        rgba[0] = value[0];
        rgba[1] = value[1];
        rgba[2] = value[2];
        rgba[3] = 1.0f;
        break;
    default:
        rgba[0] = value[0];
        rgba[1] = value[1];
        rgba[2] = value[2];
        rgba[3] = value[3];
        break;
    }
    if (texture.alphaFull)
        rgba[3] = 1.0f;
}

template <typename Texel>
static void sampleNearest(const vyxTexture& texture, float u, float v, float scale, float rgba[4]) {
    assertLookup(texture, rgba);
    if (!usable(texture)) {
        return;
    }
    Addressing a = address(texture, u, v);
    const Texel* texel = static_cast<const Texel*>(texture.data) + texelOffset(texture, a.x, a.y);
    float value[4];
    for (int i = 0; i < texture.channels; ++i) {
        value[i] = static_cast<float>(texel[i]) / scale;
    }
    expand(texture, value, rgba);
}

// The channels of a texel of 3 or 4 channels as four floats (a fourth of 0 for three).
static inline __m128 lanes(const uint8_t* texel, int channels) {
    int32_t bytes;
    if (channels > 3)
        std::memcpy(&bytes, texel, 4);
    else
        bytes = texel[0] | (texel[1] << 8) | (texel[2] << 16);
    const __m128i zero = _mm_setzero_si128();
    const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero);
    return _mm_cvtepi32_ps(wide);
}

static inline __m128 lanes(const float* texel, int channels) {
    if (channels > 3)
        return _mm_loadu_ps(texel);
    // Two floats and the third, never a byte past the texel.
    const __m128 pair = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(texel));
    return _mm_movelh_ps(pair, _mm_load_ss(texel + 2));
}

// Channels is the texture's channel count when known here (the common formats get their
// own copy, with the offsets and the branches on it resolved), 0 otherwise.
template <typename Texel, int Channels>
static void sampleBilinear(const vyxTexture& texture, float u, float v, float scale, float rgba[4]) {
    assertLookup(texture, rgba);
    if (!usable(texture)) {
        return;
    }
    // Texel centres at integer coordinates; the fractions are negative left of and
    // below the origin because the coordinates are truncated toward zero.
    Addressing a = address(texture, u, v);
    const float ax = a.ax, ay = a.ay;
    // The texelOffset of the four neighbours, each column and row mapped once.
    const size_t c0 = static_cast<size_t>(wrapIndex(a.x, texture.width, texture.wrapU));
    const size_t c1 = static_cast<size_t>(wrapIndex(a.x + 1, texture.width, texture.wrapU));
    const size_t last = static_cast<size_t>(texture.height) - 1;
    const size_t row0 = (last - static_cast<size_t>(wrapIndex(a.y, texture.height, texture.wrapV))) * texture.width;
    const size_t row1 = (last - static_cast<size_t>(wrapIndex(a.y + 1, texture.height, texture.wrapV))) * texture.width;
    const Texel* data = static_cast<const Texel*>(texture.data);
    const size_t n = Channels ? Channels : texture.channels;
    const Texel* t00 = data + n * (c0 + row0);
    const Texel* t10 = data + n * (c1 + row0);
    const Texel* t01 = data + n * (c0 + row1);
    const Texel* t11 = data + n * (c1 + row1);
    if (n >= 3) {
        // Four channels side by side: the same operations in the same order per channel.
        const __m128 wx = _mm_set1_ps(ax), rx = _mm_set1_ps(1.0f - ax);
        const __m128 wy = _mm_set1_ps(ay), ry = _mm_set1_ps(1.0f - ay);
        const int k = static_cast<int>(n);
        const __m128 top = _mm_add_ps(_mm_mul_ps(rx, lanes(t01, k)), _mm_mul_ps(wx, lanes(t11, k)));
        const __m128 bottom = _mm_add_ps(_mm_mul_ps(wx, lanes(t10, k)), _mm_mul_ps(rx, lanes(t00, k)));
        __m128 value = _mm_div_ps(_mm_add_ps(_mm_mul_ps(wy, top), _mm_mul_ps(ry, bottom)), _mm_set1_ps(scale));
        // expand(): alpha 1 without an alpha channel or with a full one.
        if (k == 3 || texture.alphaFull) {
            const __m128 colour = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
            value = _mm_or_ps(_mm_and_ps(colour, value), _mm_andnot_ps(colour, _mm_set1_ps(1.0f)));
        }
        _mm_storeu_ps(rgba, value);
        return;
    }
    float value[4];
    for (int i = 0; i < texture.channels; ++i) {
        float top = (1.0f - ax) * static_cast<float>(t01[i]) + ax * static_cast<float>(t11[i]);
        float bottom = ax * static_cast<float>(t10[i]) + (1.0f - ax) * static_cast<float>(t00[i]);
        value[i] = (ay * top + (1.0f - ay) * bottom) / scale;
    }
    expand(texture, value, rgba);
}

void vyxSampleNearestBytes(const vyxTexture& texture, float u, float v, float rgba[4]) {
    sampleNearest<uint8_t>(texture, u, v, 255.0f, rgba);
}

void vyxSampleBilinearBytes(const vyxTexture& texture, float u, float v, float rgba[4]) {
    if (texture.channels == 4)
        sampleBilinear<uint8_t, 4>(texture, u, v, 255.0f, rgba);
    else
        sampleBilinear<uint8_t, 0>(texture, u, v, 255.0f, rgba);
}

void vyxSampleNearestFloats(const vyxTexture& texture, float u, float v, float rgba[4]) {
    sampleNearest<float>(texture, u, v, 1.0f, rgba);
}

void vyxSampleBilinearFloats(const vyxTexture& texture, float u, float v, float rgba[4]) {
    if (texture.channels == 3)
        sampleBilinear<float, 3>(texture, u, v, 1.0f, rgba);
    else
        sampleBilinear<float, 0>(texture, u, v, 1.0f, rgba);
}

void vyxSampleTexture(const vyxTexture& texture, float u, float v, float rgba[4]) {
    assertLookup(texture, rgba);
    if (!texture.data) {
        return;
    }
    if (texture.storage == StorageBytes) {
        if (texture.filter == FilterNearest) {
            vyxSampleNearestBytes(texture, u, v, rgba);
        } else if (texture.filter == FilterBilinear) {
            vyxSampleBilinearBytes(texture, u, v, rgba);
        }
    } else if (texture.storage == StorageFloats) {
        if (texture.filter == FilterNearest) {
            vyxSampleNearestFloats(texture, u, v, rgba);
        } else if (texture.filter == FilterBilinear) {
            vyxSampleBilinearFloats(texture, u, v, rgba);
        }
    }
}

void vyxSampleCubeMap(const vyxCubeMap& cubeMap, float x, float y, float z, float rgba[4]) {
    float ax = std::fabs(x);
    float ay = std::fabs(y);
    float az = std::fabs(z);
    int face;
    float u;
    float v;
    // Ties go to Y over X and to Z over both. Each quotient is a float before scaling.
    if (ay < ax && az < ax) {
        if (x > 0) {
            face = 0;
            u = (z / x) * 0.5f + 0.5f;
            v = (y / x) * 0.5f + 0.5f;
        } else {
            face = 1;
            u = 0.5f - (z / -x) * 0.5f;
            v = (y / -x) * 0.5f + 0.5f;
        }
    } else if (ay >= ax && az < ay) {
        if (y > 0) {
            face = 2;
            u = (x / y) * 0.5f + 0.5f;
            v = (z / y) * 0.5f + 0.5f;
        } else {
            face = 3;
            u = (x / -y) * 0.5f + 0.5f;
            v = 0.5f - (z / -y) * 0.5f;
        }
    } else if (z > 0) {
        face = 4;
        u = 0.5f - (x / z) * 0.5f;
        v = (y / z) * 0.5f + 0.5f;
    } else if (az > 0) {
        face = 5;
        u = (x / -z) * 0.5f + 0.5f;
        v = (y / -z) * 0.5f + 0.5f;
    } else {
        // The zero direction and directions with a NaN component end up here; they read
        // the centre of -Z instead of dividing by zero.
        face = 5;
        u = 0.5f;
        v = 0.5f;
    }
    if (cubeMap.faces[face]) {
        vyxSampleTexture(*cubeMap.faces[face], u, v, rgba);
    }
}

// Texel values a sky face may hold: light is never negative, and 65504 (the largest
// half-precision float) is far above any sky; beyond it a file is not what it claims.
static const float kMaxFaceTexel = 65504.0f;

// Turns the bytes of a face file (malloc'd room for one face, null when that could not
// be allocated; got = the file's size) into texels, or frees them and says why not.
static float* faceFromBytes(unsigned char* bytes, size_t got, const char* name) {
    const size_t faceBytes = static_cast<size_t>(vyxFloatFaceBytes);
    const size_t rowBytes = 256 * 3 * sizeof(float);
    if (!bytes) {
        std::fprintf(stderr, "vyx: out of memory reading %s\n", vyxEscapeText(name).c_str());
        return nullptr;
    }
    // A short file would leave texels unset; the face is dropped instead so the sky
    // never shows uninitialised memory.
    if (got != faceBytes) {
        std::fprintf(stderr, "vyx: %s holds %zu bytes, a face needs %zu; face ignored\n", vyxEscapeText(name).c_str(),
                     got, faceBytes);
        std::free(bytes);
        return nullptr;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    // The files hold little-endian floats.
    for (size_t i = 0; i < faceBytes; i += 4) {
        unsigned char t0 = bytes[i], t1 = bytes[i + 1];
        bytes[i] = bytes[i + 3];
        bytes[i + 1] = bytes[i + 2];
        bytes[i + 2] = t1;
        bytes[i + 3] = t0;
    }
#endif
    // The file stores the bottom row first; in memory the top row comes first.
    unsigned char row[rowBytes];
    for (size_t i = 0; i < 128; ++i) {
        unsigned char* a = bytes + i * rowBytes;
        unsigned char* b = bytes + (255 - i) * rowBytes;
        std::memcpy(row, a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, row, rowBytes);
    }
    float* texels = reinterpret_cast<float*>(bytes);
    size_t replaced = 0;
    for (size_t i = 0; i < faceBytes / sizeof(float); ++i) {
        float value = texels[i];
        if (value >= 0.0f && value <= kMaxFaceTexel)
            continue;
        texels[i] = std::isnan(value) || value < 0.0f ? 0.0f : kMaxFaceTexel;
        ++replaced;
    }
    if (replaced > 0)
        std::fprintf(stderr,
                     "vyx: %s: %zu texel values not finite or outside [0, %g] (a byte-swapped file?); NaN and "
                     "negative ones read as 0, larger ones as %g\n",
                     vyxEscapeText(name).c_str(), replaced, static_cast<double>(kMaxFaceTexel),
                     static_cast<double>(kMaxFaceTexel));
    return texels;
}

float* vyxReadFloatFaceFromBytes(const void* data, size_t size, const char* name) {
    const size_t faceBytes = static_cast<size_t>(vyxFloatFaceBytes);
    unsigned char* bytes = static_cast<unsigned char*>(std::malloc(faceBytes));
    if (bytes && size == faceBytes)
        std::memcpy(bytes, data, faceBytes);
    return faceFromBytes(bytes, size, name ? name : "face file");
}

float* vyxReadFloatFace(FILE* file, const char* name) {
    if (!file) {
        return nullptr;
    }
    const size_t faceBytes = static_cast<size_t>(vyxFloatFaceBytes);
    unsigned char* bytes = static_cast<unsigned char*>(std::malloc(faceBytes));
    size_t got = bytes ? std::fread(bytes, 1, faceBytes, file) : 0;
    // A longer file is some other format (a header would shift every texel). Its size is
    // taken from the file system, not by reading on: a pipe or a device such as
    // /dev/zero would never end.
    if (bytes && got == faceBytes && std::fgetc(file) != EOF) {
        struct stat status;
        if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) &&
            static_cast<unsigned long long>(status.st_size) > faceBytes) {
            got = static_cast<size_t>(status.st_size);
        } else {
            std::fprintf(stderr, "vyx: %s holds more than %zu bytes, a face needs %zu; face ignored\n",
                         name ? vyxEscapeText(name).c_str() : "face file", faceBytes, faceBytes);
            std::free(bytes);
            std::fclose(file);
            return nullptr;
        }
    }
    std::fclose(file);
    return faceFromBytes(bytes, got, name ? name : "face file");
}
