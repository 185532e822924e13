#include "app/image.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SDL_image.h"
#include "stb_image_resize.h"

#include "util/escape.h"
#include "util/file.h"

// SDL 1.2 keeps a surface's pitch in 16 bits, so a 4-byte-per-texel row holds at most
// 16383 texels; the same bound is applied to the height.
static const int kMaxImageSide = 16383;

uint8_t* vyxSurfaceToRGBA(SDL_Surface* surface, int32_t& width, int32_t& height) {
    width = 0;
    height = 0;
    if (!surface) {
        return nullptr;
    }
    const int w = surface->w;
    const int h = surface->h;
    if (w <= 0 || h <= 0 || w > kMaxImageSide || h > kMaxImageSide) {
        SDL_FreeSurface(surface);
        return nullptr;
    }
    // Copy alpha instead of blending it over the destination.
    SDL_SetAlpha(surface, 0, 255);
    // Zeroed, so texels a colour key skips during the blit stay transparent black
    // rather than uninitialised.
    uint8_t* pixels = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(w) * static_cast<size_t>(h), 4));
    SDL_Surface* wrapper =
        pixels ? SDL_CreateRGBSurfaceFrom(pixels, w, h, 32, w * 4, 0x000000FFu, 0x0000FF00u, 0x00FF0000u, 0xFF000000u)
               : nullptr;
    if (!wrapper || SDL_UpperBlit(surface, nullptr, wrapper, nullptr) < 0) {
        if (wrapper) {
            SDL_FreeSurface(wrapper);
        }
        std::free(pixels);
        SDL_FreeSurface(surface);
        return nullptr;
    }
    SDL_FreeSurface(wrapper);
    SDL_FreeSurface(surface);
    width = w;
    height = h;
    return pixels;
}

static unsigned byteAt(const std::string& bytes, size_t at) { return static_cast<unsigned char>(bytes[at]); }

static bool contains(const std::string& bytes, size_t from, size_t to, const char* text) {
    size_t length = std::strlen(text);
    for (size_t at = from; at + length <= to && at + length <= bytes.size(); ++at)
        if (std::memcmp(&bytes[at], text, length) == 0)
            return true;
    return false;
}

// A JPEG's decoder takes missing data as grey without an error, so a file cut short is
// recognised by its end marker (FF D9), which cannot occur inside the coded data; a few
// bytes of padding may follow it.
static bool jpegEndMissing(const std::string& bytes) {
    size_t from = bytes.size() > 256 ? bytes.size() - 256 : 0;
    return !contains(bytes, from, bytes.size(), "\xFF\xD9");
}

// Whether the JPEG's header segments (those before the scan) include Adobe's APP14.
static bool hasAdobeMarker(const std::string& bytes) {
    size_t at = 2;
    while (at + 4 <= bytes.size() && byteAt(bytes, at) == 0xFF && byteAt(bytes, at + 1) != 0xDA) {
        size_t length = static_cast<size_t>(byteAt(bytes, at + 2)) << 8 | byteAt(bytes, at + 3);
        if (byteAt(bytes, at + 1) == 0xEE && contains(bytes, at + 4, at + 2 + length, "Adobe"))
            return true;
        at += 2 + length;
    }
    return false;
}

// SDL_image hands a four-component (CMYK) JPEG over as a 32-bit surface with alpha whose
// bytes are C, M, Y, K. Converted here to RGBA: files with an Adobe marker (nearly every
// CMYK JPEG) store the inks inverted, others plainly. Frees surface; null when it is too
// large or memory runs out.
static uint8_t* cmykToRGBA(SDL_Surface* surface, bool adobe, int32_t& width, int32_t& height) {
    width = height = 0;
    const int w = surface->w, h = surface->h;
    uint8_t* pixels = w > 0 && h > 0 && w <= kMaxImageSide && h <= kMaxImageSide
                          ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w) * static_cast<size_t>(h) * 4))
                          : nullptr;
    if (pixels && SDL_LockSurface(surface) == 0) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* ink = static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch + 4 * x;
                uint8_t* out = pixels + 4 * (static_cast<size_t>(y) * w + x);
                unsigned k = adobe ? ink[3] : 255u - ink[3];
                for (int c = 0; c < 3; ++c)
                    out[c] = static_cast<uint8_t>((adobe ? ink[c] : 255u - ink[c]) * k / 255u);
                out[3] = 255;
            }
        SDL_UnlockSurface(surface);
        width = w;
        height = h;
    } else {
        std::free(pixels);
        pixels = nullptr;
    }
    SDL_FreeSurface(surface);
    return pixels;
}

static int32_t nextPowerOfTwo(int32_t value) {
    int32_t power = 1;
    while (power < value)
        power *= 2;
    return power;
}

