#pragma once
// vyxBIH: the bounding interval hierarchy over one mesh's triangle array. Interior nodes
// split on one axis with two clip planes (leftMax, rightMin) or trim empty space with a
// single child; every leaf holds one triangle. Built once, read-only afterwards.
//
// The queries over it (vyxTraceBIH, and vyxTraverseBIH, the walk of these nodes) are in
// geometry/query.h. The build also derives a copy laid out for faster walks, declared
// in geometry/traversal_tree.h; the queries walk that copy whenever the build made one.

#include <cstdint>

#include "geometry/transform.h"
#include "geometry/traversal_tree.h"
#include "geometry/triangle.h"

struct vyxBIHNode {
    uint8_t axis;      // split axis 0 = x, 1 = y, 2 = z (interior nodes)
    uint8_t isLeaf;    // 1 for a leaf
    int32_t triangle;  // leaf: index into the triangle array
    vyxBIHNode* left;  // lower child; null after a low-side cut
    vyxBIHNode* right; // upper child; null after a high-side cut
    float rightMin;    // lowest coordinate on axis of the right child's triangles
    float leftMax;     // highest coordinate on axis of the left child's triangles
    float extentMin;   // lowest coordinate on axis of all this node's triangles
    float extentMax;   // highest coordinate on axis of all this node's triangles
};

struct vyxBIH {
    vyxBIHNode root;
    float boundsMin[3]; // componentwise minimum over all vertices
    float boundsMax[3];
    // Placement of the hierarchy inside its mesh's object space. Queries carry a ray
    // through the mesh's transform and then this one, and shading carries normals back
    // through both, so a built hierarchy can be moved or scaled within its mesh without
    // a rebuild. The build sets the identity and nothing in the program changes it; at
    // the identity the queries skip its matrix products.
    vyxTransform transform;
    vyxTriangle* triangles; // the mesh's array; not owned
    int32_t triangleCount;
    vyxBIHNode* nodePool;       // every node below the root, in one allocation; owned
    int32_t nodeCount;          // nodes used in nodePool
    vyxTraversalTree traversal; // derived copy the queries walk; empty = walk the nodes
};

// Builds the hierarchy over count set-up triangles into bih (every field written). With
// count <= 0 or no triangles the structure is empty and every query misses. Triangles
// that cannot be separated are split in list order, and the depth stays bounded so the
// traversal stack cannot overflow. Also builds the traversal copy the queries use.
void vyxBuildBIH(int32_t count, vyxBIH& bih, vyxTriangle* triangles);

// Frees every node below the root and the traversal copy; the vyxBIH record itself
// belongs to the mesh's owner.
// Safe on an empty, zeroed or already freed structure.
void vyxFreeBIH(vyxBIH& bih);
