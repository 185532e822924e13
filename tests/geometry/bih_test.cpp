// Structure of the bounding interval hierarchy: every triangle in exactly one leaf, the
// clip and extent planes enclosing the triangles below them, bounded depth, and the
// hand-worked cut and split cases.

#include "geometry/bih.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "geometry/query.h"
#include "tests/support/test_geometry.h"

using geotest::deepChains;
using geotest::flatAt;
using geotest::Tri;

namespace {

float triMin(const vyxTriangle& t, int a) { return std::fmin(t.p0[a], std::fmin(t.p1[a], t.p2[a])); }
float triMax(const vyxTriangle& t, int a) { return std::fmax(t.p0[a], std::fmax(t.p1[a], t.p2[a])); }

struct TreeReport {
    std::vector<int> leafCount; // how many leaves hold each triangle
    int reachableNodes = 0;
    int maxSplitDepth = 0;
    std::vector<std::string> errors;
};

// Walks the subtree and returns its triangles; records every broken invariant.
std::vector<int> walk(const vyxBIH& bih, const vyxBIHNode* node, bool isRoot, int splitDepth, TreeReport& rep) {
    std::vector<int> tris;
    ++rep.reachableNodes;
    if (!isRoot && (node < bih.nodePool || node >= bih.nodePool + bih.nodeCount)) {
        rep.errors.push_back("node outside the pool");
        return tris;
    }
    if (node->isLeaf) {
        if (node->triangle < 0 || node->triangle >= bih.triangleCount) {
            rep.errors.push_back("leaf triangle out of range: " + std::to_string(node->triangle));
            return tris;
        }
        ++rep.leafCount[static_cast<size_t>(node->triangle)];
        if (splitDepth > rep.maxSplitDepth)
            rep.maxSplitDepth = splitDepth;
        tris.push_back(node->triangle);
        return tris;
    }
    if (!node->left && !node->right) {
        rep.errors.push_back("interior node without children");
        return tris;
    }
    if (node->axis > 2) {
        rep.errors.push_back("bad axis");
        return tris;
    }
    int a = node->axis;
    int childDepth = splitDepth + (node->left && node->right ? 1 : 0);
    if (node->left) {
        std::vector<int> left = walk(bih, node->left, false, childDepth, rep);
        for (int t : left)
            if (!(triMax(bih.triangles[t], a) <= node->leftMax))
                rep.errors.push_back("triangle " + std::to_string(t) + " above leftMax");
        tris.insert(tris.end(), left.begin(), left.end());
    }
    if (node->right) {
        std::vector<int> right = walk(bih, node->right, false, childDepth, rep);
        for (int t : right)
            if (!(triMin(bih.triangles[t], a) >= node->rightMin))
                rep.errors.push_back("triangle " + std::to_string(t) + " below rightMin");
        tris.insert(tris.end(), right.begin(), right.end());
    }
    for (int t : tris)
        if (!(triMin(bih.triangles[t], a) >= node->extentMin && triMax(bih.triangles[t], a) <= node->extentMax))
            rep.errors.push_back("triangle " + std::to_string(t) + " outside the node's extent");
    return tris;
}

// Checks every structural invariant and returns the report for further checks.
TreeReport checkTree(const vyxBIH& bih, int32_t count, const std::string& name) {
    TreeReport rep;
    rep.leafCount.assign(static_cast<size_t>(count), 0);
    EXPECT_EQ(bih.triangleCount, count) << name;
    walk(bih, &bih.root, true, 0, rep);
    for (size_t i = 0; i < rep.errors.size() && i < 5; ++i)
        ADD_FAILURE() << name << ": " << rep.errors[i];
    EXPECT_TRUE(rep.errors.empty()) << name << ": " << rep.errors.size() << " broken invariants";
    for (int32_t t = 0; t < count; ++t)
        EXPECT_EQ(rep.leafCount[static_cast<size_t>(t)], 1) << name << ": leaves holding triangle " << t;
    EXPECT_EQ(rep.reachableNodes, bih.nodeCount + 1) << name << ": every pool node belongs to the tree";
    EXPECT_LT(rep.maxSplitDepth, 256) << name << ": the traversal stack could overflow";
    // Bounds are the componentwise extremes of all vertices.
    for (int a = 0; a < 3; ++a) {
        float lo = INFINITY, hi = -INFINITY;
        for (int32_t t = 0; t < count; ++t) {
            lo = std::fmin(lo, triMin(bih.triangles[t], a));
            hi = std::fmax(hi, triMax(bih.triangles[t], a));
        }
        EXPECT_EQ(bih.boundsMin[a], lo) << name << " axis " << a;
        EXPECT_EQ(bih.boundsMax[a], hi) << name << " axis " << a;
    }
    return rep;
}

std::vector<Tri> duplicates(int copies) {
    std::vector<Tri> tris(static_cast<size_t>(copies), Tri{{0, 0, 0, 1, 0, 0, 0, 1, 0}});
    tris.push_back(Tri{{5, 5, 5, 6, 5, 5, 5, 6, 5}});
    return tris;
}

// Different triangles sharing one centroid (rotations of one triangle about it).
std::vector<Tri> sameCentroid(int count) {
    std::vector<Tri> tris;
    for (int i = 0; i < count; ++i) {
        Tri t;
        for (int k = 0; k < 3; ++k) {
            float angle = 0.37f * static_cast<float>(i) + 2.0943951f * static_cast<float>(k);
            t.v[3 * k + 0] = 4.0f + std::cos(angle);
            t.v[3 * k + 1] = 4.0f + std::sin(angle);
            t.v[3 * k + 2] = 4.0f;
        }
        tris.push_back(t);
    }
    return tris;
}

// Centroids one float step apart: the split position rounds onto one of them.
std::vector<Tri> adjacentCentroids() {
    std::vector<Tri> tris;
    float x = 1000.0f;
    for (int i = 0; i < 8; ++i) {
        tris.push_back(flatAt(0, x));
        x = std::nextafter(x, 2000.0f);
    }
    return tris;
}

struct BuiltBIH {
    std::vector<vyxTriangle> triangles;
    vyxBIH bih;
    explicit BuiltBIH(const std::vector<Tri>& tris) {
        for (const Tri& t : tris)
            triangles.push_back(geotest::setUp(t));
        std::memset(&bih, 0, sizeof(bih));
        vyxBuildBIH(static_cast<int32_t>(triangles.size()), bih, triangles.data());
    }
    ~BuiltBIH() { vyxFreeBIH(bih); }
};

} // namespace

