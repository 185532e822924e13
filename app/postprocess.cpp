#include "app/postprocess.h"

#include <emmintrin.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/postprocess_avx2.h"
#include "util/cpu.h"
#include "util/large_alloc.h"
#include "util/parallel.h"

// Runs work(firstRow, endRow) over [0, rows) split into one share per core the frame
// dispatch may use (vyxWorkerCores), on the shared pool; every row is worked on by
// exactly one call, so a per-pixel step gives the same values as one pass on one thread.
template <typename Work>
static void forRowShares(int rows, Work work) {
    int cores = vyxWorkerCores();
    // Small images are not worth a thread.
    int shares = rows < 64 || cores < 2 ? 1 : (cores < 16 ? cores : 16);
    vyxParallelFor(shares, cores, [&](int k) {
        work(static_cast<int>(static_cast<long>(rows) * k / shares),
             static_cast<int>(static_cast<long>(rows) * (k + 1) / shares));
    });
}

ExposureState vyxInitialExposure(float now) {
    ExposureState exposure;
    exposure.minimum = 1.0f;
    exposure.maximum = 10.0f;
    exposure.current = 1.0f;
    exposure.interval = 1000.0f;
    exposure.lastUpdate = now;
    exposure.target = 1.0f;
    exposure.start = 1.0f;
    exposure.key = 0.6f;
    return exposure;
}

void vyxAutoExposure(const vyxVec3* frame, int width, int height, ExposureState& exposure, float now) {
    float elapsed = now - exposure.lastUpdate;
    if (elapsed <= exposure.interval) {
        // Slide linearly from the previous exposure to the last measurement's.
        float e = elapsed / exposure.interval;
        exposure.current = exposure.start * (1.0f - e) + exposure.target * e;
        return;
    }
    exposure.current = exposure.target;
    exposure.start = exposure.target;
    exposure.lastUpdate = now;

    // Measure the central half of the image in both directions. The average is of
    // r + g + b, not divided by 3: the key is chosen for that sum.
    float total = 0.0f;
    long count = 0;
    int rowEnd = height / 2 + height / 4;
    int columnEnd = width / 2 + width / 4;
    for (int y = height / 4; y < rowEnd; ++y) {
        const vyxVec3* row = frame + static_cast<long>(y) * width;
        for (int x = width / 4; x < columnEnd; ++x) {
            float sum = row[x].x + row[x].y + row[x].z;
            // A pixel that is not a number (a normal that interpolated to zero) would
            // poison the whole measurement; it tells nothing about the brightness.
            if (!std::isfinite(sum))
                continue;
            total += sum;
            ++count;
        }
    }
    if (count == 0)
        return; // nothing measurable: keep the previous target
    float average = total / static_cast<float>(count);
    // An average of 0 gives +inf here, which the clamp turns into the maximum.
    float target = -std::log(1.0f - exposure.key) / average;
    if (target < exposure.minimum)
        target = exposure.minimum;
    if (target > exposure.maximum)
        target = exposure.maximum;
    exposure.target = target;
}

// One row of a smoothing pass: the floats first .. end - 1 of out from the same floats
// of the rows above and below and of row, whose neighbours left and right lie three
// floats away (x, y and z of a pixel side by side). Each float takes the steps of the
// per-channel formula in the same order, four at a time.
static void smoothRow(const float* above, const float* row, const float* below, float* out, size_t first, size_t end,
                      float neighbourWeight, float centreWeight) {
    const __m128 nw = _mm_set1_ps(neighbourWeight), cw = _mm_set1_ps(centreWeight);
    size_t n = first;
    for (; n + 4 <= end; n += 4) {
        const __m128 sum = _mm_add_ps(
            _mm_add_ps(_mm_add_ps(_mm_loadu_ps(above + n), _mm_loadu_ps(below + n)), _mm_loadu_ps(row + n - 3)),
            _mm_loadu_ps(row + n + 3));
        _mm_storeu_ps(out + n, _mm_add_ps(_mm_mul_ps(nw, sum), _mm_mul_ps(cw, _mm_loadu_ps(row + n))));
    }
    for (; n < end; ++n)
        out[n] = neighbourWeight * (above[n] + below[n] + row[n - 3] + row[n + 3]) + centreWeight * row[n];
}

