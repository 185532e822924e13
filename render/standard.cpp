#include "render/standard.h"

#include <cmath>

#include "trace/raystats.h"
#include "trace/shade.h"
#include "trace/shadow.h"
#include "util/assert.h"

// Mean absolute channel difference relative to the reference brightness b; the channel
// order (g, r, b) and the 0.33 factor are part of the renderer's look.
static float relativeDifference(vyxVec3 reference, vyxVec3 other, float brightness) {
    float sum = std::fabs(reference.y - other.y) + std::fabs(reference.x - other.x) + std::fabs(reference.z - other.z);
    return sum * 0.33f / brightness;
}

static void shadePrimaries(const vyxScene& scene, const vyxVec3* origins, const vyxVec3* directions, int count,
                           const vyxRenderSettings& settings, vyxVec3* colours) {
    for (int i = 0; i < count; ++i)
        VYX_COUNT_RAY(primary);
    vyxShadeRays(scene, origins, directions, count, settings.maxDepth, settings, colours);
}

vyxVec3 vyxAntialiasQuad(const vyxScene& scene, vyxVec3 origin, vyxVec3 d00, vyxVec3 d10, vyxVec3 d01, vyxVec3 d11,
                         vyxVec3 c00, vyxVec3 c10, vyxVec3 c01, vyxVec3 c11, int depth,
                         const vyxRenderSettings& settings) {
    if (depth <= 0) {
        return c00;
    }
    // A black reference makes every non-zero difference infinite (refine) and a zero
    // difference NaN (no refinement): IEEE comparisons give exactly that.
    float brightness = (c00.x + c00.y + c00.z) * 0.33f;
    bool refine = relativeDifference(c00, c10, brightness) > settings.aaThreshold ||
                  relativeDifference(c00, c01, brightness) > settings.aaThreshold ||
                  relativeDifference(c00, c11, brightness) > settings.aaThreshold;
    if (!refine) {
        return c00;
    }

    // Directions are affine in the image position, so the mean of two corner directions
    // is the direction of the midpoint.
    vyxVec3 top = (d00 + d10) * 0.5f;
    vyxVec3 left = (d00 + d01) * 0.5f;
    vyxVec3 centre = (d00 + d11) * 0.5f;
    vyxVec3 right = (d10 + d11) * 0.5f;
    vyxVec3 bottom = (d01 + d11) * 0.5f;
    const vyxVec3 origins[5] = {origin, origin, origin, origin, origin};
    const vyxVec3 directions[5] = {top, left, centre, right, bottom};
    vyxVec3 colours[5];
    shadePrimaries(scene, origins, directions, 5, settings, colours);
    vyxVec3 cT = colours[0], cL = colours[1], cC = colours[2], cR = colours[3], cB = colours[4];

    int next = depth - 1;
    vyxVec3 sum = vyxAntialiasQuad(scene, origin, d00, top, left, centre, c00, cT, cL, cC, next, settings);
    sum += vyxAntialiasQuad(scene, origin, top, d10, centre, right, cT, c10, cC, cR, next, settings);
    sum += vyxAntialiasQuad(scene, origin, left, centre, d01, bottom, cL, cC, c01, cB, next, settings);
    sum += vyxAntialiasQuad(scene, origin, centre, right, bottom, d11, cC, cR, cB, c11, next, settings);
    return sum * 0.25f;
}

void vyxShadeRow(const vyxScene& scene, const vyxCamera& camera, int y, vyxVec3* out,
                 const vyxRenderSettings& settings) {
    VYX_ASSERT_GE(y, 0);
    VYX_ASSERT_LT(static_cast<uint32_t>(y), camera.imageHeight);
    int width = static_cast<int>(camera.imageWidth);
    vyxSeedJitter(settings.jitterSeed, static_cast<uint32_t>(y) * 2u);
    // A run of neighbouring pixels at a time, shaded together.
    const int kRun = 64;
    vyxVec3 origins[kRun], directions[kRun];
    for (int begin = 0; begin < width; begin += kRun) {
        const int n = width - begin < kRun ? width - begin : kRun;
        for (int i = 0; i < n; ++i) {
            // x + 0.0f is x exactly: without an offset the rays are the corner rays.
            vyxPrimaryRay(camera, static_cast<float>(begin + i) + settings.pixelOffsetX,
                          static_cast<float>(y) + settings.pixelOffsetY, origins[i], directions[i]);
        }
        shadePrimaries(scene, origins, directions, n, settings, out + begin);
    }
}

void vyxAntialiasRow(const vyxScene& scene, const vyxCamera& camera, int y, const vyxVec3* firstPass, vyxVec3* out,
                     int width, int height, const vyxRenderSettings& settings) {
    VYX_ASSERT_EQ(static_cast<uint32_t>(width), camera.imageWidth);
    VYX_ASSERT_EQ(static_cast<uint32_t>(height), camera.imageHeight);
    if (y < 0 || y + 1 >= height) {
        return;
    }
    const vyxVec3* row = firstPass + static_cast<size_t>(y) * width;
    vyxAntialiasRowFrom(scene, camera, y, row, row + width, out + static_cast<size_t>(y) * width, settings);
}

void vyxAntialiasRowFrom(const vyxScene& scene, const vyxCamera& camera, int y, const vyxVec3* row,
                         const vyxVec3* below, vyxVec3* target, const vyxRenderSettings& settings) {
    VYX_ASSERT_GE(y, 0);
    VYX_ASSERT_LT(static_cast<uint32_t>(y) + 1u, camera.imageHeight);
    int width = static_cast<int>(camera.imageWidth);
    float top = static_cast<float>(y);
    float bottom = static_cast<float>(y + 1);
    vyxSeedJitter(settings.jitterSeed, static_cast<uint32_t>(y) * 2u + 1u);
    for (int x = 0; x + 1 < width; ++x) {
        vyxVec3 origin, d00, d10, d01, d11;
        float left = static_cast<float>(x);
        float right = static_cast<float>(x + 1);
        vyxPrimaryRay(camera, left, top, origin, d00);
        vyxPrimaryRay(camera, right, top, origin, d10);
        vyxPrimaryRay(camera, left, bottom, origin, d01);
        vyxPrimaryRay(camera, right, bottom, origin, d11);
        // Read all four first-pass colours before the pixel is replaced: when target is
        // row, (x, y) itself is read here and overwritten just below.
        vyxVec3 c00 = row[x];
        vyxVec3 c10 = row[x + 1];
        vyxVec3 c01 = below[x];
        vyxVec3 c11 = below[x + 1];
        target[x] =
            vyxAntialiasQuad(scene, origin, d00, d10, d01, d11, c00, c10, c01, c11, settings.aaLevels, settings);
    }
}

void vyxRenderStandard(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                       const vyxRenderSettings& settings) {
    VYX_ASSERT_EQ(static_cast<uint32_t>(image.width), camera.imageWidth);
    VYX_ASSERT_EQ(static_cast<uint32_t>(image.height), camera.imageHeight);
    if (!vyxFrameFitsCamera(image, camera)) {
        return;
    }
    int width = image.width;
    int height = image.height;
    for (int y = 0; y < height; ++y) {
        vyxShadeRow(scene, camera, y, image.pixels + static_cast<size_t>(y) * width, settings);
    }
    // Top to bottom, left to right, each pixel replaced right after its own quad: every
    // quad still sees first-pass colours only, so the image can be its own source.
    if ((settings.flags & RenderAntialias) != 0 && height > 1) {
        for (int y = 0; y + 1 < height; ++y) {
            vyxAntialiasRow(scene, camera, y, image.pixels, image.pixels, width, height, settings);
        }
    }
}
