#include "geometry/traversal_tree.h"

#include <emmintrin.h>

#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "geometry/bih.h"

// Deferred entries a query can hold: a node defers at most three of its four slots, and
// the hierarchy's build keeps its split depth below 256, so half as many node levels.
static const int kStackSize = 512;

// Boxes are widened at query time by this fraction of the largest coordinate magnitude
// involved (the mesh's bounds or the ray's origin). The triangle test finds its hit point
// from rounded products, so a hit it accepts can lie a few units in the last place
// outside the triangle's exact box; this margin is hundreds of such units, so a skipped
// box never holds a hit the test would accept.
static const float kMarginFraction = 1e-5f;

namespace {

struct Box {
    float lower[3];
    float upper[3];
};

Box emptyBox() {
    Box b;
    for (int a = 0; a < 3; ++a) {
        b.lower[a] = INFINITY;
        b.upper[a] = -INFINITY;
    }
    return b;
}

// Grows b by the point; a NaN coordinate fails both comparisons and is left out (a
// triangle with one never reports a hit).
void grow(Box& b, const float p[3]) {
    for (int a = 0; a < 3; ++a) {
        if (p[a] < b.lower[a]) b.lower[a] = p[a];
        if (p[a] > b.upper[a]) b.upper[a] = p[a];
    }
}

void grow(Box& b, const Box& other) {
    for (int a = 0; a < 3; ++a) {
        if (other.lower[a] < b.lower[a]) b.lower[a] = other.lower[a];
        if (other.upper[a] > b.upper[a]) b.upper[a] = other.upper[a];
    }
}

// Every node stands for at least one split and every leaf for one triangle, so count
// entries of each suffice for a hierarchy over count triangles.
struct Builder {
    const vyxTriangle* triangles;
    int32_t count;
    vyxTraversalNode* nodes;
    int32_t nodeCount;
    vyxTraversalTriangle* leaves;
    int32_t leafCount;
    int32_t deepest;     // node levels of the deepest path
    bool failed;         // a reference out of range or more entries than the arrays hold
};

// Skips the single-child nodes of empty-space cuts: the child holds the same triangles.
// Returns a leaf, a split with both children, or null for a node without any.
const vyxBIHNode* resolve(const vyxBIHNode* node) {
    while (node && !node->isLeaf && (node->left == nullptr) != (node->right == nullptr))
        node = node->left ? node->left : node->right;
    if (node && !node->isLeaf && !node->left)
        return nullptr;
    return node;
}

int32_t addLeaf(Builder& b, int32_t index, Box& box) {
    const vyxTriangle& tri = b.triangles[index];
    vyxTraversalTriangle leaf;
    std::memset(&leaf, 0, sizeof(leaf));
    for (int a = 0; a < 3; ++a)
        leaf.normal[a] = tri.normal[a];
    leaf.d = tri.d;
    leaf.c0 = tri.c0;
    leaf.c1 = tri.c1;
    leaf.c2 = tri.c2;
    leaf.c3 = tri.c3;
    leaf.u = static_cast<uint8_t>((tri.k + 1) % 3);
    leaf.v = static_cast<uint8_t>((tri.k + 2) % 3);
    leaf.p0u = tri.p0[leaf.u];
    leaf.p0v = tri.p0[leaf.v];
    leaf.triangle = index;
    box = emptyBox();
    grow(box, tri.p0);
    grow(box, tri.p1);
    grow(box, tri.p2);
    if (b.leafCount >= b.count) {
        b.failed = true;
        return 0;
    }
    b.leaves[b.leafCount] = leaf;
    return vyxTraversalLeaf(b.leafCount++);
}

int32_t addSubtree(Builder& b, const vyxBIHNode* node, Box& box, int32_t level);

// Fills slots `first` and `first + 1` of node `index` from one child of a split.
// Returns the child's own split axis (0 when it is a leaf).
uint8_t fillPair(Builder& b, int32_t index, int first, const vyxBIHNode* child, Box& pairBox, int32_t level) {
    const vyxBIHNode* parts[2] = {child, nullptr};
    uint8_t axis = 0;
    if (child && !child->isLeaf) {
        parts[0] = resolve(child->left);
        parts[1] = resolve(child->right);
        axis = child->axis;
    }
    pairBox = emptyBox();
    for (int k = 0; k < 2; ++k) {
        Box box = emptyBox();
        int32_t ref = 0;
        if (parts[k])
            ref = addSubtree(b, parts[k], box, level + 1);
        if (b.failed)
            return 0;
        vyxTraversalNode& n = b.nodes[index];
        n.child[first + k] = ref;
        if (parts[k])
            n.slots = static_cast<uint8_t>(n.slots | (1 << (first + k)));
        for (int a = 0; a < 3; ++a) {
            n.lower[a][first + k] = box.lower[a];
            n.upper[a][first + k] = box.upper[a];
        }
        grow(pairBox, box);
    }
    return axis;
}

// Adds the subtree of a resolved node (leaf or two-child split) in the order the
// hierarchy's traversal reaches it left first; returns its reference and its box.
int32_t addSubtree(Builder& b, const vyxBIHNode* node, Box& box, int32_t level) {
    if (node->isLeaf) {
        if (node->triangle < 0 || node->triangle >= b.count) {
            b.failed = true;
            return 0;
        }
        return addLeaf(b, node->triangle, box);
    }
    if (level + 1 > b.deepest)
        b.deepest = level + 1;
    if (b.nodeCount >= b.count) {
        b.failed = true;
        return 0;
    }
    int32_t index = b.nodeCount++;
    std::memset(&b.nodes[index], 0, sizeof(vyxTraversalNode));
    b.nodes[index].axis[0] = node->axis;
    Box leftBox, rightBox;
    uint8_t leftAxis = fillPair(b, index, 0, resolve(node->left), leftBox, level);
    uint8_t rightAxis = fillPair(b, index, 2, resolve(node->right), rightBox, level);
    b.nodes[index].axis[1] = leftAxis;
    b.nodes[index].axis[2] = rightAxis;
    box = leftBox;
    grow(box, rightBox);
    return index;
}

// Slot orders for the eight combinations of direction signs on the three split axes
// (bit 2: this split's axis, bit 1: the left child's, bit 0: the right child's). A
// negative component visits the right (upper) side first, as the hierarchy does.
struct SlotOrders {
    uint8_t order[8][4];
    SlotOrders() {
        for (int key = 0; key < 8; ++key) {
            uint8_t left[2] = {0, 1}, right[2] = {2, 3};
            if (key & 2) { left[0] = 1; left[1] = 0; }
            if (key & 1) { right[0] = 3; right[1] = 2; }
            const uint8_t* first = (key & 4) ? right : left;
            const uint8_t* second = (key & 4) ? left : right;
            order[key][0] = first[0];
            order[key][1] = first[1];
            order[key][2] = second[0];
            order[key][3] = second[1];
        }
    }
};

const SlotOrders kSlotOrders;

} // namespace

