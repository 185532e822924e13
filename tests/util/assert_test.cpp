#include "util/assert.h"

#include <gtest/gtest.h>

// Sanitizer builds are where the unit tests run with assertions checked; a build set-up
// that lost the definition would silently check nothing.
#if (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)) && !defined(VYX_ASSERTIONS)
#error "sanitizer builds define VYX_ASSERTIONS"
#endif

#ifdef VYX_ASSERTIONS

TEST(Assert, AFalseConditionNamesItsPlaceAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int count = 3;
    VYX_ASSERT(count == 3);
    EXPECT_DEATH(VYX_ASSERT(count == 4), "assert_test\\.cpp:[0-9]+: assertion failed: count == 4");
}

#else

TEST(Assert, ReleaseBuildsDoNotEvaluateTheCondition) {
    int evaluations = 0;
    VYX_ASSERT(++evaluations == 5);
    EXPECT_EQ(evaluations, 0);
}

#endif
