#pragma once
// vyxBIH: the bounding interval hierarchy over one mesh's triangle array. Interior nodes
// split on one axis with two clip planes (leftMax, rightMin) or trim empty space with a
// single child; every leaf holds one triangle. Built once, read-only afterwards.
//
// The queries over it (vyxTraceBIH, and vyxTraverseBIH, the walk of these nodes) are in
// geometry/query.h. Beside the nodes the record holds, in its bvh field, the structure
// the renderers actually walk: a surface-area hierarchy over the same triangles
// (geometry/bvh.h), eight children a node where the processor has AVX2 and four
// elsewhere, which finds exactly the same hits several times faster. The program builds
// only that one for its meshes (vyxBuildBIHForTracing). The interval nodes are still
// built where they serve: by vyxBuildBIH for the tests, which check the two walks
// against each other and against a scan of every triangle; and by vyxBuildBIHForTracing
// when memory runs out for the surface-area hierarchy, so that the mesh is still traced
// (through vyxTraverseBIH).

#include <cstdint>

#include "geometry/bvh.h"
#include "geometry/transform.h"
#include "geometry/triangle.h"

// Below this many split levels the build uses the natural split; deeper down every node
// is halved in list order, which adds at most log2(count) <= 31 further levels, so no
// path holds more than vyxBIHMaxSplitDepth splits (the walk's stack is sized by it).
constexpr int vyxBIHMaxNaturalSplitDepth = 200;
constexpr int vyxBIHMaxSplitDepth = vyxBIHMaxNaturalSplitDepth + 31;

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
    vyxBIHNode* nodePool; // every node below the root, in one allocation; owned
    int32_t nodeCount;    // nodes used in nodePool
    // The surface-area hierarchy the queries walk whenever bvh.built is 1 (every mesh the
    // program loads, unless memory ran out); otherwise they walk root and nodePool.
    vyxBVH bvh;
};

// Builds the hierarchy over count set-up triangles into bih (every field written). With
// count <= 0 or no triangles the structure is empty and every query misses. Triangles
// that cannot be separated are split in list order, and the depth stays bounded so the
// traversal stack cannot overflow. Also builds the surface-area hierarchy the queries
// walk (bvh), so that both walks of the same triangles can be compared.
void vyxBuildBIH(int32_t count, vyxBIH& bih, vyxTriangle* triangles);

// What tracing needs, as fast as it can be built: bih's bounds, transform and the
// surface-area hierarchy the queries walk, every field written. The hierarchy's own nodes
// are built only when that structure cannot be (memory ran out), for the queries to
// walk instead; otherwise bih.root is an empty node.
void vyxBuildBIHForTracing(int32_t count, vyxBIH& bih, vyxTriangle* triangles);

// Frees every node below the root and the surface-area hierarchy; the vyxBIH record itself
// belongs to the mesh's owner.
// Safe on an empty, zeroed or already freed structure.
void vyxFreeBIH(vyxBIH& bih);