TEST(BIHBuild, InvariantsHoldOnRandomAndStructuredMeshes) {
    struct Case {
        const char* name;
        std::function<std::vector<Tri>()> make;
    } cases[] = {
        {"random soup 1", [] { return geotest::randomSoup(1, 2000); }},
        {"random soup 2", [] { return geotest::randomSoup(2, 317); }},
        {"height field", [] { return geotest::heightField(40, 3); }},
        {"duplicates", [] { return duplicates(1000); }},
        {"same centroid", [] { return sameCentroid(300); }},
        {"adjacent centroids", [] { return adjacentCentroids(); }},
        {"deep chains", [] { return deepChains(); }},
        {"two triangles",
         [] {
             return std::vector<Tri>{flatAt(0, 0), flatAt(0, 3)};
         }},
    };
    for (const Case& c : cases) {
        BuiltBIH built(c.make());
        checkTree(built.bih, static_cast<int32_t>(built.triangles.size()), c.name);
    }
}

TEST(BIHBuild, DeepNaturalTreeIsCappedBelowTheStack) {
    BuiltBIH built(deepChains());
    TreeReport rep = checkTree(built.bih, static_cast<int32_t>(built.triangles.size()), "deep chains");
    // The natural tree peels one triangle per level (363 levels); the cap must have cut in.
    EXPECT_GE(rep.maxSplitDepth, 150);
    EXPECT_LT(rep.maxSplitDepth, 256);
}

TEST(BIHBuild, UnseparableTrianglesAreHalvedInListOrder) {
    BuiltBIH built(duplicates(1024));
    TreeReport rep = checkTree(built.bih, 1025, "duplicates");
    // Halving keeps the tree balanced instead of one level per triangle.
    EXPECT_LE(rep.maxSplitDepth, 16);
}

