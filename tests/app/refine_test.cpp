// The refinement's plan frame by frame: a still view adds samples, any change starts over
// in the same frame, the cap idles, and a picture that may not refine never does.

#include "app/refine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

TEST(Refinement, PlansFrameByFrame) {
    // Each frame: view, S/s = standard picture or not, r = refinable, ! = reset before; then
    // the action (F fresh, S sample, I idle), its index and the sample count after it.
    struct Case {
        const char* name;
        const char* frames;
    } cases[] = {
        {"standard: its picture is sample 0; idle at the cap until a change",
         "a Sr F0 1|a Sr S1 2|a Sr S2 3|a Sr I0 3|a Sr I0 3|b Sr F0 1"},
        {"subdivision: sample 0 replaces its picture", "a sr F0 0|a sr S0 1|a sr S1 2|a sr S2 3|a sr I0 3"},
        {"any change starts over at once, a longer view too", "a Sr F0 1|a Sr S1 2|b Sr F0 1|b Sr S1 2|bb Sr F0 1"},
        {"a reset makes the same view fresh", "a Sr F0 1|a Sr S1 2|a Sr! F0 1|a Sr S1 2"},
        {"may not refine: fresh until allowed", "a s- F0 0|a s- F0 0|a sr S0 1"},
    };
    for (const Case& c : cases) {
        vyxRefinement refinement = vyxMakeRefinement(3);
        std::string frames = c.frames;
        for (size_t at = 0, n = 0; at < frames.size(); ++n) {
            size_t end = std::min(frames.find('|', at), frames.size());
            char view[8], flags[4], action;
            int index = 0, count = 0;
            ASSERT_EQ(std::sscanf(frames.substr(at, end - at).c_str(), "%7s %3s %c%d %d", view, flags, &action, &index,
                                  &count),
                      5);
            at = end + 1;
            if (flags[2] == '!')
                vyxRefineReset(refinement);
            vyxRefineStep step = vyxRefinePlan(refinement, view, std::strlen(view), flags[0] == 'S', flags[1] == 'r');
            EXPECT_EQ("FSI"[step.action], action) << c.name << ", frame " << n;
            EXPECT_EQ(step.sampleIndex, index) << c.name << ", frame " << n;
            EXPECT_EQ(refinement.sampleCount, count) << c.name << ", frame " << n;
        }
    }
}

// Several samples a frame (one per rank of a job): the steps cover every index once, in
// order, and stop at the cap.
TEST(Refinement, SeveralSamplesAFrameStopAtTheCap) {
    for (int32_t perFrame : {1, 2, 3, 5, 9}) {
        vyxRefinement refinement = vyxMakeRefinement(7);
        vyxRefineStep step = vyxRefinePlan(refinement, "v", 1, true, true, perFrame);
        ASSERT_EQ(step.action, RefineFresh);
        int32_t next = 1; // the standard picture is sample 0
        while ((step = vyxRefinePlan(refinement, "v", 1, true, true, perFrame)).action == RefineSample) {
            EXPECT_EQ(step.sampleIndex, next) << perFrame;
            EXPECT_GE(step.sampleCount, 1);
            EXPECT_LE(step.sampleCount, perFrame);
            next += step.sampleCount;
            EXPECT_EQ(refinement.sampleCount, next);
        }
        EXPECT_EQ(step.action, RefineIdle);
        EXPECT_EQ(next, 7) << perFrame;
    }
}
