#include "render/accumulate.h"

#include <cmath>

#include "render/frame.h"
#include "util/assert.h"
#include "util/parallel.h"

// The digits of index in base, mirrored about the point: 0.d1 d2 d3 ... in that base.
static float radicalInverse(uint32_t index, uint32_t base) {
    double inverseBase = 1.0 / base;
    double scale = inverseBase;
    double value = 0.0;
    for (; index > 0; index /= base, scale *= inverseBase)
        value += static_cast<double>(index % base) * scale;
    // Rounded down, so that a value just below 1 does not become 1 as a float.
    float result = static_cast<float>(value);
    return result < 1.0f ? result : std::nextafter(1.0f, 0.0f);
}

void vyxSampleOffset(int32_t index, float& x, float& y) {
    VYX_ASSERT_GE(index, 0);
    uint32_t i = index < 0 ? 0u : static_cast<uint32_t>(index);
    x = radicalInverse(i, 2);
    y = radicalInverse(i, 3);
}

vyxRenderSettings vyxStillSampleSettings(const vyxRenderSettings& settings, int32_t index) {
    vyxRenderSettings sample = settings;
    const int32_t kept = RenderThreaded | RenderAmbientOcclusion;
    sample.flags = (settings.flags & kept) | RenderStandard | RenderSampleDiscArea;
    vyxSampleOffset(index, sample.pixelOffsetX, sample.pixelOffsetY);
    return sample;
}

void vyxRenderStillSample(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                          const vyxRenderSettings& settings, int32_t index) {
    vyxRenderSettings sample = vyxStillSampleSettings(settings, index);
    vyxRenderFrame(scene, camera, image, sample);
}

static bool isFinite(vyxVec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Rows per block of the accumulation's work on the pool.
static constexpr int kAccumulateRows = 32;

void vyxAccumulateSample(FrameBuffer& mean, FrameBuffer& sample, int32_t samplesBefore) {
    if (mean.pixels == nullptr || sample.pixels == nullptr || mean.width != sample.width ||
        mean.height != sample.height)
        return;
    VYX_ASSERT_GE(samplesBefore, 0);
    const int width = mean.width;
    const int height = mean.height;
    const float weight = 1.0f / static_cast<float>(samplesBefore < 0 ? 1 : samplesBefore + 1);
    const bool first = samplesBefore <= 0;
    int blocks = (height + kAccumulateRows - 1) / kAccumulateRows;
    vyxParallelFor(blocks, vyxWorkerCores(), [&](int block) {
        int rowEnd = (block + 1) * kAccumulateRows < height ? (block + 1) * kAccumulateRows : height;
        size_t end = static_cast<size_t>(rowEnd) * width;
        for (size_t i = static_cast<size_t>(block) * kAccumulateRows * width; i < end; ++i) {
            vyxVec3& m = mean.pixels[i];
            vyxVec3& s = sample.pixels[i];
            if (first)
                m = s;
            else if (isFinite(s))
                m = isFinite(m) ? m + (s - m) * weight : s; // a first sample that was not finite is dropped
            s = m;
        }
    });
}
