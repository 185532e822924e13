// Post-processing of the float frame, checked against the closed-form curves and a
// brute-force filter in double precision.

#include "app/postprocess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

static std::vector<vyxVec3> uniformImage(int width, int height, float value) {
    return std::vector<vyxVec3>(static_cast<size_t>(width) * height, vyxVec3{value, value, value});
}

// The exposure a measurement chooses for an average channel sum `sum`, before clamping.
static double expectedTarget(double sum) { return -std::log(1.0 - 0.6) / sum; }

TEST(AutoExposure, FirstSecondHoldsThenSlidesToTheMeasurement) {
    // Grey level whose r + g + b sum gives an exposure target of exactly 2.5.
    const float level = static_cast<float>(-std::log(0.4) / 2.5 / 3.0);
    std::vector<vyxVec3> image = uniformImage(16, 12, level);
    ExposureState exposure = vyxInitialExposure(1000.0f);

    struct Step {
        float now;
        float current; // expected exposure after the call
    };
    // Start and target are both 1 for the first second; the measurement at 2001 ms takes
    // effect linearly over the next second, reaching 2.5 at 3001 ms.
    const Step steps[] = {{1000.0f, 1.0f},  {1500.0f, 1.0f},   {2000.0f, 1.0f}, {2001.0f, 1.0f},
                          {2501.0f, 1.75f}, {2751.0f, 2.125f}, {3001.0f, 2.5f}, {3002.0f, 2.5f}};
    for (const Step& step : steps) {
        vyxAutoExposure(image.data(), 16, 12, exposure, step.now);
        EXPECT_NEAR(exposure.current, step.current, 1e-4) << "at " << step.now << " ms";
    }
    EXPECT_NEAR(exposure.target, 2.5f, 1e-4);
    EXPECT_EQ(exposure.lastUpdate, 3002.0f);
}

TEST(AutoExposure, MeasuresOnlyTheCentreAndClamps) {
    const int width = 16, height = 12;
    struct Case {
        const char* name;
        float centre;  // value of every channel inside the measured region
        float outside; // value elsewhere
        float target;
    };
    const Case cases[] = {
        {"bright centre clamps to the minimum", 10.0f, 0.0f, 1.0f},
        {"black centre chooses the maximum", 0.0f, 50.0f, 10.0f},
        {"mid grey centre", 0.1f, 50.0f, static_cast<float>(expectedTarget(0.3))},
    };
    for (const Case& c : cases) {
        std::vector<vyxVec3> image = uniformImage(width, height, c.outside);
        // Rows 3..8 and columns 4..11: from size/4 up to size/2 + size/4, exclusive.
        for (int y = height / 4; y < height / 2 + height / 4; ++y)
            for (int x = width / 4; x < width / 2 + width / 4; ++x)
                image[y * width + x] = {c.centre, c.centre, c.centre};
        ExposureState exposure = vyxInitialExposure(0.0f);
        vyxAutoExposure(image.data(), width, height, exposure, 1001.0f);
        EXPECT_NEAR(exposure.target, c.target, 1e-4) << c.name;
        EXPECT_EQ(exposure.current, 1.0f) << c.name << ": the new target applies gradually";
    }
}

