#include "app/postprocess_avx2.h"

#include <immintrin.h>

#include <cstdint>

// True when none of the eight values is 0, NaN or 1 and above.
static inline bool onTablePath(__m256 v) {
    const __m256 special =
        _mm256_or_ps(_mm256_or_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_EQ_OQ), _mm256_cmp_ps(v, v, _CMP_UNORD_Q)),
                     _mm256_cmp_ps(v, _mm256_set1_ps(1.0f), _CMP_GE_OQ));
    return _mm256_movemask_ps(special) == 0;
}

// Entries j and j + 1 of a table for each of four indices: the pairs of lanes 0 and 1
// in a, those of lanes 2 and 3 in b.
static inline void loadPairs(const float* pairs, const int32_t* index, __m128& a, __m128& b) {
    const __m64* pair = reinterpret_cast<const __m64*>(pairs);
    a = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), pair + index[0]), pair + index[1]);
    b = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), pair + index[2]), pair + index[3]);
}

// The table path for eight values at once: p = v * 256 - 1, its whole part (0 below 1)
// and fraction, and the line between the two entries, as one value at a time takes them.
static inline __m256 interpolate(const float* pairs, __m256 v) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 p = _mm256_sub_ps(_mm256_mul_ps(v, _mm256_set1_ps(256.0f)), one);
    const __m256 whole = _mm256_cmp_ps(p, one, _CMP_GE_OQ);
    const __m256i i = _mm256_and_si256(_mm256_cvttps_epi32(p), _mm256_castps_si256(whole));
    const __m256 frac = _mm256_blendv_ps(p, _mm256_sub_ps(p, _mm256_cvtepi32_ps(i)), whole);
    // Eight pairs of entries by ordinary loads (faster here than gathers), then the
    // first and second of each pair side by side.
    alignas(32) int32_t index[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), i);
    __m128 a0, b0, a1, b1;
    loadPairs(pairs, index, a0, b0);
    loadPairs(pairs, index + 4, a1, b1);
    const __m256 a = _mm256_insertf128_ps(_mm256_castps128_ps256(a0), a1, 1);
    const __m256 b = _mm256_insertf128_ps(_mm256_castps128_ps256(b0), b1, 1);
    const __m256 low = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 high = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    return _mm256_add_ps(_mm256_mul_ps(low, _mm256_sub_ps(one, frac)), _mm256_mul_ps(high, frac));
}

size_t vyxCurveTablesAvx2(float* values, size_t count, const float* first, const float* second) {
    size_t n = 0;
    for (; n + 8 <= count; n += 8) {
        __m256 v = _mm256_loadu_ps(values + n);
        if (!onTablePath(v))
            break;
        v = interpolate(first, v);
        if (second) {
            if (!onTablePath(v))
                break;
            v = interpolate(second, v);
        }
        _mm256_storeu_ps(values + n, v);
    }
    return n;
}
