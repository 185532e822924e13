#include "geometry/traversal_tree.h"

#include <emmintrin.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "geometry/bih.h"
#include "util/assert.h"
#include "util/large_alloc.h"

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
        if (p[a] < b.lower[a])
            b.lower[a] = p[a];
        if (p[a] > b.upper[a])
            b.upper[a] = p[a];
    }
}

void grow(Box& b, const Box& other) {
    for (int a = 0; a < 3; ++a) {
        if (other.lower[a] < b.lower[a])
            b.lower[a] = other.lower[a];
        if (other.upper[a] > b.upper[a])
            b.upper[a] = other.upper[a];
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
    int32_t deepest;          // node levels of the deepest path
    const int32_t* leafOrder; // triangle indices in leaf order, for fetching ahead; may be null
    bool failed;              // a reference out of range or more entries than the arrays hold
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

// Appends the test data of triangle `index` to the leaf array and grows box by it.
// Returns its place in the array, or -1 (with failed set) when the array is full.
int32_t addTriangle(Builder& b, int32_t index, Box& box) {
    // The triangles are reached in an order unrelated to the array's: fetching the one a
    // few leaves ahead hides most of the wait for memory.
    const int32_t kAhead = 16;
    if (b.leafOrder && b.leafCount + kAhead < b.count)
        __builtin_prefetch(b.triangles + b.leafOrder[b.leafCount + kAhead]);
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
    leaf.count = 1;
    grow(box, tri.p0);
    grow(box, tri.p1);
    grow(box, tri.p2);
    if (b.leafCount >= b.count) {
        b.failed = true;
        return -1;
    }
    b.leaves[b.leafCount] = leaf;
    return b.leafCount++;
}

bool validLeaf(const Builder& b, const vyxBIHNode* node) { return node->triangle >= 0 && node->triangle < b.count; }

// A split whose two sides are single triangles: both are kept together as one leaf.
bool isPair(const vyxBIHNode* node) {
    if (!node || node->isLeaf)
        return false;
    const vyxBIHNode* left = resolve(node->left);
    const vyxBIHNode* right = resolve(node->right);
    return left && right && left->isLeaf && right->isLeaf;
}

// A leaf of one triangle, or of the two of a pair split: the pair's triangles lie side
// by side, left one first, and the first records the split axis that orders them.
int32_t addLeaf(Builder& b, const vyxBIHNode* node, Box& box) {
    box = emptyBox();
    if (node->isLeaf) {
        if (!validLeaf(b, node)) {
            b.failed = true;
            return 0;
        }
        int32_t place = addTriangle(b, node->triangle, box);
        return place < 0 ? 0 : vyxTraversalLeaf(place);
    }
    const vyxBIHNode* left = resolve(node->left);
    const vyxBIHNode* right = resolve(node->right);
    if (!validLeaf(b, left) || !validLeaf(b, right)) {
        b.failed = true;
        return 0;
    }
    int32_t first = addTriangle(b, left->triangle, box);
    int32_t second = addTriangle(b, right->triangle, box);
    if (first < 0 || second < 0)
        return 0;
    b.leaves[first].count = 2;
    b.leaves[first].axis = node->axis;
    return vyxTraversalLeaf(first);
}

int32_t addSubtree(Builder& b, const vyxBIHNode* node, Box& box, int32_t level);

// The up to three splits of the hierarchy that one node stands for, and the up to four
// subtrees below them that become its slots. A split's side is an inner split (>= 0) or
// a slot (~slot).
struct Collapse {
    int innerCount;
    uint8_t axis[3];
    int side[3][2];
    const vyxBIHNode* slotNode[4];
    int slotCount;
};

// Appends to `order` the slots below side `side` of inner split `inner`, near side first
// for the direction signs in `key` (bit i: inner split i's axis component is negative).
void appendOrder(const Collapse& c, int inner, int key, uint8_t* order, int& count) {
    bool rightFirst = (key >> inner) & 1;
    for (int k = 0; k < 2; ++k) {
        int side = c.side[inner][rightFirst ? 1 - k : k];
        if (side >= 0)
            appendOrder(c, side, key, order, count);
        else
            order[count++] = static_cast<uint8_t>(~side);
    }
}

// Adds the subtree of a resolved node (leaf or two-child split) in the order the
// hierarchy's traversal reaches it left first; returns its reference and its box.
int32_t addSubtree(Builder& b, const vyxBIHNode* node, Box& box, int32_t level) {
    if (node->isLeaf || isPair(node))
        return addLeaf(b, node, box);
    if (level + 1 > b.deepest)
        b.deepest = level + 1;
    if (b.nodeCount >= b.count) {
        b.failed = true;
        return 0;
    }
    int32_t index = b.nodeCount++;

    // Open the split, then its shallowest splits below (leftmost first; pairs of
    // triangles last) until four subtrees hang below.
    enum Kind { kEmpty, kLeaf, kPair, kSplit };
    struct Edge {
        int inner, side, depth;
        const vyxBIHNode* node;
        Kind kind;
    };
    auto edgeTo = [](int inner, int side, int depth, const vyxBIHNode* child) {
        const vyxBIHNode* part = resolve(child);
        Kind kind = !part ? kEmpty : part->isLeaf ? kLeaf : isPair(part) ? kPair : kSplit;
        return Edge{inner, side, depth, part, kind};
    };
    Collapse c;
    std::memset(&c, 0, sizeof(c));
    Edge edges[4];
    int edgeCount = 2;
    c.innerCount = 1;
    c.axis[0] = node->axis;
    edges[0] = edgeTo(0, 0, 1, node->left);
    edges[1] = edgeTo(0, 1, 1, node->right);
    while (edgeCount < 4) {
        // Larger subtrees first; a pair is opened only into a slot no larger one wants.
        int pick = -1;
        for (int e = 0; e < edgeCount; ++e)
            if (edges[e].kind == kSplit && (pick < 0 || edges[e].depth < edges[pick].depth))
                pick = e;
        for (int e = 0; e < edgeCount && pick < 0; ++e)
            if (edges[e].kind == kPair)
                pick = e;
        if (pick < 0)
            break;
        Edge open = edges[pick];
        int inner = c.innerCount++;
        c.axis[inner] = open.node->axis;
        c.side[open.inner][open.side] = inner;
        // The two halves take the opened edge's place, keeping left-to-right order.
        for (int e = edgeCount; e > pick + 1; --e)
            edges[e] = edges[e - 1];
        edges[pick] = edgeTo(inner, 0, open.depth + 1, open.node->left);
        edges[pick + 1] = edgeTo(inner, 1, open.depth + 1, open.node->right);
        ++edgeCount;
    }
    // Slots left to right; a side without a subtree (a split with one child missing)
    // still takes a slot, which stays empty.
    c.slotCount = edgeCount;
    for (int e = 0; e < edgeCount; ++e) {
        c.side[edges[e].inner][edges[e].side] = ~e;
        c.slotNode[e] = edges[e].node;
    }

    vyxTraversalNode& fresh = b.nodes[index];
    std::memset(&fresh, 0, sizeof(fresh));
    for (int octant = 0; octant < 8; ++octant) {
        // The ray's octant (bit a: its component on axis a is negative) gives each
        // split's near side.
        int key = 0;
        for (int i = 0; i < c.innerCount; ++i)
            key |= ((octant >> c.axis[i]) & 1) << i;
        uint8_t order[4] = {0, 1, 2, 3};
        int count = 0;
        appendOrder(c, 0, key, order, count);
        // Slots past slotCount never hold a child; they fill the unused places.
        for (int s = c.slotCount; s < 4; ++s)
            order[count++] = static_cast<uint8_t>(s);
        fresh.order[octant] = static_cast<uint8_t>(order[0] | order[1] << 2 | order[2] << 4 | order[3] << 6);
    }

    box = emptyBox();
    for (int slot = 0; slot < 4; ++slot) {
        Box slotBox = emptyBox();
        int32_t ref = 0;
        if (slot < c.slotCount && c.slotNode[slot])
            ref = addSubtree(b, c.slotNode[slot], slotBox, level + 1);
        if (b.failed)
            return 0;
        vyxTraversalNode& n = b.nodes[index];
        n.child[slot] = ref;
        if (slot < c.slotCount && c.slotNode[slot])
            n.slots = static_cast<uint8_t>(n.slots | (1 << slot));
        for (int a = 0; a < 3; ++a) {
            n.lower[a][slot] = slotBox.lower[a];
            n.upper[a][slot] = slotBox.upper[a];
        }
        grow(box, slotBox);
    }
    return index;
}

// For a node's order byte and the mask of slots the ray meets: how many are met (bits
// 0-2) and those slots in visiting order, two bits each from bit 3.
struct OrderedHits {
    uint16_t packed[256][16];
    OrderedHits() {
        for (unsigned order = 0; order < 256; ++order)
            for (unsigned hit = 0; hit < 16; ++hit) {
                unsigned count = 0, slots = 0;
                for (unsigned k = 0; k < 4; ++k) {
                    unsigned slot = (order >> (2 * k)) & 3;
                    if (hit & (1u << slot))
                        slots |= slot << (2 * count++);
                }
                packed[order][hit] = static_cast<uint16_t>(count | slots << 3);
            }
    }
};

const OrderedHits kOrderedHits;

} // namespace

bool vyxBuildTraversalTree(const vyxBIHNode& root, const vyxTriangle* triangles, int32_t count, vyxTraversalTree& tree,
                           const int32_t* leafOrder) {
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
    b.leafOrder = leafOrder;
    // Room for the most nodes a hierarchy over count triangles can need; the pages past
    // the nodes actually made are never touched.
    b.nodes = static_cast<vyxTraversalNode*>(vyxAllocLarge(static_cast<size_t>(count) * sizeof(vyxTraversalNode)));
    b.leaves =
        static_cast<vyxTraversalTriangle*>(vyxAllocLarge(static_cast<size_t>(count) * sizeof(vyxTraversalTriangle)));
    Box box = emptyBox();
    int32_t rootRef = 0;
    if (b.nodes && b.leaves)
        rootRef = addSubtree(b, top, box, 0);
    else
        b.failed = true;
    // A node defers at most three more slots than it takes; one more for the root.
    int32_t stackNeeded = 3 * b.deepest + 2;
    if (b.failed || stackNeeded > kStackSize) {
        std::free(b.nodes);
        std::free(b.leaves);
        return false; // the hierarchy answers the queries itself
    }

    // Infinite coordinates (from corrupt vertices) would make the margin infinite and
    // every distance NaN; such boxes are unbounded anyway.
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
        if (std::isfinite(box.lower[a]) && std::fabs(box.lower[a]) > largest)
            largest = std::fabs(box.lower[a]);
        if (std::isfinite(box.upper[a]) && std::fabs(box.upper[a]) > largest)
            largest = std::fabs(box.upper[a]);
    }
    if (!std::isfinite(largest * kMarginFraction))
        largest = 0.0f;
    tree.nodes = b.nodes;
    tree.nodeCount = b.nodeCount;
    tree.triangles = b.leaves;
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
    // Every step is computed and the conditions are combined at the end: the outcome is
    // hard to predict, and a mispredicted branch costs more than the arithmetic. A
    // parallel ray (nd = 0) and every NaN fail their comparison, as in vyxTestTrace.
    float nd = tri.normal[1] * d[1] + tri.normal[0] * d[0] + tri.normal[2] * d[2];
    float t = -((tri.normal[0] * o[0] + tri.normal[1] * o[1] + tri.normal[2] * o[2] + tri.d) / nd);
    float du = (o[tri.u] + t * d[tri.u]) - tri.p0u;
    float dv = (o[tri.v] + t * d[tri.v]) - tri.p0v;
    w1 = tri.c1 * du - tri.c0 * dv;
    w2 = tri.c2 * dv - tri.c3 * du;
    w0 = (1.0f - w1) - w2;
    bool hit = (nd != 0.0f) & (t >= 0.0f) & (w1 >= 0.0f) & (w2 >= 0.0f) & (w0 >= 0.0f);
    return hit ? t : -1.0f;
}