TEST(BIHBuild, SingleTriangleIsALeafRoot) {
    BuiltBIH built({flatAt(2, 1.0f)});
    EXPECT_EQ(built.bih.root.isLeaf, 1);
    EXPECT_EQ(built.bih.root.triangle, 0);
    EXPECT_EQ(built.bih.nodeCount, 0);
    EXPECT_EQ(built.bih.nodePool, nullptr);
    vyxFreeBIH(built.bih); // nothing to free; the destructor frees again safely
    EXPECT_EQ(built.bih.root.isLeaf, 1);
}

TEST(BIHBuild, EmptyMeshGivesAStructureThatEveryQueryMisses) {
    vyxBIH bih;
    std::memset(&bih, 0xff, sizeof(bih)); // garbage: the build must write every field
    vyxBuildBIH(0, bih, nullptr);
    EXPECT_EQ(bih.triangleCount, 0);
    EXPECT_EQ(bih.nodePool, nullptr);
    EXPECT_EQ(bih.root.left, nullptr);
    EXPECT_EQ(bih.root.right, nullptr);
    EXPECT_TRUE(bih.transform.inverseValid);
    vyxTraceResult r = vyxTraceBIH(bih, vyxVec3{0, 0, -5}, vyxVec3{0, 0, 1}, -1.0f);
    EXPECT_EQ(r.t, -1.0f);
    r = vyxTraverseBIH(vyxVec3{0, 0, -5}, vyxVec3{0, 0, 1}, 0.0f, 100.0f, nullptr, -1.0f, bih.root);
    EXPECT_EQ(r.t, -1.0f);
    vyxFreeBIH(bih);
    vyxFreeBIH(bih);
}

TEST(BIHBuild, TwoFarApartTrianglesSplitAtTheCentroidMiddle) {
    // Flat in x at 0 and 100: centroids 0 and 100, split position 50.
    BuiltBIH built({flatAt(0, 0.0f), flatAt(0, 100.0f)});
    const vyxBIHNode& root = built.bih.root;
    ASSERT_EQ(root.isLeaf, 0);
    EXPECT_EQ(root.axis, 0);
    ASSERT_TRUE(root.left && root.right);
    EXPECT_EQ(root.left->isLeaf, 1);
    EXPECT_EQ(root.left->triangle, 0);
    EXPECT_EQ(root.right->isLeaf, 1);
    EXPECT_EQ(root.right->triangle, 1);
    // leftMax = max(s, 0) and rightMin = min(s, 100): both stay at s = 50.
    EXPECT_EQ(root.leftMax, 50.0f);
    EXPECT_EQ(root.rightMin, 50.0f);
    EXPECT_EQ(root.extentMin, 0.0f);
    EXPECT_EQ(root.extentMax, 100.0f);
}

TEST(BIHBuild, OverlappingTrianglesWidenThePlanesBeyondTheSplit) {
    // x ranges [0, 6] and [4, 10]: centroids 2 and 8 (after the y/z spread), s = 5.
    Tri a = {{0, 0, 0, 6, 0, 0, 0, 1, 1}};
    Tri b = {{4, 0, 0, 10, 0, 0, 10, 1, 1}};
    BuiltBIH built({a, b});
    const vyxBIHNode& root = built.bih.root;
    ASSERT_EQ(root.axis, 0);
    float s = ((0.0f + 6.0f + 0.0f) / 3.0f + (4.0f + 10.0f + 10.0f) / 3.0f) * 0.5f;
    EXPECT_EQ(root.leftMax, 6.0f);
    EXPECT_EQ(root.rightMin, 4.0f);
    EXPECT_LE(root.rightMin, s);
    EXPECT_GE(root.leftMax, s);
}

TEST(BIHBuild, CentroidOnTheSplitPositionGoesLeft) {
    BuiltBIH built({flatAt(0, 0.0f), flatAt(0, 5.0f), flatAt(0, 10.0f)});
    const vyxBIHNode& root = built.bih.root;
    ASSERT_TRUE(root.left && root.right);
    EXPECT_EQ(root.right->isLeaf, 1);
    EXPECT_EQ(root.right->triangle, 2);
    EXPECT_EQ(root.left->isLeaf, 0);
}

