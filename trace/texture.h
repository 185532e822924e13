#pragma once
// vyxTexture and vyxCubeMap: texel storage, the four lookups, the environment cube map
// and the raw float face reader. Texture coordinate v = 0 is the bottom row; data holds
// the top row first. Lookups only read and may run on any number of threads at once.

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum : uint8_t { StorageBytes = 1, StorageFloats = 2 };
enum : uint8_t { FilterNearest = 1, FilterBilinear = 2 };
enum : uint8_t { WrapClamp = 1, WrapRepeat = 2 };

struct vyxTexture {
    int32_t width;
    int32_t height;
    void* data;       // texels, top row first, malloc'd; null when the texture has no image; owned by the builder
    uint8_t channels; // 1 L, 2 LA, 3 RGB, 4 RGBA
    uint8_t storage;  // StorageBytes or StorageFloats
    uint8_t filter;   // FilterNearest or FilterBilinear
    uint8_t wrapU;    // WrapClamp clamps; anything else masks with width - 1
    uint8_t wrapV;
    // Derived by vyxTextureNoteAlpha: 1 when the texture has an alpha channel that is full
    // in every texel (255, or 1.0 for floats), so that every lookup gives alpha exactly 1
    // and a surface under it stops light like one without alpha (filtering would
    // otherwise round some to just below 1); 0 = not known.
    uint8_t alphaFull;
};

// Six faces in the order +X, -X, +Y, -Y, +Z, -Z; a null face is absent.
struct vyxCubeMap {
    vyxTexture* faces[6];
};

// Bytes of one float face file: 256 x 256 RGB float texels.
constexpr long vyxFloatFaceBytes = 256L * 256L * 3L * 4L;

// Fills every field (alphaFull as vyxTextureNoteAlpha finds it). data is stored only when width and height are both
// powers of two (halving meets no odd value above 1); otherwise data is null. Takes no ownership decision: the caller
// still owns data either way.
void vyxMakeTexture(vyxTexture& texture, int32_t width, int32_t height, void* data, uint8_t channels, uint8_t storage,
                    uint8_t filter, uint8_t wrapU, uint8_t wrapV);

// Sets texture.alphaFull from its texels (0 without data or without an alpha channel).
// Call whenever data changes; reads every texel once.
void vyxTextureNoteAlpha(vyxTexture& texture);

// RGBA at (u, v) into rgba[4]. Writes nothing when data is null or the storage, filter
// or channel count is unknown, so callers initialise rgba (black, alpha 1). A texture
// with data has power-of-two sides, as vyxMakeTexture keeps it: repeat addressing masks
// with them.
void vyxSampleTexture(const vyxTexture& texture, float u, float v, float rgba[4]);
void vyxSampleNearestBytes(const vyxTexture& texture, float u, float v, float rgba[4]);
void vyxSampleBilinearBytes(const vyxTexture& texture, float u, float v, float rgba[4]);
void vyxSampleNearestFloats(const vyxTexture& texture, float u, float v, float rgba[4]);
void vyxSampleBilinearFloats(const vyxTexture& texture, float u, float v, float rgba[4]);

// Environment colour along (x, y, z) (any length) into rgba[4]; writes nothing when the
// chosen face is absent.
void vyxSampleCubeMap(const vyxCubeMap& cubeMap, float x, float y, float z, float rgba[4]);

// Reads one face file opened "rb" by the caller and closes it (file may be null: then
// nothing is read). Returns a malloc'd array of vyxFloatFaceBytes (65536 RGB float
// texels, top row first) that the caller frees with free(), or null with a warning on
// stderr naming `name` when the file holds any other number of bytes. Texels that are
// NaN or negative become 0, those above 65504 (infinity included) 65504, with one
// warning giving their count.
float* vyxReadFloatFace(FILE* file, const char* name = "face file");

// The same for a face file's size bytes already in memory (bytes may be null when size
// is 0): the same result and messages as vyxReadFloatFace gives for a file holding them.
float* vyxReadFloatFaceFromBytes(const void* bytes, size_t size, const char* name = "face file");