TEST(AutoExposure, SkipsPixelsThatAreNotNumbers) {
    const int width = 8, height = 8;
    std::vector<vyxVec3> image = uniformImage(width, height, 0.1f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    image[3 * width + 3] = {nan, 0.1f, 0.1f};
    image[4 * width + 4] = {inf, inf, inf};
    ExposureState exposure = vyxInitialExposure(0.0f);
    vyxAutoExposure(image.data(), width, height, exposure, 1001.0f);
    EXPECT_NEAR(exposure.target, expectedTarget(0.3), 1e-4);

    // Nothing measurable at all: the previous target stays.
    std::vector<vyxVec3> broken = uniformImage(width, height, nan);
    exposure.target = 4.0f;
    vyxAutoExposure(broken.data(), width, height, exposure, 3000.0f);
    EXPECT_EQ(exposure.target, 4.0f);
    EXPECT_TRUE(std::isfinite(exposure.current));
}

// The table lookup of one channel value, as a reference in double precision: the
// curve sampled at (j + 1) / 256 and interpolated linearly; below the first entry the
// line through the first two entries is extended.
static double tableLookup(double v, double (*f)(double, double), double parameter) {
    double p = v * 256.0 - 1.0;
    double i = std::floor(p);
    if (i < 0)
        i = 0;
    double frac = p - i;
    double a = f((i + 1.0) / 256.0, parameter);
    double b = f((i + 2.0) / 256.0, parameter);
    return a * (1.0 - frac) + b * frac;
}
static double exposureCurve(double x, double k) { return 1.0 - std::exp(-k * x); }
static double gammaCurve(double x, double gamma) { return std::pow(x, 1.0 / gamma); }

TEST(ToneCurves, TableBelowOneExactFromOne) {
    const float values[] = {0.0f,  1.0f / 1024, 1.0f / 512, 0.003f, 1.0f / 256, 0.01f, 0.1f,
                            0.25f, 0.5f,        0.777f,     0.999f, 1.0f,       1.5f,  4.0f};
    struct Curve {
        const char* name;
        double (*reference)(double, double);
        float parameter;
        void (*apply)(vyxVec3*, int, int, float);
    };
    const Curve curves[] = {{"exposure k=2", exposureCurve, 2.0f, vyxApplyExposure},
                            {"exposure k=7.5", exposureCurve, 7.5f, vyxApplyExposure},
                            {"gamma 2.2", gammaCurve, 2.2f, vyxApplyGamma}};
    for (const Curve& curve : curves) {
        for (float v : values) {
            vyxVec3 pixel = {v, v, v};
            curve.apply(&pixel, 1, 1, curve.parameter);
            double expected;
            if (v == 0.0f)
                expected = 0.0; // zero is left alone (gamma would give 0 anyway, exposure too)
            else if (v >= 1.0f)
                expected = curve.reference(v, curve.parameter);
            else
                expected = tableLookup(v, curve.reference, curve.parameter);
            EXPECT_NEAR(pixel.x, expected, 2e-6) << curve.name << " at " << v;
            EXPECT_EQ(pixel.x, pixel.y) << curve.name << " at " << v;
            EXPECT_EQ(pixel.x, pixel.z) << curve.name << " at " << v;
            // The table stays close to the curve itself above 1/256.
            if (v >= 1.0f / 256) {
                EXPECT_NEAR(pixel.x, curve.reference(v, curve.parameter), 0.01) << curve.name << " at " << v;
            }
        }
    }
}

TEST(ToneCurves, ExtrapolatesBelowTheFirstEntry) {
    // Between 0 and 1/256 the value lies on the line through the first two entries,
    // not on the curve: at 1/512 that is 1.5 f(1/256) - 0.5 f(2/256).
    vyxVec3 pixel = {1.0f / 512, 1.0f / 512, 1.0f / 512};
    vyxApplyGamma(&pixel, 1, 1, 2.2f);
    double expected = 1.5 * gammaCurve(1.0 / 256, 2.2) - 0.5 * gammaCurve(2.0 / 256, 2.2);
    EXPECT_NEAR(pixel.x, expected, 1e-6);
    EXPECT_GT(std::fabs(pixel.x - gammaCurve(1.0 / 512, 2.2)), 0.005) << "must not be the exact curve";
}

TEST(ToneCurves, NegativeValuesExtrapolateAndStayNegative) {
    // A negative value must not come out as a positive colour: it continues the line
    // through the first two entries and ends up black after conversion.
    const float values[] = {-1.0f / 512, -0.25f, -0.5f, -3.0f};
    for (float v : values) {
        vyxVec3 pixel = {v, v, v};
        vyxApplyExposure(&pixel, 1, 1, 2.0f);
        EXPECT_NEAR(pixel.x, tableLookup(v, exposureCurve, 2.0), 1e-5 * (1.0 - v * 256.0)) << v;
        EXPECT_LT(pixel.x, 0.0f) << v;
    }
}

TEST(ToneCurves, NonFiniteAndHugeValuesEndAsValidBytes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    vyxVec3 pixels[2] = {{nan, -3.0e38f, 0.5f}, {-0.25f, 1e30f, 0.0f}};
    vyxApplyExposure(pixels, 2, 1, 2.0f);
    vyxApplyGamma(pixels, 2, 1, 2.2f);
    uint8_t bytes[6];
    vyxConvertToBytes(pixels, 2, 1, bytes);
    const uint8_t expected[6] = {0, 0, static_cast<uint8_t>(255.0 * gammaCurve(exposureCurve(0.5, 2), 2.2)), 0, 255, 0};
    for (int n = 0; n < 6; ++n)
        EXPECT_NEAR(bytes[n], expected[n], 1) << "channel " << n;
}

static uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Values for the curves in runs: long stretches on the table path (which go four or eight
// at a time) broken by 0, NaN, values of 1 and more, negative ones and values just
// below 1, alone or in clusters, at every offset within a group.
static std::vector<vyxVec3> curveTestImage(int width, int height, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> table(1.0f / 1024, 0.999f);
    std::uniform_int_distribution<int> kind(0, 39);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float specials[] = {0.0f, -0.0f, nan, 1.0f, 1.5f, 40.0f, -0.25f, -3.0e38f, 1e30f, 0.99999994f, 1.0f / 256};
    std::vector<vyxVec3> image(static_cast<size_t>(width) * height);
    float* values = &image[0].x;
    for (size_t n = 0; n < image.size() * 3; ++n) {
        int k = kind(random);
        values[n] = k < static_cast<int>(sizeof(specials) / sizeof(specials[0])) && (n / 97) % 3 == 0 ? specials[k]
                                                                                                      : table(random);
    }
    return image;
}

TEST(ToneCurves, EveryWidthGivesTheValuesOfOneAtATime) {
    // A frame of one pixel takes the one-value path; whole frames take the four- and
    // eight-wide paths, which must give the same bits, special values mixed in or not.
    struct Apply {
        const char* name;
        void (*run)(vyxVec3*, int, int);
    };
    const Apply applies[] = {
        {"exposure", [](vyxVec3* f, int w, int h) { vyxApplyExposure(f, w, h, 2.5f); }},
        {"gamma", [](vyxVec3* f, int w, int h) { vyxApplyGamma(f, w, h, 2.2f); }},
        {"exposure and gamma", [](vyxVec3* f, int w, int h) { vyxApplyExposureAndGamma(f, w, h, 2.5f, 2.2f); }},
    };
    const int sizes[][2] = {{1, 1}, {3, 1}, {7, 3}, {64, 70}, {333, 65}};
    for (int width : {4, 0}) {
        const int used = vyxPostprocessSetWidth(width);
        for (const Apply& apply : applies)
            for (const auto& size : sizes) {
                const std::vector<vyxVec3> original = curveTestImage(size[0], size[1], 11u + size[0]);
                std::vector<vyxVec3> whole = original;
                apply.run(whole.data(), size[0], size[1]);
                for (size_t n = 0; n < original.size(); ++n) {
                    vyxVec3 one = original[n];
                    apply.run(&one, 1, 1);
                    const float* got = &whole[n].x;
                    const float* expected = &one.x;
                    for (int c = 0; c < 3; ++c)
                        ASSERT_EQ(bitsOf(got[c]), bitsOf(expected[c]))
                            << apply.name << ", width " << used << ", " << size[0] << "x" << size[1] << ", value "
                            << (&original[n].x)[c] << " at " << n << "." << c;
                }
            }
    }
    vyxPostprocessSetWidth(0);
}

// Two passes of the four-neighbour filter in double precision.
static std::vector<vyxVec3> referenceSmooth(const std::vector<vyxVec3>& image, int width, int height, double strength) {
    std::vector<double> current(image.size() * 3);
    for (size_t n = 0; n < image.size(); ++n) {
        current[3 * n] = image[n].x;
        current[3 * n + 1] = image[n].y;
        current[3 * n + 2] = image[n].z;
    }
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> next = current;
        for (int y = 1; y < height - 1; ++y)
            for (int x = 1; x < width - 1; ++x)
                for (int c = 0; c < 3; ++c) {
                    auto at = [&](int xx, int yy) { return current[3 * (yy * width + xx) + c]; };
                    next[3 * (y * width + x) + c] =
                        strength / 4 * (at(x, y - 1) + at(x, y + 1) + at(x - 1, y) + at(x + 1, y)) +
                        (1 - strength) * at(x, y);
                }
        current = next;
    }
    std::vector<vyxVec3> out(image.size());
    for (size_t n = 0; n < image.size(); ++n)
        out[n] = {static_cast<float>(current[3 * n]), static_cast<float>(current[3 * n + 1]),
                  static_cast<float>(current[3 * n + 2])};
    return out;
}

TEST(SmoothImage, MatchesTwoPassesOfTheFilterAndKeepsBorders) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(0.0f, 4.0f);
    const int sizes[][2] = {{3, 3}, {7, 5}, {16, 9}};
    for (const auto& size : sizes) {
        int width = size[0], height = size[1];
        std::vector<vyxVec3> image(static_cast<size_t>(width) * height);
        for (vyxVec3& p : image)
            p = {value(random), value(random), value(random)};
        std::vector<vyxVec3> expected = referenceSmooth(image, width, height, 0.25);
        std::vector<vyxVec3> original = image;
        vyxSmoothImage(image.data(), width, height, 0.25f);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                size_t n = static_cast<size_t>(y) * width + x;
                bool border = x == 0 || y == 0 || x == width - 1 || y == height - 1;
                if (border) {
                    EXPECT_EQ(image[n], original[n]) << width << "x" << height << " border pixel " << x << "," << y;
                } else {
                    EXPECT_NEAR(image[n].x, expected[n].x, 1e-5) << width << "x" << height << " at " << x << "," << y;
                    EXPECT_NEAR(image[n].y, expected[n].y, 1e-5) << width << "x" << height << " at " << x << "," << y;
                    EXPECT_NEAR(image[n].z, expected[n].z, 1e-5) << width << "x" << height << " at " << x << "," << y;
                }
            }
    }
}

