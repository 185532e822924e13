// Building the surface-area hierarchy (eight or four children a node): conservative
// boxes for the triangles, binned surface-area splits, and the layout the queries read.

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "geometry/bvh.h"
#include "util/assert.h"
#include "util/cpu.h"
#include "util/large_alloc.h"
#include "util/parallel.h"

namespace {

const int kBins = 16;
static_assert(kBins <= 256, "a prim's bin is kept in a byte");
// Ranges of at least this many prims are binned on all three axes, smaller ones on one.
const int32_t kAllAxesFrom = 1024;

// Boxes of the build are two four-float vectors (x, y, z, unused).
struct Box {
    __m128 lower, upper;
};

Box emptyBox() { return Box{_mm_set1_ps(INFINITY), _mm_set1_ps(-INFINITY)}; }

void grow(Box& b, const Box& other) {
    b.lower = _mm_min_ps(b.lower, other.lower);
    b.upper = _mm_max_ps(b.upper, other.upper);
}

void growPoint(Box& b, __m128 p) {
    b.lower = _mm_min_ps(b.lower, p);
    b.upper = _mm_max_ps(b.upper, p);
}

// Half the surface area, as the heuristic weighs it; unbounded and empty boxes count as
// very large and zero (never NaN, so comparisons stay meaningful).
float halfArea(const Box& b) {
    alignas(16) float e[4];
    _mm_store_ps(e, _mm_max_ps(_mm_sub_ps(b.upper, b.lower), _mm_setzero_ps()));
    float area = e[0] * e[1] + e[1] * e[2] + e[2] * e[0];
    return area <= FLT_MAX ? area : FLT_MAX;
}

// A triangle as the build sees it: the box of every point the test can accept for it,
// with the triangle's index in the unused fourth lane of the lower corner, so that a
// prim takes 32 bytes (the build's largest array). Nothing reads that lane as a
// coordinate: boxes, areas, bins and slots use the first three lanes only. The index is
// stored as the bits of a normal float (2 plus the index in the bit pattern), since
// arithmetic on the tiny numbers the bare bits would make is slow on many processors.
struct PrimRef {
    Box box;
};

const int32_t kIndexBias = 0x40000000; // the bits of 2.0f
const int32_t kMostPrims = 0x3f800000; // bias + index stays below the bits of infinity

inline int32_t triangleOf(const PrimRef& p) {
    return _mm_cvtsi128_si32(_mm_shuffle_epi32(_mm_castps_si128(p.box.lower), 0xFF)) - kIndexBias;
}

inline void setTriangle(PrimRef& p, int32_t triangle) {
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_castps_si128(p.box.lower));
    lanes[3] = kIndexBias + triangle;
    p.box.lower = _mm_castsi128_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes)));
}

// Twice the middle of a prim's box, the point binning sorts it by; unbounded sides are
// clamped so that the point stays finite.
inline __m128 centre2(const PrimRef& p) {
    const __m128 big = _mm_set1_ps(1e30f);
    return _mm_add_ps(_mm_max_ps(p.box.lower, _mm_sub_ps(_mm_setzero_ps(), big)), _mm_min_ps(p.box.upper, big));
}

// The float nearest x on the side away from zero... or rather: the largest float not
// above x (down) and the smallest not below (up), for rounding bounds outward.
// Converting a double to float rounds to nearest, at most half a float unit (2^-24 of
// the value, or 2^-150 near zero) off: stepping a full unit below first keeps the result
// at or under x. (A non-finite x stays non-finite.)
float floatBelow(double x) { return static_cast<float>(x - (std::fabs(x) * 0x1p-23 + 0x1p-149)); }
float floatAbove(double x) { return -floatBelow(-x); }

