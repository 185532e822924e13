// Refined stills against references known without the renderer: a disc light's penumbra
// against the disc's visible fraction in closed form, an edge against its pixel coverage
// by brute force, and the noise of the mean falling as 1/sqrt(N).

#include "render/accumulate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "tests/render/render_scene.h"

namespace {

// The point where the ray through image position (u, v) meets the plane dot(p, normal) = 0.
vyxVec3 onPlane(const vyxCamera& camera, float u, float v, vyxVec3 normal) {
    vyxVec3 origin, direction;
    vyxPrimaryRay(camera, u, v, origin, direction);
    return origin + direction * (-vyxDot(origin, normal) / vyxDot(direction, normal));
}

// The mean of reference(point) over a grid of points of pixel (x, y) on the plane: the
// pixel's true value under a box filter.
template <typename Reference>
float pixelReference(const vyxCamera& camera, int x, int y, vyxVec3 normal, Reference reference) {
    const int n = 32;
    double sum = 0.0;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
            sum += reference(onPlane(camera, x + (i + 0.5f) / n, y + (j + 0.5f) / n, normal));
    return static_cast<float>(sum / (n * n));
}

// Means of samples 0 .. counts[k] - 1 of the still view, for each k (counts ascending);
// the red channel, which is every channel in these grey scenes.
std::vector<std::vector<float>> stillMeans(const vyxScene& scene, const vyxCamera& camera,
                                           const std::vector<int>& counts) {
    const int width = static_cast<int>(camera.imageWidth), height = static_cast<int>(camera.imageHeight);
    FrameBuffer mean = vyxAllocFrame(width, height);
    FrameBuffer sample = vyxAllocFrame(width, height);
    vyxRenderSettings settings = testSettings(RenderThreaded);
    settings.threadCount = 4;
    std::vector<std::vector<float>> means;
    for (int index = 0; index < counts.back(); ++index) {
        vyxRenderStillSample(scene, camera, sample, settings, index);
        vyxAccumulateSample(mean, sample, index);
        if (index + 1 == counts[means.size()]) {
            means.emplace_back();
            for (int p = 0; p < width * height; ++p)
                means.back().push_back(mean.pixels[p].x);
        }
    }
    vyxFreeFrame(mean);
    vyxFreeFrame(sample);
    return means;
}

float rmsDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return static_cast<float>(std::sqrt(sum / a.size()));
}

// A white floor at y = 0 under a disc light straight above (apex 0.4 rad), half shadowed by
// an opaque plane at y = 1 over x < 0, seen from below that plane looking straight down.
struct PenumbraScene {
    static constexpr float kApex = 0.4f;
    TestScene test;
    vyxCamera camera{};
    PenumbraScene() {
        vyxVec3 black{0, 0, 0};
        test.setCubeMap(&black);
        test.addQuad({-50, 0, 50}, {100, 0, 0}, {0, 0, -100}, testMaterial({1, 1, 1}));
        test.addQuad({-50, 1, 50}, {0, 0, -100}, {50, 0, 0}, testMaterial({1, 1, 1}));
        vyxLight sun = testLight(LightDisc, {1, 1, 1});
        sun.direction = {0, -1, 0};
        sun.angle = kApex;
        test.addLight(sun);
        camera.upHint = {0, 0, -1};
        camera.position = {0.05f, 0.5f, 0};
        camera.target = {0.05f, 0, 0};
        camera.imageWidth = 40;
        camera.imageHeight = 30;
        camera.fov = 1.5707963f;
        vyxUpdateCamera(camera);
    }
    // The disc's visible fraction from floor point p: the rays toward the disc (radius
    // tan(apex / 2) one unit up) cross y = 1 at p.x + a, blocked where that is below 0.
    static float visible(vyxVec3 p) {
        double d = -p.x / std::tan(kApex / 2.0);
        if (d <= -1.0)
            return 1.0f;
        if (d >= 1.0)
            return 0.0f;
        return static_cast<float>((std::acos(d) - d * std::sqrt(1.0 - d * d)) / vyxPi);
    }
};

} // namespace

