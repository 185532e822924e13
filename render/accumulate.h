#pragma once
// Still views that refine: the sub-pixel offsets of successive samples, one sample of a
// still view, and the running mean the samples are added to. The mean is kept as traced,
// before any post-processing, so that exposure and gamma apply to the mean.

#include <cstdint>

#include "geometry/scene.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/settings.h"

// The sub-pixel offset of sample index (0, 1, ...; x, y in [0, 1)): the Halton points of
// bases 2 and 3, which cover the pixel evenly after any number of samples. Sample 0 is
// (0, 0), the pixel corner the renderers' own primary rays pass through.
void vyxSampleOffset(int32_t index, float& x, float& y);

// The settings vyxRenderStillSample traces sample index with: the standard first pass at
// the sample's sub-pixel offset, disc lights sampled over their area, threading and
// ambient occlusion as settings has them.
vyxRenderSettings vyxStillSampleSettings(const vyxRenderSettings& settings, int32_t index);

// Renders sample index of a still view into image: the standard renderer's first pass,
// every pixel traced once at vyxSampleOffset(index), no antialiasing pass, disc lights
// sampled over their area (RenderSampleDiscArea). Threading and ambient occlusion follow
// settings.flags; the other flags are replaced and settings itself is not changed. Same
// requirements and failure behaviour as vyxRenderFrame.
void vyxRenderStillSample(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                          const vyxRenderSettings& settings, int32_t index);

// Adds sample to mean, the running mean of samplesBefore samples (0: mean becomes a copy
// of sample), then copies the new mean into sample, so that sample can be post-processed
// in place while mean goes on. A sample pixel that is not finite leaves its mean pixel as
// it was (it counts as a sample equal to the mean so far), and a mean pixel that is not
// finite takes the next finite sample: a NaN would otherwise stay in the mean for good. Both frames allocated, of the
// same size (anything else is left untouched). Main thread; rows are shared out on the
// worker pool.
void vyxAccumulateSample(FrameBuffer& mean, FrameBuffer& sample, int32_t samplesBefore);