// The box of everything vyxTestTrace can accept for tri; false when the test can never
// report a hit for it: a field it reads is not finite (a NaN fails every comparison, an
// infinite coefficient leaves weights that are infinite or NaN, an infinite plane
// offset puts the hit at an infinite t, beyond every limit).
//
// The test projects the hit onto the axes u and v and takes weights w1 = c1 du - c0 dv,
// w2 = c2 dv - c3 du from its rounded coefficients, so it accepts the triangle those
// coefficients describe: p0 and p0 + M^-1 e1, p0 + M^-1 e2 with M = [c1 -c0; -c3 c2]. On
// the third axis it accepts points of its own rounded plane over that triangle. Rounding
// in the weights can move the accepted edges by about eps * cond(M) * size: a sliver's
// coefficients are ill-conditioned, so its box gets that much more room. (Computed in
// double precision, then rounded outward.)
bool acceptanceBox(const vyxTriangle& tri, Box& box) {
    const int k = tri.k, u = (k + 1) % 3, v = (k + 2) % 3;
    const float check = (tri.normal[0] + tri.normal[1] + tri.normal[2] + tri.d + tri.c0 + tri.c1 + tri.c2 + tri.c3 +
                         tri.p0[u] + tri.p0[v]) *
                        0.0f;
    if (check != 0.0f) // NaN: some field is infinite or NaN (x * 0 is NaN for both)
        return false;

    const double c0 = tri.c0, c1 = tri.c1, c2 = tri.c2, c3 = tri.c3;
    const double inverseDet = 1.0 / (c1 * c2 - c0 * c3);
    const double e1u = c2 * inverseDet, e1v = c3 * inverseDet, e2u = c0 * inverseDet, e2v = c1 * inverseDet;
    const double nu = tri.normal[u], nv = tri.normal[v], inverseNk = 1.0 / tri.normal[k];
    const double au = tri.p0[u], av = tri.p0[v];
    const double ak = -(static_cast<double>(tri.d) + nu * au + nv * av) * inverseNk;
    // Corners A = p0, B = A + e1, C = A + e2 on the rounded plane.
    const double corners[3][3] = {{au, av, ak},
                                  {au + e1u, av + e1v, ak - (nu * e1u + nv * e1v) * inverseNk},
                                  {au + e2u, av + e2v, ak - (nu * e2u + nv * e2v) * inverseNk}};
    const double size = std::max(std::max(std::fabs(e1u), std::fabs(e1v)), std::max(std::fabs(e2u), std::fabs(e2v)));
    const double normM = std::max(std::fabs(c1) + std::fabs(c0), std::fabs(c3) + std::fabs(c2));
    const double normInverse =
        std::max(std::fabs(c2) + std::fabs(c0), std::fabs(c3) + std::fabs(c1)) * std::fabs(inverseDet);
    const double room = 32.0 * FLT_EPSILON * normM * normInverse * size;

    // The corners' own box joins in (the two agree up to rounding for a sound triangle);
    // in the order u, v, k here, put back in x, y, z below.
    double lo[3], hi[3];
    const int axis[3] = {u, v, k};
    for (int i = 0; i < 3; ++i) {
        const int a = axis[i];
        const double p0 = tri.p0[a], p1 = tri.p1[a], p2 = tri.p2[a];
        const double q0 = corners[0][i], q1 = corners[1][i], q2 = corners[2][i];
        lo[i] = std::min(std::min(std::min(p0, p1), std::min(p2, q0)), std::min(q1, q2)) - room;
        hi[i] = std::max(std::max(std::max(p0, p1), std::max(p2, q0)), std::max(q1, q2)) + room;
    }
    bool bounded = room <= FLT_MAX; // false for NaN
    alignas(16) float lower[4] = {0, 0, 0, 0}, upper[4] = {0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        bounded = bounded && std::fabs(lo[i]) < FLT_MAX && std::fabs(hi[i]) < FLT_MAX;
        lower[axis[i]] = floatBelow(lo[i]);
        upper[axis[i]] = floatAbove(hi[i]);
    }
    // Ill-conditioned beyond measure (a singular M leaves a whole strip acceptable):
    // such a triangle is tested by every ray that reaches its leaf.
    if (!bounded)
        for (int i = 0; i < 3; ++i) {
            lower[i] = -INFINITY;
            upper[i] = INFINITY;
        }
    box.lower = _mm_load_ps(lower);
    box.upper = _mm_load_ps(upper);
    return true;
}

// A run of prims [begin, end), the box of their boxes and of their binning points.
struct Range {
    int32_t begin, end;
    Box bounds;
    Box centres;
    int32_t count() const { return end - begin; }
};

// What every piece of a build shares. Pieces built at once work on disjoint runs of prims
// (and of bins).
struct Builder {
    PrimRef* prims;
    uint8_t* bins; // per prim: its bin in the last one-axis binning of its range, for the partition
    int threads;   // for splitting large ranges
};

// Triangles tested per leaf cost the same up to a full leaf.
float leafBlocks(int32_t count) { return static_cast<float>((count + vyxBVHLeafSize - 1) / vyxBVHLeafSize); }

// Per axis: where the binning points start, and the factor that maps them to bins (0 on
// an axis where they cannot be separated). Small ranges use fewer bins: their planes
// matter less and the sweep over the bins would cost more than the binning.
struct Binning {
    __m128 origin, scale, last;
    int bins;
    int axes[3]; // the axes binned
    int axisCount;
};

Binning binningOf(const Range& r) {
    const int bins = std::min(kBins, std::max(4, r.count() / 2));
    alignas(16) float lo[4], hi[4], scale[4] = {0, 0, 0, 0};
    _mm_store_ps(lo, r.centres.lower);
    _mm_store_ps(hi, r.centres.upper);
    Binning binning;
    binning.axisCount = 0;
    int widest = 0;
    for (int a = 0; a < 3; ++a) {
        const float extent = hi[a] - lo[a];
        if (extent > 0.0f && extent <= FLT_MAX) {
            scale[a] = static_cast<float>(bins) * (1.0f - 1e-6f) / extent;
            binning.axes[binning.axisCount++] = a;
            if (extent > hi[widest] - lo[widest])
                widest = a;
        }
    }
    // Below the top of the tree only the widest axis is binned: the planes found are
    // nearly as good and binning costs a third.
    if (r.count() < kAllAxesFrom && binning.axisCount > 1) {
        binning.axisCount = 1;
        binning.axes[0] = widest;
    }
    binning.origin = r.centres.lower;
    binning.scale = _mm_load_ps(scale);
    binning.last = _mm_set1_ps(static_cast<float>(bins - 1));
    binning.bins = bins;
    return binning;
}

// The bins of a binning point, one per axis, each in [0, bins).
inline __m128i binsOf(const Binning& binning, __m128 centre) {
    __m128 f = _mm_mul_ps(_mm_sub_ps(centre, binning.origin), binning.scale);
    f = _mm_min_ps(_mm_max_ps(f, _mm_setzero_ps()), binning.last);
    return _mm_cvttps_epi32(f);
}

// Lane a of v.
inline float laneOf(__m128 v, int a) {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    return lanes[a];
}

// Binning on one axis: the same arithmetic as binsOf on that axis's lane alone, so the
// same bins, without a round trip through memory per prim.
struct AxisBinning {
    int axis;
    __m128 origin, scale, last, big; // lane 0 only
};

AxisBinning axisBinning(const Binning& binning, int axis) {
    return AxisBinning{axis, _mm_set_ss(laneOf(binning.origin, axis)), _mm_set_ss(laneOf(binning.scale, axis)),
                       _mm_set_ss(laneOf(binning.last, axis)), _mm_set_ss(1e30f)};
}

