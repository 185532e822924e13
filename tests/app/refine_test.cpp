// The refinement's plan frame by frame: a still view adds samples, any change starts over
// in the same frame, the cap idles, and a picture that may not refine never does.

#include "app/refine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Frame {
    std::string view;
    bool freshIsSample; // the standard renderer's picture
    bool refinable;
    bool resetBefore;
    vyxRefineAction action;
    int32_t sampleIndex;
    int32_t sampleCount; // after the frame
};

const bool kStandard = true, kSubdivision = false, kRefinable = true, kFixed = false, kReset = true;

} // namespace

TEST(Refinement, PlansFrameByFrame) {
    struct Case {
        const char* name;
        int32_t cap;
        std::vector<Frame> frames;
    } cases[] = {
        {"the standard picture is sample 0; the cap idles until the view changes",
         3,
         {{"a", kStandard, kRefinable, false, RefineFresh, 0, 1},
          {"a", kStandard, kRefinable, false, RefineSample, 1, 2},
          {"a", kStandard, kRefinable, false, RefineSample, 2, 3},
          {"a", kStandard, kRefinable, false, RefineIdle, 0, 3},
          {"a", kStandard, kRefinable, false, RefineIdle, 0, 3},
          {"b", kStandard, kRefinable, false, RefineFresh, 0, 1}}},
        {"the subdivision picture is replaced by sample 0",
         2,
         {{"a", kSubdivision, kRefinable, false, RefineFresh, 0, 0},
          {"a", kSubdivision, kRefinable, false, RefineSample, 0, 1},
          {"a", kSubdivision, kRefinable, false, RefineSample, 1, 2},
          {"a", kSubdivision, kRefinable, false, RefineIdle, 0, 2}}},
        {"any change starts over in the same frame, a longer view too",
         256,
         {{"a", kStandard, kRefinable, false, RefineFresh, 0, 1},
          {"a", kStandard, kRefinable, false, RefineSample, 1, 2},
          {"b", kStandard, kRefinable, false, RefineFresh, 0, 1},
          {"b", kStandard, kRefinable, false, RefineSample, 1, 2},
          {"bb", kStandard, kRefinable, false, RefineFresh, 0, 1},
          {"a", kSubdivision, kRefinable, false, RefineFresh, 0, 0}}},
        {"a reset makes the same view fresh",
         256,
         {{"a", kStandard, kRefinable, false, RefineFresh, 0, 1},
          {"a", kStandard, kRefinable, false, RefineSample, 1, 2},
          {"a", kStandard, kRefinable, kReset, RefineFresh, 0, 1},
          {"a", kStandard, kRefinable, false, RefineSample, 1, 2}}},
        {"a picture that may not refine stays fresh; allowed again, sample 0 replaces it",
         256,
         {{"a", kSubdivision, kFixed, false, RefineFresh, 0, 0},
          {"a", kSubdivision, kFixed, false, RefineFresh, 0, 0},
          {"a", kSubdivision, kRefinable, false, RefineSample, 0, 1}}},
    };
    for (const Case& c : cases) {
        vyxRefinement refinement = vyxMakeRefinement(c.cap);
        for (size_t n = 0; n < c.frames.size(); ++n) {
            const Frame& f = c.frames[n];
            if (f.resetBefore)
                vyxRefineReset(refinement);
            vyxRefineStep step = vyxRefinePlan(refinement, f.view.data(), f.view.size(), f.freshIsSample, f.refinable);
            EXPECT_EQ(step.action, f.action) << c.name << ", frame " << n;
            EXPECT_EQ(step.sampleIndex, f.sampleIndex) << c.name << ", frame " << n;
            EXPECT_EQ(refinement.sampleCount, f.sampleCount) << c.name << ", frame " << n;
            EXPECT_EQ(refinement.last, f.action) << c.name << ", frame " << n;
        }
    }
    EXPECT_EQ(vyxMakeRefinement(0).cap, 1) << "a cap below 1 is 1";
}
