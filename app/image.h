#pragma once
// Texture images decoded through SDL_image: conversion of any decoded surface to RGBA
// bytes and the loading of one image file into a vyxTexture.

#include <cstdint>
#include <string>

#include "SDL.h"
#include "trace/texture.h"

// Converts surface (any pixel format) to a malloc'd width × height × 4 byte array,
// R, G, B, A per texel, top row first; an image without alpha gets alpha 255, and
// colour-keyed texels come out as transparent black. Always frees surface. Returns null
// and sets width and height to 0 when surface is null, empty, wider or taller than
// 16383 texels, or memory runs out. The caller frees the array with free().
uint8_t* vyxSurfaceToRGBA(SDL_Surface* surface, int32_t& width, int32_t& height);

// Loads the PNG, JPEG or other image at path into texture: 4 byte channels, the given
// filter, WrapRepeat both ways. A side that is not a power of two is resampled up to the
// next one, so that repeat addressing tiles the whole picture. A CMYK JPEG is converted
// to RGB and a JPEG cut short is loaded with a warning (its missing rows are grey), both
// on stderr. When the file cannot be read or decoded, texture.data is null and the size
// 0 × 0, a warning goes to stderr and the result is false. texture.data is the caller's
// to free().
bool vyxLoadImageTexture(const char* path, vyxTexture& texture, uint8_t filter);

// The same for an image file's bytes already in memory: hint is the format the name or
// the model file gives ("png", "jpg", "tga"; may be null or empty: most formats are
// recognised by their content, TGA only by this hint), name what warnings call it.
bool vyxDecodeImageTexture(const std::string& bytes, const char* hint, const char* name, vyxTexture& texture,
                           uint8_t filter);