// The bin of prim p on the axis (its centre2 on that axis, as binsOf sees it).
inline int binOn(const AxisBinning& binning, const PrimRef& p) {
    const float* lower = reinterpret_cast<const float*>(&p.box.lower);
    const float* upper = reinterpret_cast<const float*>(&p.box.upper);
    const __m128 zero = _mm_setzero_ps();
    const __m128 centre = _mm_add_ss(_mm_max_ss(_mm_set_ss(lower[binning.axis]), _mm_sub_ss(zero, binning.big)),
                                     _mm_min_ss(_mm_set_ss(upper[binning.axis]), binning.big));
    __m128 f = _mm_mul_ss(_mm_sub_ss(centre, binning.origin), binning.scale);
    f = _mm_min_ss(_mm_max_ss(f, zero), binning.last);
    return _mm_cvttss_si32(f);
}

// The boxes and counts of the prims of r in each bin of each axis binned.
struct Bins {
    Box boxes[3][kBins];
    int32_t counts[3][kBins];
};

// Inlined at both callers: as a call of its own the binning loops come out slower.
__attribute__((always_inline)) inline void binPrims(Builder& b, const Range& r, const Binning& binning, Bins& bins) {
    for (int k = 0; k < binning.axisCount; ++k)
        for (int i = 0, a = binning.axes[k]; i < binning.bins; ++i) {
            bins.boxes[a][i] = emptyBox();
            bins.counts[a][i] = 0;
        }
    if (binning.axisCount == 1) {
        // Below the top of the tree: one axis, the tight loop most prims go through.
        const AxisBinning one = axisBinning(binning, binning.axes[0]);
        Box* boxes = bins.boxes[one.axis];
        int32_t* counts = bins.counts[one.axis];
        for (int32_t i = r.begin; i < r.end; ++i) {
            const PrimRef& p = b.prims[i];
            const int bin = binOn(one, p);
            b.bins[i] = static_cast<uint8_t>(bin);
            grow(boxes[bin], p.box);
            ++counts[bin];
        }
        return;
    }
    for (int32_t i = r.begin; i < r.end; ++i) {
        const PrimRef& p = b.prims[i];
        alignas(16) int32_t bin[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(bin), binsOf(binning, centre2(p)));
        for (int k = 0; k < binning.axisCount; ++k) {
            const int a = binning.axes[k];
            grow(bins.boxes[a][bin[a]], p.box);
            ++bins.counts[a][bin[a]];
        }
    }
}

// The plane of least surface-area cost among those between bins i - 1 and i of every
// axis binned (axis -1 when no plane has prims on both sides): each axis swept from the
// right, then from the left.
struct Plane {
    int axis = -1, bin = 0;
};

Plane cheapestPlane(const Binning& binning, const Bins& bins) {
    Plane best;
    float bestCost = INFINITY;
    for (int k = 0; k < binning.axisCount; ++k) {
        const int a = binning.axes[k];
        float rightArea[kBins];
        int32_t rightCount[kBins];
        Box acc = emptyBox();
        int32_t n = 0;
        for (int i = binning.bins - 1; i > 0; --i) {
            grow(acc, bins.boxes[a][i]);
            n += bins.counts[a][i];
            rightArea[i] = halfArea(acc);
            rightCount[i] = n;
        }
        acc = emptyBox();
        n = 0;
        for (int i = 1; i < binning.bins; ++i) {
            grow(acc, bins.boxes[a][i - 1]);
            n += bins.counts[a][i - 1];
            if (n == 0 || rightCount[i] == 0)
                continue;
            const float cost = halfArea(acc) * leafBlocks(n) + rightArea[i] * leafBlocks(rightCount[i]);
            if (cost < bestCost) {
                bestCost = cost;
                best.axis = a;
                best.bin = i;
            }
        }
    }
    return best;
}

// Partitions r in place from both ends, the prims whose bin (binOf(index)) lies below
// the plane's to the left, and gives both sides their boxes.
template <typename BinOf>
void partitionPrims(Builder& b, const Range& r, int planeBin, BinOf binOf, Range& left, Range& right) {
    int32_t i = r.begin, j = r.end - 1;
    for (;;) {
        while (i <= j && binOf(i) < planeBin) {
            grow(left.bounds, b.prims[i].box);
            growPoint(left.centres, centre2(b.prims[i]));
            ++i;
        }
        while (i <= j && binOf(j) >= planeBin) {
            grow(right.bounds, b.prims[j].box);
            growPoint(right.centres, centre2(b.prims[j]));
            --j;
        }
        if (i >= j)
            break;
        std::swap(b.prims[i], b.prims[j]);
        std::swap(b.bins[i], b.bins[j]);
    }
    left.end = right.begin = i;
    // The sweep only offers planes with prims on both sides.
    VYX_ASSERT(i > r.begin && i < r.end);
}

// Ranges of at least this many prims are binned and partitioned in shares of kSplitShare
// on all threads (with the same bins, planes and partition as on one); the triangles are
// boxed, and their order taken out of the prims, in shares of that size too.
const int32_t kSplitInSharesFrom = 1 << 16;
const int32_t kSplitShare = 1 << 14;

// The shares of r: [begin, end) of share k of shareCount(r).
int shareCount(const Range& r) { return static_cast<int>((r.count() + kSplitShare - 1) / kSplitShare); }
Range shareOf(const Range& r, int k) {
    const int32_t begin = r.begin + k * kSplitShare;
    return Range{begin, std::min(r.end, begin + kSplitShare), emptyBox(), emptyBox()};
}

