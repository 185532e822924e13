#pragma once
// vyxTraversalTree: a read-only copy of a bounding interval hierarchy laid out for fast
// nearest-hit queries. The hierarchy's interval planes bound its triangles on one axis
// per node, so a ray skimming over a wide, flat mesh (the terrain) has to descend almost
// to the leaves everywhere along its path. This copy gives every subtree its full 3D
// box, merges two split levels into one node whose four boxes are tested together, drops
// the single-child nodes of empty-space cuts (they bound nothing a box does not) and
// keeps the triangles' test data in the order the leaves are reached.
//
// Queries visit the leaves in exactly the hierarchy's front-to-back order (at every split
// the child on the ray's side of the split axis first) and only skip subtrees whose
// slightly enlarged box the ray cannot meet nearer than the best hit so far, so they test
// every triangle the hierarchy's own traversal tests, in the same order, and find its
// nearest hit, ties included. The one difference: that traversal cuts the ray at its
// planes without any margin, so a ray aimed exactly at an edge or corner can lose a hit
// there to rounding, which the copy then finds (never a farther one).

#include <cstdint>

#include "geometry/triangle.h"

struct vyxBIHNode;

// One node stands for up to three splits of the hierarchy (a split and the shallowest
// splits below it) and its four slots for the subtrees below those, left to right.
struct alignas(64) vyxTraversalNode {
    float lower[3][4]; // per axis, per slot: box minimum; +inf in an empty slot
    float upper[3][4]; // per axis, per slot: box maximum; -inf in an empty slot
    int32_t child[4];  // >= 0: node index; vyxTraversalLeaf(slot) for a triangle; empty: 0
    uint8_t slots;     // bit i set when slot i holds a child
    // Visiting order of the slots for a ray in each octant (bit a set: the direction's
    // component on axis a is negative, so every split on that axis is entered from its
    // right, upper side): two bits per place, first place lowest.
    uint8_t order[8];
};

// What the ray-triangle test reads, copied from the set-up vyxTriangle (same floats).
struct vyxTraversalTriangle {
    float normal[3];
    float d;
    float c0, c1, c2, c3;
    float p0u, p0v;   // p0 on the two projection axes
    int32_t triangle; // index in the mesh's triangle array
    uint8_t u, v;     // projection axes, (k + 1) % 3 and (k + 2) % 3
    uint8_t count;    // first of a leaf: its triangles, 1 or 2 (the next one)
    uint8_t axis;     // first of a two-triangle leaf: the axis of the split between them
};

struct vyxTraversalTree {
    vyxTraversalNode* nodes; // node 0 first when the root is a split; owned
    int32_t nodeCount;
    vyxTraversalTriangle* triangles; // in the order the leaves are reached; owned
    int32_t triangleCount;
    int32_t root;        // reference to the root: node, leaf, or 0 when empty
    float margin;        // boxes are widened by this much at query time
    int32_t stackNeeded; // deepest deferred-entry count a query can reach
};

// Child references: a non-negative node index, or a leaf as the bitwise complement of
// the place of its first triangle. An empty slot is marked by its box, not its reference.
inline int32_t vyxTraversalLeaf(int32_t slot) { return ~slot; }

// Builds tree from the hierarchy below root over the set-up triangles it indexes
// (triangles[0, count)). Returns false and leaves tree empty (all fields zero) when
// memory runs out or the tree would need a deeper stack than queries keep; the caller
// then uses the hierarchy itself.
// leafOrder, when not null, holds the triangle indices of the leaves left to right (as
// the hierarchy's build leaves them); it only lets the copy fetch triangles ahead.
bool vyxBuildTraversalTree(const vyxBIHNode& root, const vyxTriangle* triangles, int32_t count, vyxTraversalTree& tree,
                           const int32_t* leafOrder = nullptr);

// Frees the arrays and zeroes the record. Safe on a zeroed or already freed tree.
void vyxFreeTraversalTree(vyxTraversalTree& tree);

// Up to this many rays are traced together by vyxTraverseTreePacket.
constexpr int vyxPacketSize = 4;

// Nearest hit of origin + t direction with t in [0, maxDistance) (maxDistance must be
// positive; pass FLT_MAX for no limit), origin and direction finite and in the tree's
// space. Same result as vyxTraverseBIH over the hierarchy the tree was built from (t,
// weights and triangle; see above for rays aimed exactly at edges); object = -1; t = -1
// for no hit. Any thread.
vyxTraceResult vyxTraverseTree(const vyxTraversalTree& tree, const float origin[3], const float direction[3],
                               float maxDistance);

// The same query for count rays (1 .. vyxPacketSize) at once, each with its own origin,
// direction and maxDistance (the same conditions as above), whose directions all lie in
// the same octant (vyxDirectionOctant). results[i] is exactly
// what vyxTraverseTree gives ray i: the rays share the walk through the tree, whose
// order depends on the octant only, but each tests only what its own boxes allow and
// keeps its own best hit. Any thread.
void vyxTraverseTreePacket(const vyxTraversalTree& tree, int count, const float origins[][3],
                           const float directions[][3], const float* maxDistances, vyxTraceResult* results);

// The octant of a direction, which fixes the order a query visits the slots in: bit a
// set when the component on axis a is below zero. A negative zero counts as positive, as
// at the hierarchy's own splits, where a zero component visits the left side first.
// (The box tests take the side to enter from from the sign bit, which a zero's
// infinite inverse needs.)
int vyxDirectionOctant(const float direction[3]);