void vyxSmoothImage(vyxVec3* frame, int width, int height, float strength) {
    if (width < 3 || height < 3)
        return;
    float neighbourWeight = strength / 4.0f;
    float centreWeight = 1.0f - strength;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    // The working copy stays with the calling thread for the next frame: memory freed and
    // taken anew every frame would come back as fresh pages for the kernel to clear.
    thread_local std::unique_ptr<vyxVec3, decltype(&std::free)> kept(nullptr, &std::free);
    thread_local size_t keptCount = 0;
    if (keptCount < count) {
        kept.reset(static_cast<vyxVec3*>(vyxAllocLarge(count * sizeof(vyxVec3))));
        keptCount = kept ? count : 0;
    }
    vyxVec3* work = kept.get();
    if (work == nullptr)
        return;
    static_assert(sizeof(vyxVec3) == 3 * sizeof(float), "pixels are three packed floats");
    // Pass 1 reads the frame into the working copy, pass 2 reads the copy back; the
    // borders of both keep the frame's values. Pass 1 writes every other pixel of the
    // copy, so only its borders are copied.
    const size_t stride = static_cast<size_t>(width);
    std::memcpy(work, frame, stride * sizeof(vyxVec3));
    std::memcpy(work + (count - stride), frame + (count - stride), stride * sizeof(vyxVec3));
    for (size_t y = 1; y + 1 < static_cast<size_t>(height); ++y) {
        work[y * stride] = frame[y * stride];
        work[y * stride + stride - 1] = frame[y * stride + stride - 1];
    }
    const float* source = &frame[0].x;
    float* target = &work[0].x;
    const size_t rowFloats = 3 * stride;
    // Rows of one pass read only the other buffer, so they can be shared out.
    for (int pass = 0; pass < 2; ++pass) {
        forRowShares(height - 2, [=](int first, int end) {
            for (int y = first + 1; y < end + 1; ++y) {
                const float* row = source + static_cast<size_t>(y) * rowFloats;
                smoothRow(row - rowFloats, row, row + rowFloats, target + static_cast<size_t>(y) * rowFloats, 3,
                          rowFloats - 3, neighbourWeight, centreWeight);
            }
        });
        source = &work[0].x;
        target = &frame[0].x;
    }
}

// The two tone curves. Each is sampled into 256 entries at (j + 1) / 256 for values below
// 1 and evaluated exactly from 1 upward.
static float exposureCurve(float x, float k) { return 1.0f - std::pow(2.7182817f, -k * x); }
static float gammaCurve(float x, float inverseGamma) { return std::pow(x, inverseGamma); }

namespace {

// One curve with its parameter, sampled at (j + 1) / 256 for j = 0 .. 255, and its
// application to one value.
struct SampledCurve {
    float (*curve)(float x, float parameter);
    float parameter;
    float table[256];
    // Entries j and j + 1 side by side for j = 0 .. 254: the two a value between them
    // needs, in one load.
    alignas(16) float pairs[255][2];
    SampledCurve(float (*function)(float, float), float p) : curve(function), parameter(p) {
        for (int j = 0; j < 256; ++j)
            table[j] = curve(static_cast<float>(j + 1) / 256.0f, parameter);
        for (int j = 0; j < 255; ++j) {
            pairs[j][0] = table[j];
            pairs[j][1] = table[j + 1];
        }
    }
    float operator()(float v) const {
        if (v == 0.0f || std::isnan(v))
            return v;
        if (v >= 1.0f)
            return curve(v, parameter);
        // Below 1: interpolate between neighbouring entries. Below the first entry
        // (v < 1/256, negative values included) the line through the first two entries
        // is extrapolated, so a negative value stays negative instead of wrapping back
        // into the table with the fractional part of its position; only positions of 1
        // and more are converted to an integer, so a huge negative value cannot overflow
        // one. For v < 1, v * 256 - 1 is below 255 (scaling by 256 is exact), so
        // i + 1 <= 255.
        float p = v * 256.0f - 1.0f;
        int i = 0;
        float frac = p;
        if (p >= 1.0f) {
            i = static_cast<int>(p);
            frac = p - static_cast<float>(i);
        }
        return table[i] * (1.0f - frac) + table[i + 1] * frac;
    }
};

} // namespace