// binPrims share by share; the bins' boxes and counts added up after.
void binInShares(Builder& b, const Range& r, const Binning& binning, Bins& bins) {
    std::vector<Bins> shares(static_cast<size_t>(shareCount(r)));
    vyxParallelFor(shareCount(r), b.threads,
                   [&](int k) { binPrims(b, shareOf(r, k), binning, shares[static_cast<size_t>(k)]); });
    for (int k = 0; k < binning.axisCount; ++k)
        for (int i = 0, a = binning.axes[k]; i < binning.bins; ++i) {
            bins.boxes[a][i] = emptyBox();
            bins.counts[a][i] = 0;
            for (const Bins& share : shares) {
                grow(bins.boxes[a][i], share.boxes[a][i]);
                bins.counts[a][i] += share.counts[a][i];
            }
        }
}

// partitionPrims share by share, with the same result: that partition swaps the k-th
// prim from the left that belongs on the right with the k-th from the right that belongs
// on the left. Each prim's side is found first (kept in bins: 1 left, 0 right) with the
// sides' boxes; then the misplaced prims are counted per share, and each share of the
// left part swaps its own with their partners, found from the counts.
template <typename BinOf>
void partitionInShares(Builder& b, const Range& r, int planeBin, BinOf binOf, Range& left, Range& right) {
    const int shares = shareCount(r);
    std::vector<Range> lefts(static_cast<size_t>(shares)), rights(static_cast<size_t>(shares));
    vyxParallelFor(shares, b.threads, [&](int k) {
        const Range s = shareOf(r, k);
        // The boxes in locals, where the compiler keeps them in registers.
        Box lb = emptyBox(), lc = emptyBox(), gb = emptyBox(), gc = emptyBox();
        int32_t onLeftCount = 0;
        for (int32_t i = s.begin; i < s.end; ++i) {
            const PrimRef& p = b.prims[i];
            if (binOf(i) < planeBin) {
                b.bins[i] = 1;
                grow(lb, p.box);
                growPoint(lc, centre2(p));
                ++onLeftCount;
            } else {
                b.bins[i] = 0;
                grow(gb, p.box);
                growPoint(gc, centre2(p));
            }
        }
        lefts[static_cast<size_t>(k)] = Range{s.begin, s.begin + onLeftCount, lb, lc};
        rights[static_cast<size_t>(k)] = Range{s.begin + onLeftCount, s.end, gb, gc};
    });
    int32_t middle = r.begin;
    for (int k = 0; k < shares; ++k) {
        middle += lefts[static_cast<size_t>(k)].count();
        grow(left.bounds, lefts[static_cast<size_t>(k)].bounds);
        grow(left.centres, lefts[static_cast<size_t>(k)].centres);
        grow(right.bounds, rights[static_cast<size_t>(k)].bounds);
        grow(right.centres, rights[static_cast<size_t>(k)].centres);
    }
    left.end = right.begin = middle;
    // The sweep only offers planes with prims on both sides.
    VYX_ASSERT(middle > r.begin && middle < r.end);

    // Per share: misplaced prims left of the middle (on the right's side) and right of it.
    std::vector<int32_t> wrongLeft(static_cast<size_t>(shares)), wrongRight(static_cast<size_t>(shares));
    const uint8_t* side = b.bins;
    vyxParallelFor(shares, b.threads, [&](int k) {
        const Range s = shareOf(r, k);
        int32_t l = 0, g = 0;
        for (int32_t i = s.begin; i < s.end; ++i) {
            l += i < middle && side[i] == 0 ? 1 : 0;
            g += i >= middle && side[i] == 1 ? 1 : 0;
        }
        wrongLeft[static_cast<size_t>(k)] = l;
        wrongRight[static_cast<size_t>(k)] = g;
    });
    // The rank of each share's first misplaced prim: from the left for the left part,
    // from the right for the right part.
    std::vector<int32_t> rankLeft(static_cast<size_t>(shares)), rankRight(static_cast<size_t>(shares));
    for (int k = 0, sum = 0; k < shares; ++k) {
        rankLeft[static_cast<size_t>(k)] = sum;
        sum += wrongLeft[static_cast<size_t>(k)];
    }
    for (int k = shares - 1, sum = 0; k >= 0; --k) {
        rankRight[static_cast<size_t>(k)] = sum;
        sum += wrongRight[static_cast<size_t>(k)];
    }
    vyxParallelFor(shares, b.threads, [&](int k) {
        int32_t wrong = wrongLeft[static_cast<size_t>(k)];
        if (wrong == 0)
            return;
        // The partner of this share's first: the misplaced prim of that rank from the right.
        const int32_t rank = rankLeft[static_cast<size_t>(k)];
        int t = shares - 1;
        while (rankRight[static_cast<size_t>(t)] + wrongRight[static_cast<size_t>(t)] <= rank)
            --t;
        int32_t j = shareOf(r, t).end - 1;
        for (int32_t skip = rank - rankRight[static_cast<size_t>(t)];; --j)
            if (side[j] == 1 && skip-- == 0)
                break;
        for (int32_t i = shareOf(r, k).begin;; ++i) {
            if (side[i] != 0)
                continue;
            std::swap(b.prims[i], b.prims[j]);
            if (--wrong == 0)
                break;
            for (--j; side[j] != 1; --j) {
            }
        }
    });
}

// The partition at plane: with one axis binned, by the bins the binning kept; otherwise
// by binning each prim again on the plane's axis.
void partitionAt(Builder& b, const Range& r, const Binning& binning, Plane plane, Range& left, Range& right) {
    const bool inShares = r.count() >= kSplitInSharesFrom && b.threads > 1;
    if (binning.axisCount == 1) {
        const uint8_t* bins = b.bins;
        const auto kept = [bins](int32_t i) { return static_cast<int>(bins[i]); };
        if (inShares)
            partitionInShares(b, r, plane.bin, kept, left, right);
        else
            partitionPrims(b, r, plane.bin, kept, left, right);
        return;
    }
    const AxisBinning one = axisBinning(binning, plane.axis);
    const auto again = [&b, &one](int32_t i) { return binOn(one, b.prims[i]); };
    if (inShares)
        partitionInShares(b, r, plane.bin, again, left, right);
    else
        partitionPrims(b, r, plane.bin, again, left, right);
}