// Two passes of the filter in single precision, each sum taken in the order above, below,
// left, right: the values vyxSmoothImage gives, bit for bit.
static std::vector<vyxVec3> floatSmooth(std::vector<vyxVec3> image, int width, int height, float strength) {
    const float neighbour = strength / 4.0f, centre = 1.0f - strength;
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<vyxVec3> next = image;
        for (int y = 1; y < height - 1; ++y)
            for (int x = 1; x < width - 1; ++x)
                for (int c = 0; c < 3; ++c) {
                    auto at = [&](int xx, int yy) { return (&image[static_cast<size_t>(yy) * width + xx].x)[c]; };
                    float sum = at(x, y - 1) + at(x, y + 1);
                    sum = sum + at(x - 1, y);
                    sum = sum + at(x + 1, y);
                    const float weighted = neighbour * sum;
                    const float own = centre * at(x, y);
                    (&next[static_cast<size_t>(y) * width + x].x)[c] = weighted + own;
                }
        image = next;
    }
    return image;
}

TEST(SmoothImage, BitForBitTheFilterInItsOrderWhateverCameBefore) {
    // Widths whose rows end at every offset of a group of four floats, and frames of one
    // size one after another: the working copy kept from one frame must not leak into the
    // next one's borders.
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(0.0f, 3.0f);
    const int sizes[][2] = {{3, 3}, {4, 4}, {5, 7}, {6, 3}, {17, 9}, {64, 70}, {64, 70}, {130, 66}};
    for (const auto& size : sizes) {
        const int width = size[0], height = size[1];
        std::vector<vyxVec3> image(static_cast<size_t>(width) * height);
        for (vyxVec3& p : image)
            p = {value(random), value(random), value(random)};
        const std::vector<vyxVec3> expected = floatSmooth(image, width, height, 0.25f);
        vyxSmoothImage(image.data(), width, height, 0.25f);
        for (size_t n = 0; n < image.size(); ++n)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(bitsOf((&image[n].x)[c]), bitsOf((&expected[n].x)[c]))
                    << width << "x" << height << " pixel " << n % width << "," << n / width << " channel " << c;
    }
}