// Repeat addressing masks texel indices with size - 1, which is only right for powers
// of two: other sizes are resampled up to the next power (wrapping at the edges, as the
// texture repeats). Replaces pixels; false (pixels untouched) when memory runs out.
static bool resampleToPowerOfTwo(uint8_t*& pixels, int32_t& width, int32_t& height) {
    int32_t newWidth = nextPowerOfTwo(width), newHeight = nextPowerOfTwo(height);
    if (newWidth == width && newHeight == height)
        return true;
    uint8_t* resampled = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(newWidth) * newHeight * 4));
    if (!resampled || !stbir_resize_uint8_srgb_edgemode(pixels, width, height, 0, resampled, newWidth, newHeight, 0, 4,
                                                        3, 0, STBIR_EDGE_WRAP)) {
        std::free(resampled);
        return false;
    }
    std::free(pixels);
    pixels = resampled;
    width = newWidth;
    height = newHeight;
    return true;
}

// The extension of path without its dot ("" when none): SDL_image recognises most
// formats by their content but TGA only by this name.
static std::string extensionOf(const char* path) {
    const char* dot = std::strrchr(path, '.');
    const char* slash = std::strrchr(path, '/');
    return dot && (!slash || dot > slash) ? std::string(dot + 1) : std::string();
}

// An empty texture with the fields every loaded image gets.
static void emptyTexture(vyxTexture& texture, uint8_t filter) {
    texture.width = 0;
    texture.height = 0;
    texture.data = nullptr;
    texture.channels = 4;
    texture.storage = StorageBytes;
    texture.filter = filter;
    texture.wrapU = WrapRepeat;
    texture.wrapV = WrapRepeat;
    texture.alphaFull = 0;
}

bool vyxLoadImageTexture(const char* path, vyxTexture& texture, uint8_t filter) {
    emptyTexture(texture, filter);
    if (!path) {
        return false;
    }
    std::string bytes, why;
    if (!vyxReadWholeFile(path, bytes, nullptr, &why)) {
        std::fprintf(stderr, "vyx: cannot load image %s: %s\n", vyxEscapeText(path).c_str(),
                     vyxEscapeText(why).c_str());
        return false;
    }
    return vyxDecodeImageTexture(bytes, extensionOf(path).c_str(), path, texture, filter);
}

bool vyxDecodeImageTexture(const std::string& bytes, const char* hint, const char* name, vyxTexture& texture,
                           uint8_t filter) {
    emptyTexture(texture, filter);
    SDL_RWops* stream =
        bytes.size() <= INT_MAX ? SDL_RWFromConstMem(bytes.data(), static_cast<int>(bytes.size())) : nullptr;
    std::string type = hint ? hint : "";
    SDL_Surface* surface = stream ? IMG_LoadTyped_RW(stream, 1, &type[0]) : nullptr;
    if (!surface) {
        std::fprintf(stderr, "vyx: cannot load image %s: %s\n", vyxEscapeText(name).c_str(),
                     stream ? vyxEscapeText(IMG_GetError()).c_str() : "too large");
        return false;
    }
    const bool jpeg =
        bytes.size() >= 3 && byteAt(bytes, 0) == 0xFF && byteAt(bytes, 1) == 0xD8 && byteAt(bytes, 2) == 0xFF;
    if (jpeg && jpegEndMissing(bytes))
        std::fprintf(stderr, "vyx: image %s: the JPEG data is cut short (no end marker); rows past the cut show grey\n",
                     vyxEscapeText(name).c_str());
    int32_t w = 0;
    int32_t h = 0;
    uint8_t* pixels = nullptr;
    if (jpeg && surface->format->BytesPerPixel == 4 && surface->format->Amask != 0) {
        pixels = cmykToRGBA(surface, hasAdobeMarker(bytes), w, h);
        if (pixels)
            std::fprintf(stderr, "vyx: image %s is a CMYK JPEG; converted to RGB\n", vyxEscapeText(name).c_str());
    } else {
        pixels = vyxSurfaceToRGBA(surface, w, h);
    }
    if (!pixels) {
        std::fprintf(stderr, "vyx: cannot convert image %s (empty, larger than %d texels a side, or out of memory)\n",
                     vyxEscapeText(name).c_str(), kMaxImageSide);
        return false;
    }
    if (!resampleToPowerOfTwo(pixels, w, h)) {
        std::fprintf(stderr, "vyx: out of memory resampling image %s to a power-of-two size\n",
                     vyxEscapeText(name).c_str());
        std::free(pixels);
        return false;
    }
    texture.width = w;
    texture.height = h;
    texture.data = pixels;
    vyxTextureNoteAlpha(texture);
    return true;
}
