#pragma once
// FrameBuffer: a float RGB image, width x height colours in row-major order, row 0 at
// the top. The renderers write it; the presentation reads it.

#include <cstdint>

#include "geometry/vec3.h"

struct vyxCamera;

struct FrameBuffer {
    int32_t width;
    int32_t height;
    vyxVec3* pixels; // width * height colours, malloc'd, owned
};

// Allocates an uninitialised width x height frame; on failure (or a size of 0 or
// less) pixels is null and both sizes 0. The last frame freed is kept and handed out
// again for the same size, so that a frame allocated anew every frame costs no fresh
// memory (whose first touch the kernel would have to clear). Any thread.
FrameBuffer vyxAllocFrame(int32_t width, int32_t height);
// Frees pixels (or keeps them for the next vyxAllocFrame of that size) and zeroes the
// record; safe on a zeroed frame. Any thread.
void vyxFreeFrame(FrameBuffer& frame);

// Whether frame can hold camera's image: pixels allocated, camera.imageWidth x
// imageHeight. The renderers require it; vyxRenderFrame checks it first.
bool vyxFrameFitsCamera(const FrameBuffer& frame, const vyxCamera& camera);
