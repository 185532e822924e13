#include "app/image.h"

#include <cstdio>
#include <cstdlib>

#include "SDL_image.h"

// SDL 1.2 keeps a surface's pitch in 16 bits, so a 4-byte-per-texel row holds at most
// 16383 texels; the same bound is applied to the height.
static const int maxImageSide = 16383;

uint8_t* vyxSurfaceToRGBA(SDL_Surface* surface, int32_t& width, int32_t& height) {
    width = 0;
    height = 0;
    if (!surface) {
        return nullptr;
    }
    const int w = surface->w;
    const int h = surface->h;
    if (w <= 0 || h <= 0 || w > maxImageSide || h > maxImageSide) {
        SDL_FreeSurface(surface);
        return nullptr;
    }
    // Copy alpha instead of blending it over the destination.
    SDL_SetAlpha(surface, 0, 255);
    // Zeroed, so texels a colour key skips during the blit stay transparent black
    // rather than uninitialised.
    uint8_t* pixels = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(w) * static_cast<size_t>(h), 4));
    SDL_Surface* wrapper = pixels ? SDL_CreateRGBSurfaceFrom(pixels, w, h, 32, w * 4, 0x000000FFu,
                                                             0x0000FF00u, 0x00FF0000u, 0xFF000000u)
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

bool vyxLoadImageTexture(const char* path, vyxTexture& texture, uint8_t filter) {
    texture.width = 0;
    texture.height = 0;
    texture.data = nullptr;
    texture.channels = 4;
    texture.storage = StorageBytes;
    texture.filter = filter;
    texture.wrapU = WrapRepeat;
    texture.wrapV = WrapRepeat;
    if (!path) {
        return false;
    }
    SDL_Surface* surface = IMG_Load(path);
    if (!surface) {
        std::fprintf(stderr, "vyx: cannot load image %s: %s\n", path, IMG_GetError());
        return false;
    }
    int32_t w = 0;
    int32_t h = 0;
    uint8_t* pixels = vyxSurfaceToRGBA(surface, w, h);
    if (!pixels) {
        std::fprintf(stderr,
                     "vyx: cannot convert image %s (empty, larger than %d texels a side, or out of memory)\n",
                     path, maxImageSide);
        return false;
    }
    texture.width = w;
    texture.height = h;
    texture.data = pixels;
    return true;
}
