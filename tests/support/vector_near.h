#pragma once
// vecNear: two vectors compared component by component, for EXPECT_TRUE with the case
// streamed after it: EXPECT_TRUE(vecNear(got, want, 1e-6)) << name.

#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <sstream>

#include "geometry/vec3.h"

// Succeeds when x, y and z of actual each lie within tolerance of expected's, compared in
// double precision as EXPECT_NEAR compares (a NaN never does); the failure message shows
// both vectors. expected is any record with x, y and z (a vyxVec3 when written {x, y, z}).
template <typename Expected = vyxVec3>
testing::AssertionResult vecNear(vyxVec3 actual, const Expected& expected, double tolerance) {
    auto near = [tolerance](float a, double e) { return std::fabs(static_cast<double>(a) - e) <= tolerance; };
    if (near(actual.x, expected.x) && near(actual.y, expected.y) && near(actual.z, expected.z))
        return testing::AssertionSuccess();
    std::ostringstream message;
    message << std::setprecision(9) << "(" << actual.x << ", " << actual.y << ", " << actual.z << ") is not within "
            << tolerance << " of (" << expected.x << ", " << expected.y << ", " << expected.z << ")";
    return testing::AssertionFailure() << message.str();
}