// Splits r in two: at the best of kBins binned planes per axis by the surface area
// heuristic, or in list order when the binning points cannot be separated or the depth
// limit for the heuristic is reached. Both halves get their boxes.
void split(Builder& b, const Range& r, int depth, Range& left, Range& right) {
    left = Range{r.begin, r.begin, emptyBox(), emptyBox()};
    right = Range{r.end, r.end, emptyBox(), emptyBox()};
    const Binning binning = binningOf(r);
    if (depth < vyxBVHHeuristicDepth) {
        Bins bins;
        if (r.count() >= kSplitInSharesFrom && b.threads > 1)
            binInShares(b, r, binning, bins);
        else
            binPrims(b, r, binning, bins);
        const Plane plane = cheapestPlane(binning, bins);
        if (plane.axis >= 0) {
            partitionAt(b, r, binning, plane, left, right);
            return;
        }
    }
    // In list order: two halves.
    left.end = right.begin = r.begin + r.count() / 2;
    for (int32_t i = r.begin; i < r.end; ++i) {
        Range& side = i < left.end ? left : right;
        grow(side.bounds, b.prims[i].box);
        growPoint(side.centres, centre2(b.prims[i]));
    }
}

// Writes the leaf of the triangles order[begin, begin + count).
void makeLeaf(const vyxTriangle* triangles, const int32_t* order, int32_t begin, int count, vyxBVHLeaf& leaf) {
    VYX_ASSERT(count >= 1 && count <= vyxBVHLeafSize);
    // Lanes in triangle order.
    int32_t index[vyxBVHLeafSize];
    for (int lane = 0; lane < count; ++lane)
        index[lane] = order[begin + lane];
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && index[j - 1] > index[j]; --j)
            std::swap(index[j - 1], index[j]);
    for (int lane = 0; lane < vyxBVHLeafSize; ++lane) {
        if (lane >= count) {
            for (int a = 0; a < 3; ++a)
                leaf.normal[a][lane] = NAN;
            leaf.d[lane] = 0.0f;
            for (int c = 0; c < 4; ++c)
                leaf.c[c][lane] = 0.0f;
            leaf.p0u[lane] = leaf.p0v[lane] = 0.0f;
            leaf.k[lane] = 0;
            leaf.triangle[lane] = -1;
            continue;
        }
        const vyxTriangle& tri = triangles[index[lane]];
        const int k = tri.k;
        for (int a = 0; a < 3; ++a)
            leaf.normal[a][lane] = tri.normal[a];
        leaf.d[lane] = tri.d;
        leaf.c[0][lane] = tri.c0;
        leaf.c[1][lane] = tri.c1;
        leaf.c[2][lane] = tri.c2;
        leaf.c[3][lane] = tri.c3;
        leaf.p0u[lane] = tri.p0[(k + 1) % 3];
        leaf.p0v[lane] = tri.p0[(k + 2) % 3];
        leaf.k[lane] = k;
        leaf.triangle[lane] = index[lane];
    }
}

// Writes a child's box into a node slot, widened by the fraction of its own size.
template <int W>
void setSlot(vyxBVHNodeOf<W>& node, int slot, const Box& box, int32_t ref) {
    alignas(16) float lower[4], upper[4];
    _mm_store_ps(lower, box.lower);
    _mm_store_ps(upper, box.upper);
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
        if (std::isfinite(lower[a]))
            largest = std::max(largest, std::fabs(lower[a]));
        if (std::isfinite(upper[a]))
            largest = std::max(largest, std::fabs(upper[a]));
    }
    // The smallest normal float keeps the margin positive for a box at the origin.
    const float margin = std::max(largest * vyxBVHMarginFraction, FLT_MIN);
    for (int a = 0; a < 3; ++a) {
        node.lower[a][slot] = lower[a] - margin;
        node.upper[a][slot] = upper[a] + margin;
    }
    node.child[slot] = ref;
}

// A leaf as the build records it: its prims, [begin, begin + count), written out when
// the whole tree's layout is known. In the top piece a negative count marks a subtree
// built apart instead: -1 - its index among them.
struct LeafRun {
    int32_t begin;
    int32_t count;
};

// A range whose subtree is built apart from the top of the tree, and its depth there.
struct Apart {
    Range range;
    int depth;
};

// The items of a build's pieces (nodes, or leaf runs) live in blocks of kBlock handed out
// in turn from one large array: its pages come in huge pages, where an array of each
// piece's own would cost a page fault per 4 KB.
const int32_t kBlock = 64;
// The smallest range built apart, so that the pieces' part-filled blocks stay few (those
// of fewer prims below the top are built with it).
const int32_t kLeastPiece = 256;

template <typename T>
struct BlockStore {
    T* items = nullptr;
    int32_t blocks = 0;            // room, in blocks
    std::atomic<int32_t> taken{0}; // blocks handed out
};

// One piece's items, in blocks of a store.
template <typename T>
class Blocked {
public:
    void use(BlockStore<T>* store) { store_ = store; }
    size_t size() const { return static_cast<size_t>(count_); }
    T& operator[](size_t i) { return store_->items[index(i)]; }
    const T& operator[](size_t i) const { return store_->items[index(i)]; }

    // A new item at the end, zeroed (padding bytes included, so that the tree's bytes are
    // the same from build to build); throws std::bad_alloc when the store is full.
    T& grow() {
        if (count_ % kBlock == 0) {
            const int32_t block = store_->taken.fetch_add(1);
            if (block >= store_->blocks)
                throw std::bad_alloc();
            blocks_.push_back(block);
        }
        T& item = (*this)[static_cast<size_t>(count_++)];
        std::memset(static_cast<void*>(&item), 0, sizeof(T));
        return item;
    }

private:
    size_t index(size_t i) const {
        return static_cast<size_t>(blocks_[i / kBlock]) * static_cast<size_t>(kBlock) + i % kBlock;
    }