// True when none of the four values is 0, NaN or 1 and above: all four are interpolated
// from the table.
static inline bool onTablePath(__m128 v) {
    __m128 special = _mm_or_ps(_mm_or_ps(_mm_cmpeq_ps(v, _mm_setzero_ps()), _mm_cmpunord_ps(v, v)),
                               _mm_cmpge_ps(v, _mm_set1_ps(1.0f)));
    return _mm_movemask_ps(special) == 0;
}

// SampledCurve's table path for four values at once: the same operations, lane by lane.
static inline __m128 interpolate4(const float* table, __m128 v) {
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 p = _mm_sub_ps(_mm_mul_ps(v, _mm_set1_ps(256.0f)), one);
    __m128 whole = _mm_cmpge_ps(p, one);
    // Lanes below 1 take i = 0 and frac = p; only the others are converted.
    __m128i i = _mm_and_si128(_mm_cvttps_epi32(p), _mm_castps_si128(whole));
    __m128 frac = _mm_or_ps(_mm_and_ps(whole, _mm_sub_ps(p, _mm_cvtepi32_ps(i))), _mm_andnot_ps(whole, p));
    alignas(16) int32_t index[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(index), i);
    __m128 low = _mm_setr_ps(table[index[0]], table[index[1]], table[index[2]], table[index[3]]);
    __m128 high = _mm_setr_ps(table[index[0] + 1], table[index[1] + 1], table[index[2] + 1], table[index[3] + 1]);
    return _mm_add_ps(_mm_mul_ps(low, _mm_sub_ps(one, frac)), _mm_mul_ps(high, frac));
}

// Whether the curves take eight values at a time: where vyxWideVectorsAllowed(), unless
// vyxPostprocessSetWidth asked for 4.
static std::atomic<int> chosenWidth{0};

static bool wideCurves() { return vyxWideVectorsAllowed() && chosenWidth.load(std::memory_order_relaxed) != 4; }

int vyxPostprocessSetWidth(int width) {
    chosenWidth.store(width == 4 || width == 8 ? width : 0);
    return wideCurves() ? 8 : 4;
}

// Values [n, end) of a row share through the curves: four at a time while all four take
// the table path, one at a time otherwise.
static void applyCurvesNarrow(float* values, size_t n, size_t end, const SampledCurve* first,
                              const SampledCurve* second) {
    for (; n + 4 <= end; n += 4) {
        __m128 v = _mm_loadu_ps(values + n);
        if (!onTablePath(v)) {
            for (size_t k = n; k < n + 4; ++k) {
                float w = (*first)(values[k]);
                values[k] = second ? (*second)(w) : w;
            }
            continue;
        }
        v = interpolate4(first->table, v);
        if (second) {
            if (onTablePath(v)) {
                v = interpolate4(second->table, v);
            } else {
                alignas(16) float w[4];
                _mm_store_ps(w, v);
                for (int k = 0; k < 4; ++k)
                    w[k] = (*second)(w[k]);
                v = _mm_load_ps(w);
            }
        }
        _mm_storeu_ps(values + n, v);
    }
    for (; n < end; ++n) {
        float v = (*first)(values[n]);
        values[n] = second ? (*second)(v) : v;
    }
}