bool vyxBuildTraversalTree(const vyxBIHNode& root, const vyxTriangle* triangles, int32_t count,
                           vyxTraversalTree& tree) {
    std::memset(&tree, 0, sizeof(tree));
    if (!triangles || count <= 0)
        return false;
    const vyxBIHNode* top = resolve(&root);
    if (!top)
        return false;
    Builder b;
    std::memset(&b, 0, sizeof(b));
    b.triangles = triangles;
    b.count = count;
    b.nodes = static_cast<vyxTraversalNode*>(std::malloc(static_cast<size_t>(count) * sizeof(vyxTraversalNode)));
    b.leaves = static_cast<vyxTraversalTriangle*>(std::malloc(static_cast<size_t>(count) * sizeof(vyxTraversalTriangle)));
    Box box = emptyBox();
    int32_t rootRef = 0;
    if (b.nodes && b.leaves)
        rootRef = addSubtree(b, top, box, 0);
    else
        b.failed = true;
    // A node defers at most three more slots than it takes; one more for the root.
    int32_t stackNeeded = 3 * b.deepest + 2;
    vyxTraversalNode* nodes = nullptr;
    size_t nodeBytes = static_cast<size_t>(b.nodeCount) * sizeof(vyxTraversalNode);
    if (!b.failed && stackNeeded <= kStackSize && nodeBytes > 0 &&
        posix_memalign(reinterpret_cast<void**>(&nodes), 64, nodeBytes) != 0)
        nodes = nullptr;
    if (b.failed || stackNeeded > kStackSize || (nodeBytes > 0 && !nodes)) {
        std::free(b.nodes);
        std::free(b.leaves);
        return false; // the hierarchy answers the queries itself
    }
    if (nodeBytes > 0)
        std::memcpy(nodes, b.nodes, nodeBytes);
    std::free(b.nodes);
    // The leaf array is already the right size when every triangle has its leaf.
    vyxTraversalTriangle* leaves = b.leaves;

    // Infinite coordinates (from corrupt vertices) would make the margin infinite and
    // every distance NaN; such boxes are unbounded anyway.
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
        if (std::isfinite(box.lower[a]) && std::fabs(box.lower[a]) > largest) largest = std::fabs(box.lower[a]);
        if (std::isfinite(box.upper[a]) && std::fabs(box.upper[a]) > largest) largest = std::fabs(box.upper[a]);
    }
    if (!std::isfinite(largest * kMarginFraction))
        largest = 0.0f;
    tree.nodes = nodes;
    tree.nodeCount = b.nodeCount;
    tree.triangles = leaves;
    tree.triangleCount = b.leafCount;
    tree.root = rootRef;
    // The smallest normal float keeps the margin positive for a mesh at the origin.
    tree.margin = std::fmax(largest * kMarginFraction, FLT_MIN);
    tree.stackNeeded = stackNeeded;
    return true;
}

void vyxFreeTraversalTree(vyxTraversalTree& tree) {
    std::free(tree.nodes);
    std::free(tree.triangles);
    std::memset(&tree, 0, sizeof(tree));
}

