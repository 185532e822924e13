#include "util/assert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

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

TEST(Assert, AFalseComparisonGivesBothValues) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int count = 7, limit = 5;
    const float scale = 0.1f;
    const uint8_t channels = 200;
    const uint64_t big = 1ull << 63;
    enum : uint8_t { Red = 1, Green = 2 } colour = Green;
    const int* missing = nullptr;

    // Comparisons that hold pass quietly, and each operand is evaluated once.
    int evaluations = 0;
    VYX_ASSERT_LT(limit, count);
    VYX_ASSERT_LE(++evaluations, 1);
    VYX_ASSERT_EQ(colour, Green);
    VYX_ASSERT_NE(&count, missing);
    VYX_ASSERT_GE(scale, 0.1f);
    VYX_ASSERT_GT(big, 0u);
    EXPECT_EQ(evaluations, 1);

    struct Case {
        std::function<void()> fail;
        const char* message;
    };
    const Case cases[] = {
        {[&] { VYX_ASSERT_LT(count, limit); }, "assert_test\\.cpp:[0-9]+: assertion failed: count < limit "
                                               "\\(count = 7, limit = 5\\)"},
        {[&] { VYX_ASSERT_LE(count, limit - 1); }, "count <= limit - 1 \\(count = 7, limit - 1 = 4\\)"},
        {[&] { VYX_ASSERT_EQ(colour, Red); }, "colour == Red \\(colour = 2, Red = 1\\)"},
        {[&] { VYX_ASSERT_NE(channels, 200); }, "channels != 200 \\(channels = 200, 200 = 200\\)"},
        {[&] { VYX_ASSERT_GE(scale, 0.5); }, "scale >= 0\\.5 \\(scale = 0\\.100000001, 0\\.5 = 0\\.5\\)"},
        {[&] { VYX_ASSERT_GT(-count, -limit); }, "-count > -limit \\(-count = -7, -limit = -5\\)"},
        {[&] { VYX_ASSERT_LT(big, 1u); }, "big < 1u \\(big = 9223372036854775808, 1u = 1\\)"},
        {[&] { VYX_ASSERT_NE(missing, nullptr); }, "missing != nullptr \\(missing = .*, nullptr = .*\\)"},
    };
    for (const Case& c : cases)
        EXPECT_DEATH(c.fail(), c.message);
}

#else

TEST(Assert, ReleaseBuildsDoNotEvaluateTheCondition) {
    int evaluations = 0;
    VYX_ASSERT(++evaluations == 5);
    VYX_ASSERT_LT(++evaluations, 0);
    VYX_ASSERT_LE(++evaluations, 0);
    VYX_ASSERT_EQ(++evaluations, 0);
    VYX_ASSERT_NE(++evaluations, 1);
    VYX_ASSERT_GE(0, ++evaluations);
    VYX_ASSERT_GT(0, ++evaluations);
    EXPECT_EQ(evaluations, 0);
    // Read by assertions only: no unused-variable warning (warnings are errors).
    const int onlyAsserted = 3;
    VYX_ASSERT_EQ(onlyAsserted, 3);
}

#endif
