#pragma once
// The standard renderer: one primary ray per pixel through its top-left corner, then an
// optional adaptive antialiasing pass that works only from first-pass colours.

#include "geometry/scene.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/settings.h"

// Renders the whole frame on the calling thread (first pass, then antialiasing when
// RenderAntialias is set and the image has more than one row). The image must fit the
// camera (vyxFrameFitsCamera); in release builds one that does not is left as it is.
void vyxRenderStandard(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                       const vyxRenderSettings& settings);

// Shades image row y (0 .. camera.imageHeight - 1) into out[0 .. camera.imageWidth - 1],
// pixel x through image position (x + settings.pixelOffsetX, y + settings.pixelOffsetY).
void vyxShadeRow(const vyxScene& scene, const vyxCamera& camera, int y, vyxVec3* out,
                 const vyxRenderSettings& settings);

// Antialiases row y (y < height - 1; other rows are left alone) reading first-pass
// colours from firstPass (a full image of the camera's width x height) and writing
// columns 0 .. width - 2 of row y into out (a full image; may equal firstPass only when
// rows are processed top to bottom on one thread).
void vyxAntialiasRow(const vyxScene& scene, const vyxCamera& camera, int y, const vyxVec3* firstPass, vyxVec3* out,
                     int width, int height, const vyxRenderSettings& settings);

// The same for row y (y < camera.imageHeight - 1) from its own first-pass colours row
// and those of the row below, each camera.imageWidth colours, into target (columns
// 0 .. width - 2; may equal row, not below). For parts of an image held apart.
void vyxAntialiasRowFrom(const vyxScene& scene, const vyxCamera& camera, int y, const vyxVec3* row,
                         const vyxVec3* below, vyxVec3* target, const vyxRenderSettings& settings);

// Adaptive supersample of one quad: directions and first-pass colours of its corners.
vyxVec3 vyxAntialiasQuad(const vyxScene& scene, vyxVec3 origin, vyxVec3 d00, vyxVec3 d10, vyxVec3 d01, vyxVec3 d11,
                         vyxVec3 c00, vyxVec3 c10, vyxVec3 c01, vyxVec3 c11, int depth,
                         const vyxRenderSettings& settings);
