#include "geometry/bih.h"

#include "util/large_alloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// A node's empty-space cuts come before its split; each axis can be trimmed at most once
// from below and once from above, so a chain never needs more than six cut nodes.
static const int kMaxCutChain = 6;

namespace {

// Per-triangle data the build reads; the rays never touch it.
struct BuildRecord {
    float min[3];
    float max[3];
    float centroid[3];
};

// Nodes are built into a growable array with child links held as indices (the array
// moves when it grows); the finished tree is copied into the pool with real pointers.
// Node 0 is the root, which ends up inside the vyxBIH record itself.
struct BuildState {
    const BuildRecord* records;
    int32_t* items;   // triangle indices; each node owns one contiguous range
    int32_t* scratch; // room for the right-hand items while a range is partitioned
    vyxBIHNode* nodes;
    int32_t* links; // 2 per node: left and right child index, -1 = none
    int32_t nodeCount;
    int32_t nodeCapacity;
    bool failed; // out of memory: the build is abandoned
};

} // namespace

// Reserves count adjacent nodes; returns the first index, or -1 when memory runs out.
static int32_t allocateNodes(BuildState& st, int32_t count) {
    if (st.failed)
        return -1;
    if (st.nodeCount + count > st.nodeCapacity) {
        int64_t capacity = static_cast<int64_t>(st.nodeCapacity) * 3 / 2 + count + 16;
        if (capacity > 0x7fffffff / 2) {
            st.failed = true;
            return -1;
        }
        void* nodes = std::realloc(st.nodes, static_cast<size_t>(capacity) * sizeof(vyxBIHNode));
        if (nodes)
            st.nodes = static_cast<vyxBIHNode*>(nodes);
        void* links = nodes ? std::realloc(st.links, static_cast<size_t>(capacity) * 2 * sizeof(int32_t)) : nullptr;
        if (!nodes || !links) {
            st.failed = true;
            return -1;
        }
        st.links = static_cast<int32_t*>(links);
        st.nodeCapacity = static_cast<int32_t>(capacity);
    }
    int32_t first = st.nodeCount;
    st.nodeCount += count;
    for (int32_t i = first; i < st.nodeCount; ++i) {
        std::memset(&st.nodes[i], 0, sizeof(vyxBIHNode));
        st.links[2 * i] = -1;
        st.links[2 * i + 1] = -1;
    }
    return first;
}

// Largest centroid extent; an x/y tie picks y, a tie of the largest with z picks z.
static int splitAxis(const float cmin[3], const float cmax[3]) {
    float ex = cmax[0] - cmin[0], ey = cmax[1] - cmin[1], ez = cmax[2] - cmin[2];
    if (ey < ex)
        return ez < ex ? 0 : 2;
    return ez < ey ? 1 : 2;
}

