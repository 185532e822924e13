#pragma once
// vyxMesh: one traceable object: triangles, their shading records, materials, the
// acceleration structure and the object-to-world transform. The queries (geometry/query.h)
// find hits through bih: through the surface-area hierarchy it holds (bih->bvh), or
// through its interval nodes when that could not be built. Shading then reads the hit's
// triangle and shading record by the triangle index the query returns.

#include <cstdint>

#include "geometry/bih.h"
#include "geometry/transform.h"
#include "geometry/triangle.h"
#include "scenefiles/mtl.h"

struct vyxObjModel;

// One triangle's shading data, as vyxShadingOf puts it together from the mesh's arrays.
struct vyxTriangleShading {
    float normal0[3], normal1[3], normal2[3]; // corner normals, object space, not normalised
    float uv0[2], uv1[2], uv2[2];             // corner texture coordinates
    int32_t patch;                            // surface patch tag (1 for OBJ meshes)
    vyxMaterial* material;                    // an element of the mesh's materials array
};

// The shading data of a corner, shared by the triangles that meet there with the same
// normal and texture coordinates.
struct vyxCorner {
    float normal[3]; // object space, not normalised
    float uv[2];
    int32_t flat; // 1: no normal of its own: the triangle's geometric normal stands in
};

// A mesh keeps its shading data indexed, so that what models share (a vertex's normal and
// texture coordinates, one material, one patch) is stored once: a large model without
// normals or texture coordinates needs no per-triangle shading data at all. Arrays that
// would repeat one value are left out (null), and the value stands for every triangle.
struct vyxMesh {
    int32_t triangleCount;
    int32_t materialCount;
    vyxTriangle* triangles; // malloc'd, owned
    vyxCorner* corners;     // malloc'd, owned; null when cornerCount is 0
    int32_t cornerCount;
    // Per triangle, malloc'd and owned, each may be null:
    int32_t (*cornerOf)[3]; // its corners' indices in corners; -1: a corner without data (the
                            // triangle's geometric normal, texture coordinates (0, 0)). Null:
                            // every corner of every triangle is so
    int32_t* materialOf;    // index in materials; null: material 0 for every triangle
    int32_t* patchOf;       // surface patch tag; null: patch for every triangle
    int32_t patch;
    vyxMaterial* materials; // malloc'd, owned (each material's textureFile too)
    vyxBIH* bih;            // new'd, owned; built for tracing (vyxBuildBIHForTracing): its
                            // surface-area hierarchy, or its nodes when memory ran out
    vyxTransform transform; // object to world
    // 1 when every hit on this mesh stops a shadow ray outright (its materials are all
    // opaque shadow casters), so shadow queries may stop at any hit instead of the
    // nearest. Derived from the materials before each frame (vyxMarkOpaqueMeshes); 0 =
    // not known, always safe.
    uint8_t opaque;
    // A world-space box holding, with room for the rounding of carrying rays into the
    // mesh's space, everything the mesh's structure can report, as placed by boundsMatrix:
    // queries skip the mesh for a ray that misses the box. Set by vyxUpdateWorldBounds;
    // it stands only while worldBoundsSet is 1 and transform.matrix still equals
    // boundsMatrix (queries check), so a mesh moved since is simply not skipped.
    uint8_t worldBoundsSet;
    float worldLower[3], worldUpper[3];
    float worldRoom; // the box grows by this times the largest coordinate of a ray's origin
    float boundsMatrix[16];
};

// The material and patch tag of triangle t.
inline vyxMaterial* vyxMaterialOf(const vyxMesh& mesh, int32_t t) {
    return &mesh.materials[mesh.materialOf ? mesh.materialOf[t] : 0];
}
inline int32_t vyxPatchOf(const vyxMesh& mesh, int32_t t) { return mesh.patchOf ? mesh.patchOf[t] : mesh.patch; }

// Everything shading needs of triangle t, from the mesh's indexed arrays.
vyxTriangleShading vyxShadingOf(const vyxMesh& mesh, int32_t t);

// Frees the mesh's shading arrays (corners, cornerOf, materialOf, patchOf) and leaves them
// null with no corners: every triangle then shades flat, with material 0 and the mesh's
// patch. Safe on arrays already freed.
void vyxFreeShading(vyxMesh& mesh);

// Gives mesh the shading data of records[0, triangleCount): the normals and texture
// coordinates as corners of their own (three a triangle), each record's material (an
// element of mesh.materials) and patch, in place of the shading arrays it had. False when
// memory runs out (the mesh's shading arrays are then left out: flat, material 0, patch
// 0). For meshes made by hand, such as the tests'.
bool vyxSetShading(vyxMesh& mesh, const vyxTriangleShading* records);

// Fills mesh (its previous contents are not released) from a model already read, for
// instance by vyxLoadObjFromText. A model without faces gives a valid mesh with no
// triangles that every query misses, and is reported on stderr naming displayName
// (null: "(no name)"). Triangles with a corner that is not finite or beyond 1e18 are
// left out, with one warning giving their count. A face whose material is missing uses
// a default material; a corner without a normal gets the triangle's geometric normal,
// one without a texture coordinate (0, 0). The model is used up: its lists are released
// once copied into the mesh, before the mesh's structure is built, so that a large model
// never holds both at its peak; it is left empty but valid.
void vyxBuildMeshFromObj(vyxObjModel&& model, const char* displayName, vyxMesh& mesh);

// Fills mesh from the OBJ file at path (with its MTL libraries) read by vyxLoadObj, as
// vyxBuildMeshFromObj does with path as the display name. A missing model gives a valid
// mesh with no triangles and no further message. Returns false when the file could not
// be opened or read (vyxLoadObj said why). With confine, every library and texture the
// model names must lie in path's folder (vyxObjModel::confinedTo); others are refused.
bool vyxLoadMeshFromObj(const char* path, vyxMesh& mesh, bool confine = false);

// Sets the mesh's world box for its present transform (see worldBoundsSet); clears it
// when the structure is not built or has its own non-identity transform. Call from one
// thread while no query runs on the mesh.
void vyxUpdateWorldBounds(vyxMesh& mesh);

// Frees the arrays, materials (textureFile), nodes and structure; leaves the mesh
// zeroed. Safe on a zeroed or already freed mesh. Material textures are the scene's.
void vyxFreeMesh(vyxMesh& mesh);