static_assert(offsetof(vyxTraversalNode, lower) == 0 && offsetof(vyxTraversalNode, upper) == 48,
              "the query reads the planes at fixed offsets");

int vyxDirectionOctant(const float direction[3]) {
    int octant = 0;
    for (int a = 0; a < 3; ++a)
        octant |= (direction[a] < 0.0f ? 1 : 0) << a;
    return octant;
}

namespace {

// What the box tests of one ray need, and its octant (the slot order). A component with
// its sign bit set makes the ray enter a box through its upper plane on that axis; nodes keep
// lower planes at byte 16 a, upper ones at 48 + 16 a. The origin is moved by the margin
// so that both planes are widened (entry plane pulled toward the ray, exit pushed away).
// A zero component gives an infinite inverse: the slab then either holds the origin (no
// constraint) or not (no entry).
struct RaySetup {
    int octant;
    int nearOffset[3], farOffset[3];
    __m128 inv[3], nearOrigin[3], farOrigin[3];
};

void setUpRay(const vyxTraversalTree& tree, const float origin[3], const float direction[3], RaySetup& ray) {
    // The origin is finite here, so plain comparisons do (std::fmax is a call).
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a) {
        float size = std::fabs(origin[a]);
        largest = size > largest ? size : largest;
    }
    float margin = largest * kMarginFraction > tree.margin ? largest * kMarginFraction : tree.margin;
    ray.octant = vyxDirectionOctant(direction);
    for (int a = 0; a < 3; ++a) {
        // The sign bit, not the octant: a negative zero has an inverse of -inf, which
        // meets the planes the other way round from +inf.
        bool negative = std::signbit(direction[a]);
        ray.nearOffset[a] = (negative ? 48 : 0) + 16 * a;
        ray.farOffset[a] = (negative ? 0 : 48) + 16 * a;
        ray.inv[a] = _mm_set1_ps(1.0f / direction[a]);
        ray.nearOrigin[a] = _mm_set1_ps(negative ? origin[a] - margin : origin[a] + margin);
        ray.farOrigin[a] = _mm_set1_ps(negative ? origin[a] + margin : origin[a] - margin);
    }
}