namespace {

// The bounds of a range of items' triangles (tmin, tmax) and of their centroids.
struct ItemBounds {
    float tmin[3], tmax[3], cmin[3], cmax[3];
};

ItemBounds boundsOf(const BuildState& st, int32_t begin, int32_t end) {
    ItemBounds b;
    const BuildRecord& first = st.records[st.items[begin]];
    for (int i = 0; i < 3; ++i) {
        b.tmin[i] = first.min[i];
        b.tmax[i] = first.max[i];
        b.cmin[i] = b.cmax[i] = first.centroid[i];
    }
    for (int32_t k = begin + 1; k < end; ++k) {
        const BuildRecord& r = st.records[st.items[k]];
        for (int i = 0; i < 3; ++i) {
            if (r.min[i] < b.tmin[i])
                b.tmin[i] = r.min[i];
            if (r.max[i] > b.tmax[i])
                b.tmax[i] = r.max[i];
            if (r.centroid[i] < b.cmin[i])
                b.cmin[i] = r.centroid[i];
            if (r.centroid[i] > b.cmax[i])
                b.cmax[i] = r.centroid[i];
        }
    }
    return b;
}

// Empty-space cuts: while a margin of more than a tenth of the box lies beyond the
// triangles on one side, node becomes a single-child node that trims it, and the chain
// goes on in that child. The triangles stay the same, so their bounds serve the whole
// chain. Returns the node the split goes into, or -1 when memory runs out.
int32_t cutEmptySpace(BuildState& st, int32_t node, const ItemBounds& b, float boxMin[3], float boxMax[3]) {
    for (int cuts = 0; cuts < kMaxCutChain; ++cuts) {
        int cutAxis = -1;
        bool low = false;
        float ext = 0.0f;
        for (int i = 0; i < 3 && cutAxis < 0; ++i) {
            ext = boxMax[i] - boxMin[i];
            if (!(ext > 0.01f))
                continue;
            if ((b.tmin[i] - boxMin[i]) / ext > 0.1f) {
                cutAxis = i;
                low = true;
            } else if ((b.tmax[i] - boxMin[i]) / ext < 0.1f) {
                cutAxis = i;
                low = false;
            }
        }
        if (cutAxis < 0)
            break;
        int32_t child = allocateNodes(st, 1);
        if (child < 0)
            return -1;
        vyxBIHNode& n = st.nodes[node];
        float margin = 0.01f * ext;
        float plane = low ? b.tmin[cutAxis] : b.tmax[cutAxis];
        n.axis = static_cast<uint8_t>(cutAxis);
        n.rightMin = plane - margin;
        n.leftMax = plane + margin;
        n.extentMin = b.tmin[cutAxis];
        n.extentMax = b.tmax[cutAxis];
        if (low) {
            st.links[2 * node + 1] = child; // the triangles lie above the cut
            boxMin[cutAxis] = b.tmin[cutAxis];
        } else {
            st.links[2 * node] = child; // the triangles lie below the cut
            boxMax[cutAxis] = b.tmax[cutAxis];
        }
        node = child;
        st.nodes[node].isLeaf = 0;
        st.nodes[node].triangle = -1;
    }
    return node;
}

// Where a range of items splits: items [begin, mid) go left, bounded on axis by leftMax,
// the rest right, from rightMin.
struct ItemSplit {
    int axis;
    int32_t mid;
    float leftMax, rightMin;
};

// Splits items [begin, end) at the middle of their centroids on the axis of the
// centroids' largest extent: a stable partition, left side first, centroids equal to the
// plane going left. Past the depth for that, or when the centroids cannot be separated
// (all equal, or so close that the plane rounds onto one end, which would leave one side
// empty and never finish), in two halves in list order instead, the planes bounding
// each half's triangles exactly.
ItemSplit splitItems(BuildState& st, int32_t begin, int32_t end, const ItemBounds& b, int depth) {
    ItemSplit split;
    const int a = splitAxis(b.cmin, b.cmax);
    const float s = (b.cmin[a] + b.cmax[a]) * 0.5f;
    split.axis = a;
    split.leftMax = s;
    split.rightMin = s;
    split.mid = begin;
    bool halve = depth >= vyxBIHMaxNaturalSplitDepth;
    if (!halve) {
        int32_t rightCount = 0;
        for (int32_t k = begin; k < end; ++k) {
            int32_t item = st.items[k];
            const BuildRecord& r = st.records[item];
            if (r.centroid[a] <= s) {
                st.items[split.mid++] = item;
                if (r.max[a] > split.leftMax)
                    split.leftMax = r.max[a];
            } else {
                st.scratch[rightCount++] = item;
                if (r.min[a] < split.rightMin)
                    split.rightMin = r.min[a];
            }
        }
        std::memcpy(st.items + split.mid, st.scratch, static_cast<size_t>(rightCount) * sizeof(int32_t));
        halve = split.mid == begin || split.mid == end;
    }
    if (halve) {
        split.mid = begin + (end - begin) / 2;
        split.leftMax = st.records[st.items[begin]].max[a];
        for (int32_t k = begin + 1; k < split.mid; ++k)
            if (st.records[st.items[k]].max[a] > split.leftMax)
                split.leftMax = st.records[st.items[k]].max[a];
        split.rightMin = st.records[st.items[split.mid]].min[a];
        for (int32_t k = split.mid + 1; k < end; ++k)
            if (st.records[st.items[k]].min[a] < split.rightMin)
                split.rightMin = st.records[st.items[k]].min[a];
    }
    return split;
}

} // namespace

