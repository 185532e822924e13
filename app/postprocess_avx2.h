#pragma once
// The tone curves' table path eight values at a time, for processors with AVX2 (compiled
// with -mavx2 and without FMA; app/postprocess.cpp decides at run time whether to call it).

#include <cstddef>

// Runs values[0, count) through the table of a curve and then, when second is not null,
// through that of another, eight values at a time. first and second hold a table's
// neighbouring entries j and j + 1 side by side for j = 0 .. 254 (510 floats). Stops
// before the first eight that are not all on the table path of the curve they reach (0,
// not a number, or 1 and above), and leaves those as they were. Returns how many values it
// replaced, a multiple of 8. Each value takes the same steps as one at a time.
size_t vyxCurveTablesAvx2(float* values, size_t count, const float* first, const float* second);