// The ray's entry distances into the node's four boxes (up to limit), and the mask of
// boxes it meets. A NaN product (a zero distance times an infinite inverse) is passed
// over by putting it first in min/max.
inline int meetBoxes(const vyxTraversalNode& node, const RaySetup& ray, float limit, __m128& entry) {
    const char* base = reinterpret_cast<const char*>(&node);
    __m128 tnear = _mm_setzero_ps(), tfar = _mm_set1_ps(limit);
    for (int a = 0; a < 3; ++a) {
        __m128 nearPlanes = _mm_load_ps(reinterpret_cast<const float*>(base + ray.nearOffset[a]));
        __m128 farPlanes = _mm_load_ps(reinterpret_cast<const float*>(base + ray.farOffset[a]));
        __m128 tn = _mm_mul_ps(_mm_sub_ps(nearPlanes, ray.nearOrigin[a]), ray.inv[a]);
        __m128 tf = _mm_mul_ps(_mm_sub_ps(farPlanes, ray.farOrigin[a]), ray.inv[a]);
        tnear = _mm_max_ps(tn, tnear);
        tfar = _mm_min_ps(tf, tfar);
    }
    entry = tnear;
    return _mm_movemask_ps(_mm_cmple_ps(tnear, tfar)) & node.slots;
}