// Builds the subtree of items [begin, end) into node `node` inside the box. Cuts are
// made in a loop (each one a single-child node), the right child of a split is built by
// the same loop, and only the left child recurses, so recursion depth is the number of
// split levels.
static void buildNode(BuildState& st, int32_t node, int32_t begin, int32_t end, const float inMin[3],
                      const float inMax[3], int depth) {
    float boxMin[3] = {inMin[0], inMin[1], inMin[2]};
    float boxMax[3] = {inMax[0], inMax[1], inMax[2]};

    while (!st.failed) {
        if (end - begin == 1) {
            st.nodes[node].isLeaf = 1;
            st.nodes[node].triangle = st.items[begin];
            return;
        }
        st.nodes[node].isLeaf = 0;
        st.nodes[node].triangle = -1;

        const ItemBounds bounds = boundsOf(st, begin, end);
        node = cutEmptySpace(st, node, bounds, boxMin, boxMax);
        if (node < 0)
            return;
        const ItemSplit split = splitItems(st, begin, end, bounds, depth);

        int32_t children = allocateNodes(st, 2);
        if (children < 0)
            return;
        const int a = split.axis;
        vyxBIHNode& n = st.nodes[node];
        n.axis = static_cast<uint8_t>(a);
        n.leftMax = split.leftMax;
        n.rightMin = split.rightMin;
        n.extentMin = bounds.tmin[a];
        n.extentMax = bounds.tmax[a];
        st.links[2 * node] = children;
        st.links[2 * node + 1] = children + 1;

        float leftBoxMax[3] = {boxMax[0], boxMax[1], boxMax[2]};
        leftBoxMax[a] = split.leftMax;
        buildNode(st, children, begin, split.mid, boxMin, leftBoxMax, depth + 1);

        // The right child continues in this loop.
        boxMin[a] = split.rightMin;
        node = children + 1;
        begin = split.mid;
        ++depth;
    }
}

static void makeEmpty(vyxBIH& bih) {
    std::memset(&bih.root, 0, sizeof(bih.root));
    bih.root.triangle = -1; // an interior node without children: every traversal misses
    for (int i = 0; i < 3; ++i)
        bih.boundsMin[i] = bih.boundsMax[i] = 0.0f;
    bih.triangleCount = 0;
    bih.nodePool = nullptr;
    bih.nodeCount = 0;
    std::memset(&bih.bvh, 0, sizeof(bih.bvh));
}

// The lowest and highest corner coordinate of tri on axis i (comparisons as they fall
// for a NaN corner).
static void cornerRange(const vyxTriangle& tri, int i, float& lo, float& hi) {
    float a = tri.p0[i], b = tri.p1[i], c = tri.p2[i];
    lo = hi = a;
    if (b < lo)
        lo = b;
    if (c < lo)
        lo = c;
    if (b > hi)
        hi = b;
    if (c > hi)
        hi = c;
}

// bih's bounds over count > 0 triangles.
static void computeBounds(vyxBIH& bih, const vyxTriangle* triangles, int32_t count) {
    for (int i = 0; i < 3; ++i)
        bih.boundsMin[i] = bih.boundsMax[i] = triangles[0].p0[i];
    for (int32_t t = 0; t < count; ++t)
        for (int i = 0; i < 3; ++i) {
            float lo, hi;
            cornerRange(triangles[t], i, lo, hi);
            if (lo < bih.boundsMin[i])
                bih.boundsMin[i] = lo;
            if (hi > bih.boundsMax[i])
                bih.boundsMax[i] = hi;
        }
}

