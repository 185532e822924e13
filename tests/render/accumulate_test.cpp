// Refined stills against references known without the renderer: a disc light's penumbra
// against the disc's visible fraction in closed form, an edge against its pixel coverage
// by brute force, and the noise of the mean falling as 1/sqrt(N).

#include "render/accumulate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "tests/render/render_scene.h"

namespace {

// The means of the first counts[k] samples of the still view (red channel), every pixel.
std::vector<std::vector<float>> stillMeans(const vyxScene& scene, const vyxCamera& camera, std::vector<int> counts) {
    const int pixels = static_cast<int>(camera.imageWidth * camera.imageHeight);
    FrameBuffer mean = vyxAllocFrame(camera.imageWidth, camera.imageHeight);
    FrameBuffer sample = vyxAllocFrame(camera.imageWidth, camera.imageHeight);
    vyxRenderSettings settings = testSettings(RenderThreaded);
    settings.threadCount = 4;
    std::vector<std::vector<float>> means;
    for (int index = 0; index < counts.back(); ++index) {
        vyxRenderStillSample(scene, camera, sample, settings, index);
        vyxAccumulateSample(mean, sample, index);
        if (index + 1 == counts[means.size()]) {
            means.emplace_back();
            for (int p = 0; p < pixels; ++p)
                means.back().push_back(mean.pixels[p].x);
        }
    }
    vyxFreeFrame(mean);
    vyxFreeFrame(sample);
    return means;
}

// The box-filtered truth of every pixel: reference at 32 x 32 points of the pixel where
// their rays meet the plane through the origin with the given normal.
std::vector<float> pixelTruth(const vyxCamera& camera, vyxVec3 normal, const std::function<float(vyxVec3)>& reference) {
    std::vector<float> truth;
    for (uint32_t y = 0; y < camera.imageHeight; ++y)
        for (uint32_t x = 0; x < camera.imageWidth; ++x) {
            double sum = 0.0;
            for (int k = 0; k < 32 * 32; ++k) {
                vyxVec3 origin, direction;
                vyxPrimaryRay(camera, x + (k % 32 + 0.5f) / 32, y + (k / 32 + 0.5f) / 32, origin, direction);
                sum += reference(origin + direction * (-vyxDot(origin, normal) / vyxDot(direction, normal)));
            }
            truth.push_back(static_cast<float>(sum / (32 * 32)));
        }
    return truth;
}

// The largest and the root-mean-square difference of two pictures.
std::pair<float, float> differences(const std::vector<float>& a, const std::vector<float>& b) {
    double largest = 0.0, squares = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        largest = std::max(largest, std::fabs(static_cast<double>(a[i]) - b[i]));
        squares += (a[i] - b[i]) * (a[i] - b[i]);
    }
    return {static_cast<float>(largest), static_cast<float>(std::sqrt(squares / a.size()))};
}

} // namespace

TEST(StillRefinement, PenumbraConvergesToTheDiscsVisibleFractionAsOneOverRootN) {
    // A white floor at y = 0 under a disc light straight above (apex 0.4 rad), shadowed by
    // an opaque plane at y = 1 over x < 0, seen from below that plane looking down.
    const double apex = 0.4;
    TestScene test;
    vyxVec3 black{0, 0, 0};
    test.setCubeMap(&black);
    test.addQuad({-50, 0, 50}, {100, 0, 0}, {0, 0, -100}, testMaterial({1, 1, 1}));
    test.addQuad({-50, 1, 50}, {0, 0, -100}, {50, 0, 0}, testMaterial({1, 1, 1}));
    vyxLight sun = testLight(LightDisc, {1, 1, 1});
    sun.direction = {0, -1, 0};
    sun.angle = static_cast<float>(apex);
    test.addLight(sun);
    vyxCamera camera = makeCamera(40, 30, {0.05f, 0.5f, 0}, {0.05f, 0, 0});
    camera.upHint = {0, 0, -1};
    vyxUpdateCamera(camera);
    // Rays toward the disc (radius tan(apex / 2) one unit up) cross y = 1 at p.x + a and
    // are blocked where that is below 0: the visible part of the disc is a segment.
    std::vector<float> truth = pixelTruth(camera, {0, 1, 0}, [&](vyxVec3 p) {
        double d = std::min(1.0, std::max(-1.0, -p.x / std::tan(apex / 2)));
        return static_cast<float>((std::acos(d) - d * std::sqrt(1.0 - d * d)) / vyxPi);
    });
    std::vector<std::vector<float>> means = stillMeans(test.scene, camera, {16, 64, 256, 1024});
    // The rotated rim triangle of the moving frames converges to errors near 0.09 here.
    EXPECT_LT(differences(means[3], truth).first, 0.06f);

    // The mean of N samples against that of 4N (which holds the same N) differs as
    // 1/sqrt(N): each fourfold halves it. A loose band around 2.
    for (int k = 0; k < 2; ++k) {
        float ratio = differences(means[k], means[k + 1]).second / differences(means[k + 1], means[k + 2]).second;
        EXPECT_GT(ratio, 1.5f) << k;
        EXPECT_LT(ratio, 3.0f) << k;
    }
}

TEST(StillRefinement, EdgeConvergesToItsPixelCoverage) {
    // A white unlit triangle on black, its edges at three slants across the pixel grid.
    TestScene test;
    vyxVec3 black{0, 0, 0};
    test.setCubeMap(&black);
    const vyxVec3 a{-9.3f, -6.1f, 0}, b{8.7f, -3.2f, 0}, c{-2.9f, 7.4f, 0};
    test.addMesh({{a, b, c, 0, 1}}, {unlitMaterial(1, 1, 1)});
    vyxCamera camera = makeCamera(32, 24);
    std::vector<float> truth = pixelTruth(camera, {0, 0, 1}, [&](vyxVec3 p) {
        auto left = [&](vyxVec3 u, vyxVec3 v) { return (v.x - u.x) * (p.y - u.y) >= (v.y - u.y) * (p.x - u.x); };
        return left(a, b) && left(b, c) && left(c, a) ? 1.0f : 0.0f;
    });
    std::vector<std::vector<float>> means = stillMeans(test.scene, camera, {1, 16, 256});
    EXPECT_GT(differences(means[0], truth).first, 0.5f) << "one sample a pixel is not antialiased";
    EXPECT_LT(differences(means[1], truth).first, 0.2f);
    EXPECT_LT(differences(means[2], truth).first, 0.03f);
}