TEST(SmoothImage, LeavesTinyImagesAlone) {
    const int sizes[][2] = {{2, 5}, {5, 2}, {1, 1}, {2, 2}};
    for (const auto& size : sizes) {
        int width = size[0], height = size[1];
        std::vector<vyxVec3> image(static_cast<size_t>(width) * height);
        for (size_t n = 0; n < image.size(); ++n)
            image[n] = {static_cast<float>(n), static_cast<float>(n * n), 1.0f / (n + 1)};
        std::vector<vyxVec3> original = image;
        vyxSmoothImage(image.data(), width, height, 0.25f);
        for (size_t n = 0; n < image.size(); ++n)
            EXPECT_EQ(image[n], original[n]) << width << "x" << height << " pixel " << n;
    }
}

TEST(ConvertToBytes, ClampsTruncatesAndZeroesNonFinite) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float value;
        uint8_t byte;
    };
    const Case cases[] = {{1.0f, 255}, {0.999f, 254}, {2.0f, 255}, {0.0f, 0}, {-1.0f, 0},  {0.5f, 127},
                          {0.003f, 0}, {nan, 0},      {inf, 0},    {-inf, 0}, {1e30f, 255}};
    const int count = sizeof(cases) / sizeof(cases[0]);
    std::vector<vyxVec3> image(count);
    for (int n = 0; n < count; ++n)
        image[n] = {cases[n].value, 0.25f, cases[n].value};
    std::vector<uint8_t> bytes(count * 3, 77);
    vyxConvertToBytes(image.data(), count, 1, bytes.data());
    for (int n = 0; n < count; ++n) {
        EXPECT_EQ(bytes[3 * n], cases[n].byte) << "value " << cases[n].value;
        EXPECT_EQ(bytes[3 * n + 1], 63) << "value " << cases[n].value;
        EXPECT_EQ(bytes[3 * n + 2], cases[n].byte) << "value " << cases[n].value;
    }
}
