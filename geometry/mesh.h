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

// Per-triangle shading data, same index as the triangle.
struct vyxTriangleShading {
    float normal0[3], normal1[3], normal2[3]; // corner normals, object space, not normalised
    float uv0[2], uv1[2], uv2[2];             // corner texture coordinates
    int32_t patch;                            // surface patch tag (1 for OBJ meshes)
    vyxMaterial* material;                    // an element of the mesh's materials array
};

struct vyxMesh {
    int32_t triangleCount;
    int32_t materialCount;
    vyxTriangle* triangles;      // malloc'd, owned
    vyxTriangleShading* shading; // malloc'd, owned
    vyxMaterial* materials;      // malloc'd, owned (each material's textureFile too)
    vyxBIH* bih;                 // new'd, owned; built for tracing (vyxBuildBIHForTracing): its
                                 // surface-area hierarchy, or its nodes when memory ran out
    vyxTransform transform;      // object to world
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