    BlockStore<T>* store_ = nullptr;
    std::vector<int32_t> blocks_;
    int32_t count_ = 0;
};

// One piece of a tree: the top, or the subtree of a range built apart. Its nodes are
// numbered from 0 in the order they are made (each before its children), its leaves in
// the order a depth-first walk reaches them, and its child references use those numbers
// until the pieces are joined, each piece's nodes and leaves then following on in one
// block. The joined tree is the one a single walk over the whole range would make.
template <int W>
struct Piece {
    Blocked<vyxBVHNodeOf<W>> nodes;
    Blocked<LeafRun> leaves;
    int32_t deepest = 0;
    // The top piece only: ranges of at most apartFrom prims (and at least kLeastPiece)
    // are built apart (0: none), and the order in which it made nodes (>= 0) and leaf
    // runs (~run), for numbering the joined tree.
    bool top = false;
    int32_t apartFrom = 0;
    std::vector<Apart> apart;
    std::vector<int32_t> made;
    // Where its nodes and leaves start in the joined tree.
    int32_t nodeBase = 0, leafBase = 0;
};

// Builds the subtree of r as a node of up to W children: the child with the largest area
// is split again until there are W or every child fits a leaf. Returns its reference in
// the piece.
template <int W>
int32_t buildNode(Builder& b, Piece<W>& piece, const Range& r, int depth) {
    const bool top = piece.top;
    if (r.count() <= vyxBVHLeafSize || (r.count() <= piece.apartFrom && r.count() >= kLeastPiece)) {
        int32_t count = r.count();
        if (count > vyxBVHLeafSize) {
            count = -1 - static_cast<int32_t>(piece.apart.size());
            piece.apart.push_back(Apart{r, depth});
        }
        const int32_t run = static_cast<int32_t>(piece.leaves.size());
        piece.leaves.grow() = LeafRun{r.begin, count};
        if (top)
            piece.made.push_back(~run);
        return vyxBVHLeafRef(run);
    }
    piece.deepest = std::max(piece.deepest, depth + 1);
    Range children[W];
    int count = 1;
    children[0] = r;
    while (count < W) {
        int pick = -1;
        float pickArea = -1.0f;
        for (int i = 0; i < count; ++i) {
            float area = halfArea(children[i].bounds);
            if (children[i].count() > vyxBVHLeafSize && area > pickArea) {
                pick = i;
                pickArea = area;
            }
        }
        if (pick < 0)
            break;
        const Range whole = children[pick];
        split(b, whole, depth, children[pick], children[count]);
        ++count;
    }

    const int32_t index = static_cast<int32_t>(piece.nodes.size());
    piece.nodes.grow();
    if (top)
        piece.made.push_back(index);
    for (int slot = 0; slot < W; ++slot) {
        if (slot < count) {
            const int32_t ref = buildNode(b, piece, children[slot], depth + 1);
            setSlot(piece.nodes[index], slot, children[slot].bounds, ref);
        } else {
            vyxBVHNodeOf<W>& node = piece.nodes[index];
            for (int a = 0; a < 3; ++a) {
                node.lower[a][slot] = INFINITY;
                node.upper[a][slot] = -INFINITY;
            }
            node.child[slot] = 0;
        }
    }
    return index;
}

// The prims of the triangles the test can report, with their boxes, in triangle order;
// the range of them. Shares of the triangles are boxed at once, each into its own part of
// prims; the parts are then moved together in order.
int32_t collectPrims(const vyxTriangle* triangles, int32_t count, PrimRef* prims, Range& all, int threads) {
    const Range whole{0, count, emptyBox(), emptyBox()};
    std::vector<Range> parts(static_cast<size_t>(shareCount(whole)));
    vyxParallelFor(shareCount(whole), threads, [&](int k) {
        const Range share = shareOf(whole, k);
        Range part = Range{share.begin, share.begin, emptyBox(), emptyBox()};
        for (int32_t i = share.begin; i < share.end; ++i) {
            PrimRef& p = prims[part.end];
            if (!acceptanceBox(triangles[i], p.box))
                continue;
            setTriangle(p, i);
            grow(part.bounds, p.box);
            growPoint(part.centres, centre2(p));
            ++part.end;
        }
        parts[static_cast<size_t>(k)] = part;
    });
    all = Range{0, 0, emptyBox(), emptyBox()};
    for (const Range& part : parts) {
        if (part.begin != all.end)
            std::memmove(static_cast<void*>(prims + all.end), prims + part.begin, part.count() * sizeof(PrimRef));
        all.end += part.count();
        grow(all.bounds, part.bounds);
        grow(all.centres, part.centres);
    }
    return all.end;
}

// Ranges of at most this many prims are never split into subtrees built apart: below it
// the pieces would cost more to manage than they gain.
const int32_t kLeastApart = 4096;
// The top of the tree stops at ranges of a sixteenth of the prims or less, so that the
// subtrees built apart are many enough to share out evenly.
const int32_t kApartShares = 16;

// A child reference of a piece in the joined tree.
struct Renumber {
    const std::vector<int32_t>* topNodes; // the top piece: its nodes' numbers
    const std::vector<int32_t>* topRuns;  // the top piece: its leaf runs' references
    int32_t nodeBase, leafBase;           // any other piece: where it starts

    int32_t operator()(int32_t ref) const {
        if (topNodes)
            return ref >= 0 ? (*topNodes)[static_cast<size_t>(ref)] : (*topRuns)[static_cast<size_t>(~ref)];
        return ref >= 0 ? nodeBase + ref : vyxBVHLeafRef(leafBase + ~ref);
    }
};