// Tests the one or two triangles of a leaf (a pair in the order of its split) and keeps
// a nearer hit in best, lowering limit to it.
inline void testLeaf(const vyxTraversalTree& tree, int32_t ref, int octant, const float origin[3],
                     const float direction[3], vyxTraceResult& best, float& limit) {
    VYX_ASSERT(~ref >= 0 && ~ref < tree.triangleCount);
    const vyxTraversalTriangle* leaf = tree.triangles + ~ref;
    int count = leaf->count;
    VYX_ASSERT(count == 1 || (count == 2 && ~ref + 1 < tree.triangleCount));
    int step = 1;
    if (count == 2 && ((octant >> leaf->axis) & 1)) {
        leaf += 1;
        step = -1;
    }
    for (int k = 0; k < count; ++k, leaf += step) {
        float w0 = 0.0f, w1 = 0.0f, w2 = 0.0f;
        float t = testTriangle(*leaf, origin, direction, w0, w1, w2);
        // t >= 0 is false for the NaN t of a degenerate triangle.
        // At the limit itself only a hit on a lower triangle index than the best so far
        // wins (a tie); the limit passed in (no best yet) is never reached.
        bool nearer = t < limit || (t == limit && best.triangle >= 0 && leaf->triangle < best.triangle);
        if (t >= 0.0f && nearer) {
            best.t = t;
            best.triangle = leaf->triangle;
            best.w0 = w0;
            best.w1 = w1;
            best.w2 = w2;
            limit = t;
        }
    }
}

} // namespace

