#pragma once
// Post-processing of the float frame: adaptive exposure, smoothing, the exposure curve
// and gamma, and the conversion to 8-bit RGB. No SDL in here apart from the clock the
// caller passes in.

#include <cstdint>

#include "geometry/vec3.h"

struct ExposureState {
    float minimum;    // lowest exposure a measurement may choose
    float maximum;    // highest
    float current;    // exposure applied to this frame
    float interval;   // milliseconds between measurements
    float lastUpdate; // clock of the last measurement (ms)
    float target;     // exposure chosen by the last measurement
    float start;      // exposure the current transition started from
    float key;        // curve value an average pixel should reach
};

// The state Init sets, with the clock `now` in milliseconds.
ExposureState vyxInitialExposure(float now);

// One measurement per interval of the central region, linear transition in between.
// Non-finite pixels are skipped by the measurement.
void vyxAutoExposure(const vyxVec3* frame, int width, int height, ExposureState& exposure, float now);
// Two passes of a four-neighbour filter; borders and images below 3 x 3 unchanged. The
// calling thread keeps its working copy for the next call (freed when it ends).
void vyxSmoothImage(vyxVec3* frame, int width, int height, float strength);
// v -> 1 - exp(-k v) through a 256-entry table below 1, exactly from 1 up; 0 stays 0.
void vyxApplyExposure(vyxVec3* frame, int width, int height, float k);
// v -> v^(1/gamma) likewise.
void vyxApplyGamma(vyxVec3* frame, int width, int height, float gamma);
// Both in one pass over the frame, with the same values as the two passes one after the
// other.
void vyxApplyExposureAndGamma(vyxVec3* frame, int width, int height, float k, float gamma);
// Clamps to [0, 1] and truncates v * 255 into bytes R, G, B (width * height * 3);
// non-finite values become 0.
void vyxConvertToBytes(const vyxVec3* frame, int width, int height, uint8_t* out);

// The width the curves take values at: 4, 8 (only where the processor has AVX2 and
// VYX_NO_AVX2 is unset; otherwise 4 is used) or 0 for the best the processor allows (the
// default). Either gives the same values. For tests and measurements; set it while no
// frame is post-processed. Returns the width now used.
int vyxPostprocessSetWidth(int width);