// The ray-triangle test on the copied fields: the same operations in the same order as
// vyxTestTrace, so the same bits. Returns t (-1 on a miss) and the weights.
static inline float testTriangle(const vyxTraversalTriangle& tri, const float o[3], const float d[3], float& w0,
                                 float& w1, float& w2) {
    float nd = tri.normal[1] * d[1] + tri.normal[0] * d[0] + tri.normal[2] * d[2];
    if (nd == 0.0f)
        return -1.0f;
    float t = -((tri.normal[0] * o[0] + tri.normal[1] * o[1] + tri.normal[2] * o[2] + tri.d) / nd);
    if (t < 0.0f)
        return -1.0f;
    float du = (o[tri.u] + t * d[tri.u]) - tri.p0u;
    float dv = (o[tri.v] + t * d[tri.v]) - tri.p0v;
    w1 = tri.c1 * du - tri.c0 * dv;
    if (!(w1 >= 0.0f))
        return -1.0f;
    w2 = tri.c2 * dv - tri.c3 * du;
    if (!(w2 >= 0.0f))
        return -1.0f;
    w0 = (1.0f - w1) - w2;
    if (!(w0 >= 0.0f))
        return -1.0f;
    return t;
}

vyxTraceResult vyxTraverseTree(const vyxTraversalTree& tree, const float origin[3], const float direction[3],
                               float maxDistance) {
    vyxTraceResult best;
    best.t = -1.0f;
    best.triangle = -1;
    best.object = -1;
    best.w0 = best.w1 = best.w2 = 0.0f;
    // Hits count when t < limit: the best so far once there is one, else maxDistance.
    float limit = maxDistance;

    // Per axis: which box side the ray enters through, and the origin moved by the margin
    // so that both planes are widened (entry plane pulled toward the ray, exit pushed
    // away). A zero component gives an infinite inverse: the slab then either holds the
    // origin (no constraint) or not (no entry).
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a)
        largest = std::fmax(largest, std::fabs(origin[a]));
    float margin = std::fmax(tree.margin, largest * kMarginFraction);
    int sign[3];
    __m128 inv[3], nearOrigin[3], farOrigin[3];
    for (int a = 0; a < 3; ++a) {
        sign[a] = std::signbit(direction[a]) ? 1 : 0;
        inv[a] = _mm_set1_ps(1.0f / direction[a]);
        nearOrigin[a] = _mm_set1_ps(sign[a] ? origin[a] - margin : origin[a] + margin);
        farOrigin[a] = _mm_set1_ps(sign[a] ? origin[a] + margin : origin[a] - margin);
    }
    const __m128 zero = _mm_setzero_ps();

    struct Entry {
        int32_t ref;
        float tnear;
    };
    Entry stack[kStackSize];
    int depth = 0;
    stack[depth++] = Entry{tree.root, 0.0f};

    while (depth > 0) {
        Entry entry = stack[--depth];
        if (entry.tnear > limit)
            continue;
        if (entry.ref < 0) {
            const vyxTraversalTriangle& tri = tree.triangles[~entry.ref];
            float w0 = 0.0f, w1 = 0.0f, w2 = 0.0f;
            float t = testTriangle(tri, origin, direction, w0, w1, w2);
            // t >= 0 is false for the NaN t of a degenerate triangle.
            if (t >= 0.0f && t < limit) {
                best.t = t;
                best.triangle = tri.triangle;
                best.w0 = w0;
                best.w1 = w1;
                best.w2 = w2;
                limit = t;
            }
            continue;
        }

        const vyxTraversalNode& node = tree.nodes[entry.ref];
        // Entry and exit distances of the four boxes. A NaN product (a zero distance
        // times an infinite inverse) is passed over by putting it first in min/max.
        __m128 tnear = zero, tfar = _mm_set1_ps(limit);
        for (int a = 0; a < 3; ++a) {
            const float* nearPlanes = sign[a] ? node.upper[a] : node.lower[a];
            const float* farPlanes = sign[a] ? node.lower[a] : node.upper[a];
            __m128 tn = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(nearPlanes), nearOrigin[a]), inv[a]);
            __m128 tf = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(farPlanes), farOrigin[a]), inv[a]);
            tnear = _mm_max_ps(tn, tnear);
            tfar = _mm_min_ps(tf, tfar);
        }
        int hit = _mm_movemask_ps(_mm_cmple_ps(tnear, tfar)) & node.slots;
        if (hit == 0)
            continue;
        alignas(16) float entryDistance[4];
        _mm_store_ps(entryDistance, tnear);
        const uint8_t* order =
            kSlotOrders.order[(sign[node.axis[0]] << 2) | (sign[node.axis[1]] << 1) | sign[node.axis[2]]];
        // Deferred in reverse so that the first slot in order is taken next.
        for (int k = 3; k >= 0; --k) {
            int slot = order[k];
            if (hit & (1 << slot)) {
                assert(depth < tree.stackNeeded);
                stack[depth++] = Entry{node.child[slot], entryDistance[slot]};
            }
        }
    }
    return best;
}