// The nodes and leaves of a tree W wide over count triangles; false when memory runs out.
// The top of the tree is built first (its large ranges split in shares), then the
// subtrees below it at once, then all are joined in one fixed order, each step on as many
// threads as vyxWorkerCores() allows: the tree is the same however many there are.
template <int W>
bool buildTree(vyxBVH& bvh, vyxBVHNodeOf<W>*& nodes, const vyxTriangle* triangles, int32_t count) {
    VYX_ASSERT_LT(count, kMostPrims);
    const size_t n = static_cast<size_t>(count);
    const int threads = vyxWorkerCores();
    Builder b;
    b.threads = threads;
    b.prims = static_cast<PrimRef*>(vyxAllocLarge(n * sizeof(PrimRef)));
    b.bins = static_cast<uint8_t*>(vyxAllocLarge(n));
    // A piece of c prims has fewer than c nodes and no more than c leaf runs, so it takes
    // at most c / kBlock + 1 blocks of each; and there are fewer than count / kLeastPiece
    // pieces besides the top. Pages past the ones written are never touched.
    const int32_t blocks = count / kBlock + count / kLeastPiece + 2;
    BlockStore<vyxBVHNodeOf<W>> nodeStore;
    BlockStore<LeafRun> runStore;
    nodeStore.items =
        static_cast<vyxBVHNodeOf<W>*>(vyxAllocLarge(static_cast<size_t>(blocks) * kBlock * sizeof(vyxBVHNodeOf<W>)));
    runStore.items = static_cast<LeafRun*>(vyxAllocLarge(static_cast<size_t>(blocks) * kBlock * sizeof(LeafRun)));
    nodeStore.blocks = runStore.blocks = blocks;
    vyxBVHNodeOf<W>* joinedNodes = nullptr;
    vyxBVHLeaf* joinedLeaves = nullptr;
    int32_t* inOrder = nullptr;   // the triangles in the prims' final order
    std::vector<Piece<W>> pieces; // the top, then the subtrees built apart
    std::atomic<bool> failed{false};
    Range all;
    int32_t root = 0, nodeCount = 0, leafCount = 0, deepest = 0;
    try {
        if (!b.prims || !b.bins || !nodeStore.items || !runStore.items)
            throw std::bad_alloc();
        if (collectPrims(triangles, count, b.prims, all, threads) > 0) {
            pieces.resize(1);
            Piece<W>& top = pieces[0];
            top.top = true;
            top.nodes.use(&nodeStore);
            top.leaves.use(&runStore);
            if (all.count() >= 2 * kLeastApart)
                top.apartFrom = std::max(kLeastApart, all.count() / kApartShares);
            root = buildNode(b, top, all, 0);
            pieces.resize(1 + pieces[0].apart.size());
            for (Piece<W>& piece : pieces) {
                piece.nodes.use(&nodeStore);
                piece.leaves.use(&runStore);
            }
            // Largest first, so that the last ones to finish are small.
            std::vector<int> order(pieces.size() - 1);
            for (size_t i = 0; i < order.size(); ++i)
                order[i] = static_cast<int>(i);
            std::stable_sort(order.begin(), order.end(), [&pieces](int x, int y) {
                return pieces[0].apart[static_cast<size_t>(x)].range.count() >
                       pieces[0].apart[static_cast<size_t>(y)].range.count();
            });
            vyxParallelFor(static_cast<int>(order.size()), threads, [&](int k) {
                const Apart& job = pieces[0].apart[static_cast<size_t>(order[static_cast<size_t>(k)])];
                Piece<W>& piece = pieces[1 + static_cast<size_t>(order[static_cast<size_t>(k)])];
                try {
                    buildNode(b, piece, job.range, job.depth);
                } catch (const std::bad_alloc&) {
                    failed = true;
                }
            });
            if (failed)
                throw std::bad_alloc();
        }
        // Numbers in the joined tree, in the order a single walk would have made them.
        const Piece<W>* top = pieces.empty() ? nullptr : &pieces[0];
        std::vector<int32_t> topNodes(top ? top->nodes.size() : 0), topRuns(top ? top->leaves.size() : 0);
        for (size_t i = 0; top && i < top->made.size(); ++i) {
            const int32_t made = top->made[i];
            if (made >= 0) {
                topNodes[static_cast<size_t>(made)] = nodeCount++;
                continue;
            }
            const LeafRun& run = top->leaves[static_cast<size_t>(~made)];
            if (run.count > 0) {
                topRuns[static_cast<size_t>(~made)] = vyxBVHLeafRef(leafCount++);
                continue;
            }
            Piece<W>& piece = pieces[static_cast<size_t>(-run.count)];
            piece.nodeBase = nodeCount;
            piece.leafBase = leafCount;
            topRuns[static_cast<size_t>(~made)] = nodeCount;
            nodeCount += static_cast<int32_t>(piece.nodes.size());
            leafCount += static_cast<int32_t>(piece.leaves.size());
        }
        auto renumber = [&](size_t k) {
            return k == 0 ? Renumber{&topNodes, &topRuns, 0, 0}
                          : Renumber{nullptr, nullptr, pieces[k].nodeBase, pieces[k].leafBase};
        };
        if (top)
            root = renumber(0)(root);

        // The triangles in the prims' order, which is all the leaves need of them; then
        // the prims' memory is free for the nodes. (The bins are no longer needed.) The
        // leaves come last, once the prims' unused pages and the node store are handed
        // back: their pages can then be ones this build has just let go of, and the
        // build's largest arrays are never all held at once.
        std::free(b.bins);
        b.bins = nullptr;
        inOrder = static_cast<int32_t*>(vyxAllocLarge(n * sizeof(int32_t)));
        if (!inOrder)
            throw std::bad_alloc();
        vyxParallelFor(shareCount(all), threads, [&](int k) {
            const Range s = shareOf(all, k);
            for (int32_t i = s.begin; i < s.end; ++i)
                inOrder[i] = triangleOf(b.prims[i]);
        });
        // The nodes go where the prims were when they fit there (they do unless leaves
        // hold few triangles and nodes few children): those pages are in memory already,
        // where fresh ones would cost a fault each.
        const size_t nodeBytes = static_cast<size_t>(nodeCount) * sizeof(vyxBVHNodeOf<W>);
        const bool reused = nodeBytes <= n * sizeof(PrimRef);
        if (reused) {
            joinedNodes = reinterpret_cast<vyxBVHNodeOf<W>*>(b.prims);
            b.prims = nullptr;
        } else {
            std::free(b.prims);
            b.prims = nullptr;
            joinedNodes = static_cast<vyxBVHNodeOf<W>*>(vyxAllocLarge(nodeBytes));
            if (!joinedNodes)
                throw std::bad_alloc();
        }
        // visit(piece, its numbers in the joined tree) for every piece, on the threads.
        const auto forEachPiece = [&](auto visit) {
            vyxParallelFor(static_cast<int>(pieces.size()), threads,
                           [&](int k) { visit(pieces[static_cast<size_t>(k)], renumber(static_cast<size_t>(k))); });
        };
        forEachPiece([&](const Piece<W>& piece, const Renumber& to) {
            for (size_t i = 0; i < piece.nodes.size(); ++i) {
                vyxBVHNodeOf<W>& node = joinedNodes[to(static_cast<int32_t>(i))];
                std::memcpy(static_cast<void*>(&node), &piece.nodes[i], sizeof(node));
                // An empty slot (no box) keeps its 0.
                for (int slot = 0; slot < W; ++slot)
                    if (node.lower[0][slot] <= node.upper[0][slot])
                        node.child[slot] = to(node.child[slot]);
            }
        });
        std::free(nodeStore.items);
        nodeStore.items = nullptr;
        if (reused)
            vyxReleaseWholePages(reinterpret_cast<const char*>(joinedNodes) + nodeBytes,
                                 reinterpret_cast<const char*>(joinedNodes) + n * sizeof(PrimRef));

        if (leafCount > 0) {
            joinedLeaves = static_cast<vyxBVHLeaf*>(vyxAllocLarge(static_cast<size_t>(leafCount) * sizeof(vyxBVHLeaf)));
            if (!joinedLeaves)
                throw std::bad_alloc();
        }
        forEachPiece([&](const Piece<W>& piece, const Renumber& to) {
            for (size_t i = 0; i < piece.leaves.size(); ++i) {
                const LeafRun& run = piece.leaves[i];
                if (run.count > 0)
                    makeLeaf(triangles, inOrder, run.begin, run.count,
                             joinedLeaves[~to(vyxBVHLeafRef(static_cast<int32_t>(i)))]);
            }
        });
        std::free(runStore.items);
        runStore.items = nullptr;
        std::free(inOrder);
        inOrder = nullptr;
        for (const Piece<W>& piece : pieces)
            deepest = std::max(deepest, piece.deepest);
    } catch (const std::bad_alloc&) {
        std::free(b.prims);
        std::free(b.bins);
        std::free(inOrder);
        std::free(nodeStore.items);
        std::free(runStore.items);
        std::free(joinedNodes);
        std::free(joinedLeaves);
        return false;
    }
    // The widened box of everything, as a node slot would hold it.
    vyxBVHNodeOf<1> whole;
    setSlot(whole, 0, all.bounds, 0);
    double diagonal = 0.0;
    for (int a = 0; a < 3; ++a) {
        bvh.lower[a] = whole.lower[a][0];
        bvh.upper[a] = whole.upper[a][0];
        const double extent = static_cast<double>(bvh.upper[a]) - static_cast<double>(bvh.lower[a]);
        diagonal += extent > 0.0 ? extent * extent : 0.0;
    }
    bvh.leafSize = static_cast<float>(std::sqrt(diagonal) / std::cbrt(std::max(1.0, static_cast<double>(leafCount))));
    VYX_ASSERT_LE(deepest, vyxBVHMaxDepth);
    nodes = joinedNodes;
    bvh.root = root;
    bvh.nodeCount = nodeCount;
    bvh.leaves = joinedLeaves;
    bvh.leafCount = leafCount;
    bvh.depth = deepest;
    bvh.width = W;
    bvh.built = 1;
    return true;
}

// The width builds use: 0 = the best the processor allows.
std::atomic<int> chosenWidth{0};

} // namespace

int vyxBVHSetWidth(int width) {
    chosenWidth.store(width == 4 || width == 8 ? width : 0);
    return chosenWidth.load() == 4 || !vyxWideVectorsAllowed() ? 4 : 8;
}

bool vyxBuildBVH(vyxBVH& bvh, const vyxTriangle* triangles, int32_t count) {
    std::memset(&bvh, 0, sizeof(bvh));
    if (!triangles || count <= 0) {
        bvh.width = 4;
        bvh.built = 1;
        for (int a = 0; a < 3; ++a) {
            bvh.lower[a] = INFINITY;
            bvh.upper[a] = -INFINITY;
        }
        return true;
    }
    if (chosenWidth.load() != 4 && vyxWideVectorsAllowed())
        return buildTree<8>(bvh, bvh.nodes8, triangles, count);
    return buildTree<4>(bvh, bvh.nodes4, triangles, count);
}

void vyxFreeBVH(vyxBVH& bvh) {
    std::free(bvh.nodes4);
    std::free(bvh.nodes8);
    std::free(bvh.leaves);
    std::memset(&bvh, 0, sizeof(bvh));
}
