// The surface-area hierarchy's layout: the same nodes and leaves however many threads
// build it, from inside a parallel loop too; nodes numbered before their children and
// leaves in the order a depth-first walk reaches them; every triangle in one leaf lane,
// inside the box of every node above it.

#include "geometry/bvh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_geometry.h"
#include "util/large_alloc.h"
#include "util/parallel.h"

using geotest::Tri;

namespace {

std::vector<vyxTriangle> setUpAll(const std::vector<Tri>& tris) {
    std::vector<vyxTriangle> triangles;
    for (const Tri& t : tris)
        triangles.push_back(geotest::setUp(t));
    return triangles;
}

template <int W>
const vyxBVHNodeOf<W>* nodesOf(const vyxBVH& bvh);
template <>
const vyxBVHNode4* nodesOf<4>(const vyxBVH& bvh) {
    return bvh.nodes4;
}
template <>
const vyxBVHNode8* nodesOf<8>(const vyxBVH& bvh) {
    return bvh.nodes8;
}

// A slot without a child has an empty box.
template <int W>
bool emptySlot(const vyxBVHNodeOf<W>& node, int slot) {
    return node.lower[0][slot] > node.upper[0][slot];
}

// Walks the tree depth first in slot order: each node must be the next number, each leaf
// the next leaf, each triangle's corners inside the boxes of the nodes above it.
template <int W>
struct LayoutWalk {
    const vyxBVH& bvh;
    const std::vector<vyxTriangle>& triangles;
    int32_t nextNode = 0, nextLeaf = 0;
    std::vector<int> seen;           // per triangle: lanes naming it
    std::vector<const float*> boxes; // per level: lower and upper of the slot taken
    std::string& fault;

    void walk(int32_t ref, int depth) {
        if (!fault.empty())
            return;
        if (ref < 0) {
            const int32_t leaf = ~ref;
            if (leaf != nextLeaf++) {
                fault = "leaf " + std::to_string(leaf) + " reached in place of " + std::to_string(nextLeaf - 1);
                return;
            }
            int32_t previous = -1;
            for (int lane = 0; lane < vyxBVHLeafSize; ++lane) {
                const int32_t t = bvh.leaves[leaf].triangle[lane];
                if (t < 0)
                    continue;
                if (t <= previous || t >= static_cast<int32_t>(triangles.size())) {
                    fault = "leaf " + std::to_string(leaf) + " lanes out of order";
                    return;
                }
                previous = t;
                ++seen[static_cast<size_t>(t)];
                for (size_t level = 0; level < boxes.size(); level += 2)
                    for (const float* p : {triangles[t].p0, triangles[t].p1, triangles[t].p2})
                        for (int a = 0; a < 3; ++a)
                            if (!(p[a] >= boxes[level][a] && p[a] <= boxes[level + 1][a]))
                                fault = "triangle " + std::to_string(t) + " outside a box above it";
            }
            return;
        }
        if (ref != nextNode++) {
            fault = "node " + std::to_string(ref) + " reached in place of " + std::to_string(nextNode - 1);
            return;
        }
        const vyxBVHNodeOf<W>& node = nodesOf<W>(bvh)[ref];
        for (int slot = 0; slot < W; ++slot) {
            if (emptySlot<W>(node, slot))
                continue;
            float lower[3], upper[3];
            for (int a = 0; a < 3; ++a) {
                lower[a] = node.lower[a][slot];
                upper[a] = node.upper[a][slot];
            }
            boxes.push_back(lower);
            boxes.push_back(upper);
            walk(node.child[slot], depth + 1);
            boxes.resize(boxes.size() - 2);
        }
    }
};

template <int W>
void expectLayout(const vyxBVH& bvh, const std::vector<vyxTriangle>& triangles, const std::string& what) {
    std::string fault;
    LayoutWalk<W> w{bvh, triangles, 0, 0, std::vector<int>(triangles.size(), 0), {}, fault};
    w.walk(bvh.root, 0);
    ASSERT_EQ(fault, "") << what;
    EXPECT_EQ(w.nextNode, bvh.nodeCount) << what;
    EXPECT_EQ(w.nextLeaf, bvh.leafCount) << what;
    for (size_t t = 0; t < triangles.size(); ++t)
        ASSERT_EQ(w.seen[t], 1) << what << ": triangle " << t;
}

// Byte for byte: counts, root, box and every node and leaf.
void expectSameTree(const vyxBVH& a, const vyxBVH& b, const std::string& what) {
    ASSERT_EQ(a.width, b.width) << what;
    ASSERT_EQ(a.nodeCount, b.nodeCount) << what;
    ASSERT_EQ(a.leafCount, b.leafCount) << what;
    EXPECT_EQ(a.root, b.root) << what;
    EXPECT_EQ(a.depth, b.depth) << what;
    EXPECT_EQ(std::memcmp(a.lower, b.lower, sizeof(a.lower)), 0) << what;
    EXPECT_EQ(std::memcmp(a.upper, b.upper, sizeof(a.upper)), 0) << what;
    const size_t nodeBytes = a.width == 8 ? sizeof(vyxBVHNode8) : sizeof(vyxBVHNode4);
    const void* nodesA = a.width == 8 ? static_cast<const void*>(a.nodes8) : static_cast<const void*>(a.nodes4);
    const void* nodesB = b.width == 8 ? static_cast<const void*>(b.nodes8) : static_cast<const void*>(b.nodes4);
    EXPECT_EQ(std::memcmp(nodesA, nodesB, nodeBytes * static_cast<size_t>(a.nodeCount)), 0) << what << ": nodes";
    EXPECT_EQ(std::memcmp(a.leaves, b.leaves, sizeof(vyxBVHLeaf) * static_cast<size_t>(a.leafCount)), 0)
        << what << ": leaves";
}

} // namespace

