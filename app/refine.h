#pragma once
// vyxRefinement: decides frame by frame whether the view stands still, so that the frame
// adds one more sample a pixel to the running mean of the earlier ones, or has changed,
// so that the picture starts over. The game state describes its view as bytes; nothing
// here needs a window.

#include <cstddef>
#include <cstdint>
#include <vector>

enum vyxRefineAction : int32_t {
    RefineFresh,  // the view changed or may not refine: trace the preset's own picture
    RefineSample, // the view is the previous frame's: trace sample sampleIndex and add it
    RefineIdle,   // the view is still and the mean holds cap samples: trace nothing
};

struct vyxRefineStep {
    vyxRefineAction action;
    // RefineSample: the sample's index (its sub-pixel offset), which is also the number of
    // samples the mean holds before it; 0 otherwise.
    int32_t sampleIndex;
    // RefineSample: how many samples this frame adds (sampleIndex, sampleIndex + 1, ...);
    // 0 otherwise.
    int32_t sampleCount;
};

struct vyxRefinement {
    int32_t cap;                     // set by caller: samples a pixel at which a still view idles (>= 1)
    int32_t sampleCount;             // derived: samples a pixel in the mean after the last planned frame
    vyxRefineAction last;            // derived: the last planned action
    std::vector<unsigned char> view; // derived: the last frame's view; empty = the next frame is fresh
};

// A refinement that idles at cap samples (values below 1 count as 1), its next frame fresh.
vyxRefinement vyxMakeRefinement(int32_t cap);

// Plans the next frame from its view: viewBytes bytes at view, compared byte for byte with
// the previous frame's (any difference is a change). freshIsSample: the preset's own
// picture counts as the first sample (the standard renderer's first pass traces every
// pixel at offset 0; the subdivision renderer's interpolated picture does not, and the
// first sample replaces it). refinable = false makes every frame fresh (a picture that
// must stay the preset's). A still frame adds up to samplesPerFrame samples (at least 1;
// fewer when the cap is nearer). Updates the record as if the step were carried out; a
// caller that cannot carry it out calls vyxRefineReset.
vyxRefineStep vyxRefinePlan(vyxRefinement& refinement, const void* view, size_t viewBytes, bool freshIsSample,
                            bool refinable, int32_t samplesPerFrame = 1);

// Forgets the view, so that the next frame is fresh whatever it shows: for what the view
// bytes do not cover (reloaded assets, a new presentation image) and for failed frames.
void vyxRefineReset(vyxRefinement& refinement);
