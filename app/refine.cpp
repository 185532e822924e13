#include "app/refine.h"

#include <cstring>

vyxRefinement vyxMakeRefinement(int32_t cap) {
    vyxRefinement refinement;
    refinement.cap = cap < 1 ? 1 : cap;
    refinement.sampleCount = 0;
    refinement.last = RefineFresh;
    return refinement;
}

vyxRefineStep vyxRefinePlan(vyxRefinement& refinement, const void* view, size_t viewBytes, bool freshIsSample,
                            bool refinable, int32_t samplesPerFrame) {
    const unsigned char* bytes = static_cast<const unsigned char*>(view);
    bool same = refinable && !refinement.view.empty() && refinement.view.size() == viewBytes &&
                std::memcmp(refinement.view.data(), bytes, viewBytes) == 0;
    vyxRefineStep step = {RefineFresh, 0, 0};
    if (!same) {
        refinement.view.assign(bytes, bytes + viewBytes);
        refinement.sampleCount = refinable && freshIsSample ? 1 : 0;
    } else if (refinement.sampleCount >= refinement.cap) {
        step.action = RefineIdle;
    } else {
        step.action = RefineSample;
        step.sampleIndex = refinement.sampleCount;
        const int32_t left = refinement.cap - refinement.sampleCount;
        step.sampleCount = samplesPerFrame < 1 ? 1 : (samplesPerFrame < left ? samplesPerFrame : left);
        refinement.sampleCount += step.sampleCount;
    }
    refinement.last = step.action;
    return step;
}

void vyxRefineReset(vyxRefinement& refinement) {
    refinement.view.clear();
    refinement.sampleCount = 0;
    refinement.last = RefineFresh;
}