vyxTraceResult vyxTraverseTree(const vyxTraversalTree& tree, const float origin[3], const float direction[3],
                               float maxDistance) {
    vyxTraceResult best = vyxMissResult();
    // Hits count when t < limit: the best so far once there is one, else maxDistance.
    float limit = maxDistance;

    RaySetup ray;
    setUpRay(tree, origin, direction, ray);
    const int octant = ray.octant;

    struct Entry {
        int32_t ref;
        float tnear;
    };
    Entry stack[kStackSize];
    int depth = 0;
    int32_t ref = tree.root;
    for (;;) {
        if (ref < 0) {
            testLeaf(tree, ref, octant, origin, direction, best, limit);
        } else {
            VYX_ASSERT(ref < tree.nodeCount);
            const vyxTraversalNode& node = tree.nodes[ref];
            __m128 tnear;
            int hit = meetBoxes(node, ray, limit, tnear);
            if (hit != 0) {
                alignas(16) float entryDistance[4];
                _mm_store_ps(entryDistance, tnear);
                unsigned order = node.order[octant];
                // Go on with the first slot met in order; defer the others, last first.
                unsigned met = kOrderedHits.packed[order][hit];
                for (unsigned k = met & 7; k-- > 1;) {
                    unsigned slot = (met >> (3 + 2 * k)) & 3;
                    VYX_ASSERT(depth < tree.stackNeeded);
                    stack[depth++] = Entry{node.child[slot], entryDistance[slot]};
                }
                ref = node.child[(met >> 3) & 3];
                continue;
            }
        }
        // Take the next deferred entry that can still hold a nearer hit.
        for (;;) {
            if (depth == 0)
                return best;
            Entry entry = stack[--depth];
            if (entry.tnear <= limit) {
                ref = entry.ref;
                break;
            }
        }
    }
}

void vyxTraverseTreePacket(const vyxTraversalTree& tree, int count, const float origins[][3],
                           const float directions[][3], const float* maxDistances, vyxTraceResult* results) {
    VYX_ASSERT(count >= 1 && count <= vyxPacketSize);
    RaySetup rays[vyxPacketSize];
    float limits[vyxPacketSize];
    for (int r = 0; r < count; ++r) {
        results[r] = vyxMissResult();
        limits[r] = maxDistances[r];
        setUpRay(tree, origins[r], directions[r], rays[r]);
        VYX_ASSERT(rays[r].octant == rays[0].octant);
    }
    const int octant = rays[0].octant;

    // Each entry carries the rays that met it and each one's entry distance.
    struct Entry {
        int32_t ref;
        unsigned rays;
        float tnear[vyxPacketSize];
    };
    Entry stack[kStackSize];
    int depth = 0;
    Entry current;
    current.ref = tree.root;
    current.rays = (1u << count) - 1;
    for (;;) {
        if (current.ref < 0) {
            for (int r = 0; r < count; ++r)
                if (current.rays & (1u << r))
                    testLeaf(tree, current.ref, octant, origins[r], directions[r], results[r], limits[r]);
        } else {
            VYX_ASSERT(current.ref < tree.nodeCount);
            const vyxTraversalNode& node = tree.nodes[current.ref];
            // Per ray: the boxes it meets and its distances; per slot: the rays meeting it.
            alignas(16) float entryDistance[vyxPacketSize][4];
            unsigned slotRays[4] = {0, 0, 0, 0};
            int hit = 0;
            for (int r = 0; r < count; ++r) {
                if (!(current.rays & (1u << r)))
                    continue;
                __m128 tnear;
                int met = meetBoxes(node, rays[r], limits[r], tnear);
                _mm_store_ps(entryDistance[r], tnear);
                hit |= met;
                for (int slot = 0; slot < 4; ++slot)
                    if (met & (1 << slot))
                        slotRays[slot] |= 1u << r;
            }
            if (hit != 0) {
                // The same order as for one ray of the octant: the first slot met goes on,
                // the others are deferred, last first.
                unsigned met = kOrderedHits.packed[node.order[octant]][hit];
                for (unsigned k = met & 7; k-- > 0;) {
                    unsigned slot = (met >> (3 + 2 * k)) & 3;
                    Entry& entry = k == 0 ? current : stack[depth++];
                    VYX_ASSERT(depth <= tree.stackNeeded);
                    entry.ref = node.child[slot];
                    entry.rays = slotRays[slot];
                    for (int r = 0; r < count; ++r)
                        entry.tnear[r] = entryDistance[r][slot];
                }
                continue;
            }
        }
        // Take the next deferred entry that some ray can still find a nearer hit in.
        for (;;) {
            if (depth == 0)
                return;
            current = stack[--depth];
            for (int r = 0; r < count; ++r)
                if ((current.rays & (1u << r)) && !(current.tnear[r] <= limits[r]))
                    current.rays &= ~(1u << r);
            if (current.rays != 0)
                break;
        }
    }
}