TEST(BVHBuild, SameTreeWhateverTheThreadsAndInDepthFirstOrder) {
    struct Case {
        const char* name;
        std::function<std::vector<Tri>()> make;
    } cases[] = {
        // Large enough that subtrees below the top are built apart, and that the largest
        // ranges are binned and partitioned in shares.
        {"random soup", [] { return geotest::randomSoup(21, 30000); }},
        {"height field", [] { return geotest::heightField(190, 22); }},
        // Many equal triangles among others: their binning points cannot be separated,
        // so their ranges are halved in list order, the order the partitions left.
        {"soup with 40000 copies of one triangle",
         [] {
             const std::vector<Tri> soup = geotest::randomSoup(23, 40000);
             std::vector<Tri> tris;
             for (const Tri& t : soup) {
                 tris.push_back(t);
                 tris.push_back(soup[5]);
             }
             return tris;
         }},
        {"small soup", [] { return geotest::randomSoup(24, 300); }},
    };
    const int helpers = vyxParallelHelpers();
    for (int width : {4, 8}) {
        if (vyxBVHSetWidth(width) != width)
            continue;
        for (const Case& c : cases) {
            const std::vector<vyxTriangle> triangles = setUpAll(c.make());
            const int32_t count = static_cast<int32_t>(triangles.size());
            const std::string name = std::string(c.name) + ", " + std::to_string(width) + " wide";

            vyxSetWorkerThreadLimit(1);
            vyxBVH alone;
            ASSERT_TRUE(vyxBuildBVH(alone, triangles.data(), count)) << name;
            if (width == 8)
                expectLayout<8>(alone, triangles, name);
            else
                expectLayout<4>(alone, triangles, name);

            // Every thread; and nested in one task of two, where the build gets the
            // thread that finished the other.
            vyxSetWorkerThreadLimit(0);
            for (int nested : {0, 1}) {
                vyxBVH shared;
                bool built = false;
                if (nested)
                    vyxParallelFor(2, 0, [&](int task) {
                        if (task == 1)
                            built = vyxBuildBVH(shared, triangles.data(), count);
                    });
                else
                    built = vyxBuildBVH(shared, triangles.data(), count);
                ASSERT_TRUE(built) << name;
                expectSameTree(alone, shared,
                               name + (nested ? ", nested" : "") + ", " + std::to_string(helpers + 1) + " threads");
                vyxFreeBVH(shared);
            }
            vyxFreeBVH(alone);
        }
    }
    vyxBVHSetWidth(0);
}

// Memory running out at each of the build's large allocations in turn: the build says so
// and keeps nothing (the address sanitizer's run finds what is not freed); once the
// allocation asked to fail lies past the build's last, the tree is the usual one.
TEST(BVHBuild, MemoryRunningOutAtAnyAllocationIsReported) {
    const std::vector<vyxTriangle> triangles = setUpAll(geotest::randomSoup(21, 30000));
    const int32_t count = static_cast<int32_t>(triangles.size());
    for (int width : {4, 8}) {
        if (vyxBVHSetWidth(width) != width)
            continue;
        vyxBVH usual;
        ASSERT_TRUE(vyxBuildBVH(usual, triangles.data(), count));
        for (int64_t k = 0;; ++k) {
            const std::string name = std::to_string(width) + " wide, allocation " + std::to_string(k) + " failing";
            vyxFailLargeAllocation(k);
            vyxBVH bvh;
            const bool built = vyxBuildBVH(bvh, triangles.data(), count);
            const bool ranOut = !vyxLargeAllocationFailurePending();
            vyxFailLargeAllocation(-1);
            if (!ranOut) {
                ASSERT_TRUE(built) << name;
                ASSERT_GT(k, 3) << "the build makes at least prims, bins, stores, leaves";
                expectSameTree(usual, bvh, name);
                vyxFreeBVH(bvh);
                break;
            }
            EXPECT_FALSE(built) << name;
            EXPECT_TRUE(!bvh.nodes4 && !bvh.nodes8 && !bvh.leaves) << name;
            if (built)
                vyxFreeBVH(bvh);
        }
        vyxFreeBVH(usual);
    }
    vyxBVHSetWidth(0);
}