TEST(StillRefinement, PenumbraConvergesToTheDiscsVisibleFraction) {
    PenumbraScene s;
    std::vector<std::vector<float>> means = stillMeans(s.test.scene, s.camera, {16, 64, 256, 1024});
    const std::vector<float>& converged = means.back();
    double sumError = 0.0;
    float largest = 0.0f;
    int penumbra = 0;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            float want = pixelReference(s.camera, x, y, {0, 1, 0}, PenumbraScene::visible);
            float error = std::fabs(converged[y * 40 + x] - want);
            penumbra += want > 0.02f && want < 0.98f;
            sumError += error;
            largest = std::max(largest, error);
            EXPECT_LT(error, 0.06f) << "pixel " << x << ", " << y << ": want " << want;
        }
    }
    EXPECT_GT(penumbra, 250) << "the penumbra must cross a good part of the frame";
    EXPECT_LT(sumError / (40 * 30), 0.005) << "largest error " << largest;

    // Each fourfold of the samples halves the noise: the mean of N against that of 4N
    // (which holds the same N) differs as 1/sqrt(N). A loose band around 2.
    float d16 = rmsDifference(means[0], means[1]);
    float d64 = rmsDifference(means[1], means[2]);
    float d256 = rmsDifference(means[2], means[3]);
    EXPECT_GT(d16 / d64, 1.5f) << d16 << " " << d64;
    EXPECT_LT(d16 / d64, 3.0f) << d16 << " " << d64;
    EXPECT_GT(d64 / d256, 1.5f) << d64 << " " << d256;
    EXPECT_LT(d64 / d256, 3.0f) << d64 << " " << d256;
}

TEST(StillRefinement, EdgeConvergesToItsPixelCoverage) {
    // A white unlit triangle on black with edges at three slants, far from the pixel grid.
    TestScene test;
    vyxVec3 black{0, 0, 0};
    test.setCubeMap(&black);
    const vyxVec3 a{-9.3f, -6.1f, 0}, b{8.7f, -3.2f, 0}, c{-2.9f, 7.4f, 0};
    test.addMesh({{a, b, c, 0, 1}}, {unlitMaterial(1, 1, 1)});
    vyxCamera camera = makeCamera(32, 24);
    auto inside = [&](vyxVec3 p) {
        auto side = [&](vyxVec3 u, vyxVec3 v) { return (v.x - u.x) * (p.y - u.y) - (v.y - u.y) * (p.x - u.x); };
        return side(a, b) >= 0 && side(b, c) >= 0 && side(c, a) >= 0 ? 1.0f : 0.0f;
    };
    std::vector<std::vector<float>> means = stillMeans(test.scene, camera, {1, 16, 256});
    float largest[3] = {0, 0, 0};
    int edges = 0;
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) {
            float want = pixelReference(camera, x, y, {0, 0, 1}, inside);
            edges += want > 0.05f && want < 0.95f;
            for (int k = 0; k < 3; ++k)
                largest[k] = std::max(largest[k], std::fabs(means[k][y * 32 + x] - want));
        }
    }
    EXPECT_GT(edges, 40);
    EXPECT_GT(largest[0], 0.5f) << "one sample a pixel is not antialiased";
    EXPECT_LT(largest[1], 0.2f);
    EXPECT_LT(largest[2], 0.03f);
}

TEST(StillRefinement, MeanSkipsSamplesThatAreNotFinite) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        std::vector<float> samples; // one pixel's samples in order
        float mean;
    } cases[] = {
        {"plain mean", {1, 2, 6}, 3},
        {"a NaN leaves the mean as it was", {1, 3, nan}, 2},
        {"an infinite sample is skipped", {4, inf, 4}, 4},
        {"a first NaN gives way to the next finite sample", {nan, 5, 5}, 5},
    };
    for (const Case& c : cases) {
        FrameBuffer mean = vyxAllocFrame(1, 1), sample = vyxAllocFrame(1, 1);
        for (size_t i = 0; i < c.samples.size(); ++i) {
            sample.pixels[0] = {c.samples[i], c.samples[i], c.samples[i]};
            vyxAccumulateSample(mean, sample, static_cast<int32_t>(i));
            EXPECT_EQ(std::memcmp(&sample.pixels[0], &mean.pixels[0], sizeof(vyxVec3)), 0)
                << c.name << ": the sample frame holds the new mean";
        }
        EXPECT_NEAR(mean.pixels[0].y, c.mean, 1e-6f) << c.name;
        vyxFreeFrame(mean);
        vyxFreeFrame(sample);
    }
}
