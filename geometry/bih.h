#pragma once
// vyxBIH: the bounding interval hierarchy over one mesh's triangle array. Interior nodes
// split on one axis with two clip planes (leftMax, rightMin) or trim empty space with a
// single child; every leaf holds one triangle. Built once, read-only afterwards.

#include <cstdint>

#include "geometry/transform.h"
#include "geometry/triangle.h"

struct vyxBIHNode {
    uint8_t axis;       // split axis 0 = x, 1 = y, 2 = z (interior nodes)
    uint8_t isLeaf;     // 1 for a leaf
    int32_t triangle;   // leaf: index into the triangle array
    vyxBIHNode* left;   // lower child; null after a low-side cut
    vyxBIHNode* right;  // upper child; null after a high-side cut
    float rightMin;     // lowest coordinate on axis of the right child's triangles
    float leftMax;      // highest coordinate on axis of the left child's triangles
    float extentMin;    // lowest coordinate on axis of all this node's triangles
    float extentMax;    // highest coordinate on axis of all this node's triangles
};

// The traversal's copy of a built tree. Interior nodes only, 32 bytes each in one
// aligned array, with the planes ordered so that a ray picks its near and far side by
// the sign of its direction on the node's axis: for sign s (0 = positive, 1 = negative)
// the near plane is plane[s], the far plane plane[1 - s], the entry extent extent[s].
// A child reference is a node index (>= 0), vyxBIHNoChild, or a leaf: -2 - i for
// leafTriangles[i]. Leaves thus cost no node visit.
struct vyxBIHFlatNode {
    float plane[2];   // leftMax, rightMin
    float extent[2];  // extentMin, extentMax
    int32_t child[2]; // left, right
    uint32_t axis;
    uint32_t unused;
};

static const int32_t vyxBIHNoChild = -1;

// What the ray-triangle test reads of one leaf's triangle, stored in leaf order so
// that neighbouring leaves share cache lines. The values are copies of the
// vyxTriangle's, so a test on this record gives bit for bit the same result.
struct vyxBIHLeafTriangle {
    float normal[3];
    float d;
    float c0, c1, c2, c3;
    float p0u, p0v;   // p0 on the projection axes u, v
    uint8_t u, v;     // projection axes (k + 1) % 3, (k + 2) % 3
    uint8_t unused[2];
    int32_t triangle; // index in the mesh's triangle array
};

struct vyxBIH {
    vyxBIHNode root;
    float boundsMin[3];      // componentwise minimum over all vertices
    float boundsMax[3];
    vyxTransform transform;  // the structure's own space; identity after the build
    vyxTriangle* triangles;  // the mesh's array; not owned
    int32_t triangleCount;
    vyxBIHNode* nodePool;    // every node below the root, in one allocation; owned
    int32_t nodeCount;       // nodes used in nodePool
    // The traversal copy (owned, built with the tree). Null in a structure filled by
    // hand: the queries then walk the node records above.
    vyxBIHFlatNode* flatNodes;
    vyxBIHLeafTriangle* leafTriangles;
    int32_t flatRoot;        // child reference of the root
};

// Builds the hierarchy over count set-up triangles into bih (every field written). With
// count <= 0 or no triangles the structure is empty and every query misses. Triangles
// that cannot be separated are split in list order, and the depth stays bounded so the
// traversal stack cannot overflow.
void vyxBuildBIH(int32_t count, vyxBIH& bih, vyxTriangle* triangles);

// Frees every node below the root; the vyxBIH record itself belongs to the mesh's owner.
// Safe on an empty, zeroed or already freed structure.
void vyxFreeBIH(vyxBIH& bih);