// The hierarchy's nodes, and its bounds, over count > 0 triangles (empty when memory
// runs out).
static void buildNodes(int32_t count, vyxBIH& bih, vyxTriangle* triangles) {
    BuildState st = {};
    BuildRecord* records = static_cast<BuildRecord*>(vyxAllocLarge(static_cast<size_t>(count) * sizeof(BuildRecord)));
    st.items = static_cast<int32_t*>(std::malloc(static_cast<size_t>(count) * sizeof(int32_t)));
    st.scratch = static_cast<int32_t*>(std::malloc(static_cast<size_t>(count) * sizeof(int32_t)));
    st.records = records;
    if (!records || !st.items || !st.scratch)
        st.failed = true;

    if (!st.failed) {
        computeBounds(bih, triangles, count);
        for (int32_t t = 0; t < count; ++t) {
            const vyxTriangle& tri = triangles[t];
            BuildRecord& r = records[t];
            for (int i = 0; i < 3; ++i) {
                float lo, hi;
                cornerRange(tri, i, lo, hi);
                r.min[i] = lo;
                r.max[i] = hi;
                r.centroid[i] = (tri.p1[i] + tri.p0[i] + tri.p2[i]) / 3.0f;
            }
            st.items[t] = t;
        }
        // 2n - 1 nodes plus the cuts: room for most trees up front spares the copies of
        // a growing array.
        if (count < 0x7fffffff / 6) {
            st.nodes = static_cast<vyxBIHNode*>(vyxAllocLarge(static_cast<size_t>(count) * 5 / 2 * sizeof(vyxBIHNode)));
            st.links = static_cast<int32_t*>(vyxAllocLarge(static_cast<size_t>(count) * 5 * sizeof(int32_t)));
            if (st.nodes && st.links)
                st.nodeCapacity = static_cast<int32_t>(static_cast<int64_t>(count) * 5 / 2);
        }
        int32_t root = allocateNodes(st, 1);
        if (root == 0)
            buildNode(st, root, 0, count, bih.boundsMin, bih.boundsMax, 0);
    }

    int32_t poolCount = st.nodeCount - 1;
    if (st.failed) {
        std::fprintf(stderr, "vyx: out of memory building the hierarchy over %d triangles\n", count);
        makeEmpty(bih);
    } else {
        // Node i of the build lands at pool[i - 1], in the build's own array (moving
        // each node one place down only after it has been read); node 0 is the root.
        // The array's memory is already touched: a second one would cost its page
        // faults again.
        vyxBIHNode* pool = poolCount > 0 ? st.nodes : nullptr;
        for (int32_t i = 0; i < st.nodeCount; ++i) {
            vyxBIHNode n = st.nodes[i];
            int32_t l = st.links[2 * i], r = st.links[2 * i + 1];
            n.left = l > 0 ? pool + (l - 1) : nullptr;
            n.right = r > 0 ? pool + (r - 1) : nullptr;
            if (i == 0)
                bih.root = n;
            else
                pool[i - 1] = n;
        }
        if (pool)
            st.nodes = nullptr; // kept as the pool
        bih.triangleCount = count;
        bih.nodePool = pool;
        bih.nodeCount = poolCount > 0 ? poolCount : 0;
    }

    std::free(records);
    std::free(st.scratch);
    std::free(st.nodes);
    std::free(st.links);
    std::free(st.items);
}

// What every build starts with: identity transform, the triangles, an empty structure.
// Returns false when there is nothing to build.
static bool startBuild(int32_t count, vyxBIH& bih, vyxTriangle* triangles) {
    vyxTransformIdentity(bih.transform);
    bih.triangles = triangles;
    makeEmpty(bih);
    return count > 0 && triangles;
}

void vyxBuildBIH(int32_t count, vyxBIH& bih, vyxTriangle* triangles) {
    if (!startBuild(count, bih, triangles))
        return;
    buildNodes(count, bih, triangles);
    // After the build's own arrays are freed, so that this one can take over their
    // (already touched) memory. Without it the queries walk the nodes.
    if (bih.triangleCount > 0)
        vyxBuildBVH(bih.bvh, triangles, count);
}

void vyxBuildBIHForTracing(int32_t count, vyxBIH& bih, vyxTriangle* triangles) {
    if (!startBuild(count, bih, triangles))
        return;
    if (!vyxBuildBVH(bih.bvh, triangles, count)) {
        buildNodes(count, bih, triangles);
        return;
    }
    computeBounds(bih, triangles, count);
    bih.triangleCount = count;
}

void vyxFreeBIH(vyxBIH& bih) {
    vyxFreeBVH(bih.bvh);
    std::free(bih.nodePool);
    bih.nodePool = nullptr;
    bih.nodeCount = 0;
    bih.root.left = nullptr;
    bih.root.right = nullptr;
}