TEST(BIHBuild, EmptySpaceCutsTrimMarginsOfMoreThanATenth) {
    // Root split at s = (0 + c) / 2 on x sends the two far triangles right; the right
    // child's box starts at s, so the gap up to their lower bound is a candidate cut.
    struct Case {
        float near, far1, far2;
        bool lowCut;
    } cases[] = {
        {0.0f, 10.0f, 11.0f, true},    // box [5.5, 11]: gap 4.5 of 5.5
        {0.0f, 0.008f, 0.009f, false}, // box extent 0.0045 <= 0.01: never cut
        {0.0f, 0.032f, 0.036f, true},  // box extent 0.018 > 0.01: cut
        {-10.0f, 1.0f, 10.0f, false},  // box [0, 10], gap exactly a tenth: no cut
        {-10.0f, 1.01f, 10.0f, true},  // just over a tenth: cut
    };
    for (const Case& c : cases) {
        BuiltBIH built({flatAt(0, c.near), flatAt(0, c.far1), flatAt(0, c.far2)});
        std::ostringstream name;
        name << "near " << c.near << " far " << c.far1 << ", " << c.far2;
        checkTree(built.bih, 3, name.str());
        const vyxBIHNode* right = built.bih.root.right;
        ASSERT_TRUE(right) << name.str();
        ASSERT_EQ(right->isLeaf, 0) << name.str();
        if (!c.lowCut) {
            EXPECT_TRUE(right->left && right->right) << name.str() << ": expected an ordinary split";
            continue;
        }
        EXPECT_EQ(right->left, nullptr) << name.str();
        ASSERT_NE(right->right, nullptr) << name.str();
        EXPECT_EQ(right->axis, 0) << name.str();
        float s = built.bih.root.rightMin;
        float ext = c.far2 - s;
        EXPECT_FLOAT_EQ(right->rightMin, c.far1 - 0.01f * ext) << name.str();
        EXPECT_FLOAT_EQ(right->leftMax, c.far1 + 0.01f * ext) << name.str();
        EXPECT_EQ(right->extentMin, c.far1) << name.str();
        EXPECT_EQ(right->extentMax, c.far2) << name.str();
        // Below the cut the box starts at the triangles: an ordinary split follows.
        EXPECT_TRUE(right->right->left && right->right->right) << name.str();
    }
}

TEST(BIHBuild, HighSideCutWhenTrianglesFillOnlyTheLowestTenth) {
    // s = 50: the left child's box is [0, 50] and its triangles end at 1.
    BuiltBIH built({flatAt(0, 0.0f), flatAt(0, 1.0f), flatAt(0, 100.0f)});
    checkTree(built.bih, 3, "high cut");
    const vyxBIHNode* left = built.bih.root.left;
    ASSERT_TRUE(left);
    ASSERT_EQ(left->isLeaf, 0);
    EXPECT_EQ(left->axis, 0);
    EXPECT_EQ(left->right, nullptr);
    ASSERT_NE(left->left, nullptr);
    EXPECT_FLOAT_EQ(left->rightMin, 1.0f - 0.5f);
    EXPECT_FLOAT_EQ(left->leftMax, 1.0f + 0.5f);
}

TEST(BIHBuild, ChildrenOfASplitAreAdjacentInThePool) {
    BuiltBIH built(geotest::randomSoup(9, 500));
    int splits = 0, adjacent = 0;
    std::vector<const vyxBIHNode*> stack = {&built.bih.root};
    while (!stack.empty()) {
        const vyxBIHNode* n = stack.back();
        stack.pop_back();
        if (n->isLeaf)
            continue;
        if (n->left && n->right) {
            ++splits;
            adjacent += n->right == n->left + 1;
        }
        if (n->left)
            stack.push_back(n->left);
        if (n->right)
            stack.push_back(n->right);
    }
    EXPECT_EQ(splits, 499);
    EXPECT_EQ(adjacent, splits);
}