// Applies the curves in turn to every value, in row shares: each value goes through
// the same steps in the same order as in separate passes.
static void applyCurves(vyxVec3* frame, int width, int height, const SampledCurve* first, const SampledCurve* second) {
    if (width <= 0 || height <= 0)
        return;
    const bool wide = wideCurves();
    forRowShares(height, [=](int firstRow, int endRow) {
        float* values = &frame[static_cast<size_t>(firstRow) * width].x;
        size_t count = static_cast<size_t>(endRow - firstRow) * static_cast<size_t>(width) * 3;
        if (!wide) {
            applyCurvesNarrow(values, 0, count, first, second);
            return;
        }
        // Eight at a time; a group of eight with a value off the table path goes the
        // narrow way, and the rest eight at a time again.
        size_t n = 0;
        while (n < count) {
            n +=
                vyxCurveTablesAvx2(values + n, count - n, &first->pairs[0][0], second ? &second->pairs[0][0] : nullptr);
            const size_t end = count - n < 8 ? count : n + 8;
            applyCurvesNarrow(values, n, end, first, second);
            n = end;
        }
    });
}

void vyxApplyExposure(vyxVec3* frame, int width, int height, float k) {
    const SampledCurve exposure(exposureCurve, k);
    applyCurves(frame, width, height, &exposure, nullptr);
}

void vyxApplyGamma(vyxVec3* frame, int width, int height, float gamma) {
    const SampledCurve curve(gammaCurve, 1.0f / gamma);
    applyCurves(frame, width, height, &curve, nullptr);
}

void vyxApplyExposureAndGamma(vyxVec3* frame, int width, int height, float k, float gamma) {
    const SampledCurve exposure(exposureCurve, k);
    const SampledCurve curve(gammaCurve, 1.0f / gamma);
    applyCurves(frame, width, height, &exposure, &curve);
}

static uint8_t toByte(float v) {
    // Not-a-number and infinities have no meaningful byte, and converting them to an
    // integer is undefined: they become black.
    if (!std::isfinite(v))
        return 0;
    if (v > 1.0f)
        v = 1.0f;
    if (v < 0.0f)
        v = 0.0f;
    return static_cast<uint8_t>(static_cast<int>(v * 255.0f));
}

// toByte on sixteen values at once: the same clamp, product and truncation, and 0 for a
// value that is not finite.
static inline void toBytes16(const float* values, uint8_t* out) {
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128i words[4];
    for (int k = 0; k < 4; ++k) {
        const __m128 v = _mm_loadu_ps(values + 4 * k);
        const __m128 finite = _mm_cmplt_ps(_mm_and_ps(v, magnitude), _mm_set1_ps(INFINITY)); // false for NaN
        const __m128 clamped = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f));
        words[k] = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(clamped, _mm_set1_ps(255.0f))), _mm_castps_si128(finite));
    }
    const __m128i low = _mm_packs_epi32(words[0], words[1]), high = _mm_packs_epi32(words[2], words[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
}

void vyxConvertToBytes(const vyxVec3* frame, int width, int height, uint8_t* out) {
    if (width <= 0 || height <= 0)
        return;
    // The bytes follow the floats one for one (x, y, z of each pixel in turn).
    static_assert(sizeof(vyxVec3) == 3 * sizeof(float), "pixels are three packed floats");
    forRowShares(height, [=](int first, int end) {
        const size_t begin = static_cast<size_t>(first) * static_cast<size_t>(width) * 3;
        const size_t last = static_cast<size_t>(end) * static_cast<size_t>(width) * 3;
        const float* values = &frame[0].x;
        size_t n = begin;
        for (; n + 16 <= last; n += 16)
            toBytes16(values + n, out + n);
        for (; n < last; ++n)
            out[n] = toByte(values[n]);
    });
}
