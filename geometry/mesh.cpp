#include "geometry/mesh.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "scenefiles/obj.h"
#include "scenefiles/text.h"
#include "util/assert.h"
#include "util/escape.h"
#include "util/large_alloc.h"

static bool validIndex(int32_t index, int32_t count) { return index >= 0 && index < count; }

static bool facePositionsValid(const vyxObjFace& face, int32_t positionCount) {
    return validIndex(face.position[0], positionCount) && validIndex(face.position[1], positionCount) &&
           validIndex(face.position[2], positionCount);
}

// Beyond this a coordinate is taken as garbage: the hierarchy's bounds would overflow or
// swallow every other triangle.
static const float kMaxCoordinate = 1e18f;

static bool positionUsable(const vyxObjModel& model, int32_t index) {
    const float* p = &model.positions[3 * static_cast<size_t>(index)];
    for (int k = 0; k < 3; ++k)
        if (!(std::fabs(p[k]) <= kMaxCoordinate)) // false for NaN too
            return false;
    return true;
}

static bool faceUsable(const vyxObjFace& face, const vyxObjModel& model) {
    return facePositionsValid(face, model.positionCount()) && positionUsable(model, face.position[0]) &&
           positionUsable(model, face.position[1]) && positionUsable(model, face.position[2]);
}

static void copy3(float out[3], const float* in) {
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
}

namespace {

// What the first pass over the faces finds: how many triangles the mesh gets, how many
// faces were left out for a corner that is not finite or too far, and whether some face
// names no loaded material (they then share one default material at the end).
struct FaceCount {
    int32_t triangles = 0;
    long far = 0;
    bool needsDefault = false;
};

// The reader already drops faces with bad position indices; this check keeps the mesh
// safe whatever the model holds, and leaves out triangles with a corner that is not
// finite or absurdly far.
FaceCount countFaces(const vyxObjModel& model) {
    FaceCount count;
    const int32_t materials = static_cast<int32_t>(model.materials.size());
    for (const vyxObjGroup& group : model.groups)
        for (const vyxObjFace& face : group.faces)
            if (faceUsable(face, model)) {
                ++count.triangles;
                if (!validIndex(face.material, materials))
                    count.needsDefault = true;
            } else if (facePositionsValid(face, model.positionCount())) {
                ++count.far;
            }
    return count;
}

// The mesh's materials: the model's, then the default one when some face needs it. False
// when memory runs out (the mesh then has none).
bool makeMaterials(const vyxObjModel& model, bool needsDefault, vyxMesh& mesh) {
    const int32_t modelMaterials = static_cast<int32_t>(model.materials.size());
    const int32_t materialCount = modelMaterials + (needsDefault ? 1 : 0);
    if (materialCount == 0)
        return true;
    mesh.materials = static_cast<vyxMaterial*>(std::calloc(static_cast<size_t>(materialCount), sizeof(vyxMaterial)));
    if (!mesh.materials)
        return false;
    for (int32_t m = 0; m < modelMaterials; ++m)
        mesh.materials[m] = vyxMaterialFromMtl(model.materials[static_cast<size_t>(m)]);
    if (needsDefault)
        mesh.materials[materialCount - 1] = vyxDefaultMaterial();
    mesh.materialCount = materialCount;
    return true;
}

// Reports that memory ran out for the count triangles of path, and frees the mesh's
// triangle and shading arrays.
void outOfMemory(int32_t count, const char* path, vyxMesh& mesh) {
    std::fprintf(stderr, "vyx: out of memory for the %d triangles of %s\n", count, vyxEscapeText(path).c_str());
    std::free(mesh.triangles);
    mesh.triangles = nullptr;
    vyxFreeShading(mesh);
}

// The triangle array for count triangles and the per-triangle arrays the model needs
// (corner indices when it has normals or texture coordinates, materials when there are
// several); false (with a message naming path, and none of them) when memory runs out.
// Not cleared: fillTriangles writes every record whole, and a large model's arrays would
// otherwise be written twice.
bool allocateTriangles(const vyxObjModel& model, int32_t count, const char* path, vyxMesh& mesh) {
    const size_t n = static_cast<size_t>(count);
    mesh.triangles = static_cast<vyxTriangle*>(vyxAllocLarge(n * sizeof(vyxTriangle)));
    bool ok = mesh.triangles != nullptr;
    if (model.normalCount() > 0 || model.texcoordCount() > 0) {
        // Corners are numbered in 32 bits, up to three a triangle.
        ok = ok && count <= INT32_MAX / 3;
        mesh.cornerOf = static_cast<int32_t(*)[3]>(vyxAllocLarge(n * sizeof(*mesh.cornerOf)));
        ok = ok && mesh.cornerOf;
    }
    if (mesh.materialCount > 1) {
        mesh.materialOf = static_cast<int32_t*>(vyxAllocLarge(n * sizeof(int32_t)));
        ok = ok && mesh.materialOf;
    }
    if (ok)
        return true;
    outOfMemory(count, path, mesh);
    return false;
}

// Numbers the mesh's corners, the (normal, texture coordinate) pairs of the faces, one per
// pair as far as it can tell cheaply: for each normal the first corner made with a
// texture coordinate and the one made without (faces under untextured materials use
// none), and for each texture coordinate the first corner without a normal, are
// remembered, and a pair that matches one of them reuses it. Pairs that a model splits at
// seams may get a number each time; that only costs memory.
class CornerNumbers {
public:
    explicit CornerNumbers(const vyxObjModel& model)
        : byNormal_(3 * static_cast<size_t>(model.normalCount()), -1),
          byTexcoord_(static_cast<size_t>(model.texcoordCount()), -1) {}

    // The corner of normal ni and texture coordinate ti (either -1 when missing); -1 when
    // both are.
    int32_t numberOf(int32_t ni, int32_t ti) {
        if (ni < 0 && ti < 0)
            return -1;
        if (ni < 0)
            return remember(byTexcoord_[static_cast<size_t>(ti)]);
        int32_t* slots = &byNormal_[3 * static_cast<size_t>(ni)]; // without; with; its coordinate
        if (ti < 0)
            return remember(slots[0]);
        if (slots[1] >= 0 && slots[2] != ti)
            return count++; // a seam: a corner of its own
        slots[2] = ti;
        return remember(slots[1]);
    }

    int32_t count = 0;

private:
    int32_t remember(int32_t& slot) {
        if (slot < 0)
            slot = count++;
        return slot;
    }
    std::vector<int32_t> byNormal_, byTexcoord_;
};

// The (normal, texture coordinate) pair of each corner of one face, -1 where missing: a
// corner without a normal gets the triangle's flat one, one without a texture coordinate
// (or under a material without a texture) (0, 0).
void cornerPairs(const vyxObjModel& model, const vyxObjFace& face, const vyxMaterial& material, int32_t ni[3],
                 int32_t ti[3]) {
    for (int c = 0; c < 3; ++c) {
        ni[c] = validIndex(face.normal[c], model.normalCount()) ? face.normal[c] : -1;
        ti[c] = material.textureFile && validIndex(face.texcoord[c], model.texcoordCount()) ? face.texcoord[c] : -1;
    }
}

// Calls visit(n, face, materialIndex) for the first `count` usable faces of the model, in
// file order, n counting them.
template <typename Visit>
void forEachTriangle(const vyxObjModel& model, int32_t count, const vyxMesh& mesh, Visit visit) {
    const int32_t modelMaterials = static_cast<int32_t>(model.materials.size());
    int32_t n = 0;
    for (const vyxObjGroup& group : model.groups) {
        for (const vyxObjFace& face : group.faces) {
            if (n >= count)
                break;
            if (!faceUsable(face, model))
                continue;
            const int32_t materialIndex =
                validIndex(face.material, modelMaterials) ? face.material : mesh.materialCount - 1;
            // The first pass counted a default material for every face that needs one.
            VYX_ASSERT(materialIndex >= 0 && materialIndex < mesh.materialCount);
            visit(n, face, materialIndex);
            ++n;
        }
    }
    // Both passes over the faces keep the same ones.
    VYX_ASSERT(n == count);
}

// The corners the faces numbered, written once their count is known; false (the mesh left
// without corner data) when memory runs out.
bool fillCorners(const vyxObjModel& model, int32_t count, const char* path, vyxMesh& mesh) {
    mesh.corners = static_cast<vyxCorner*>(vyxAllocLarge(static_cast<size_t>(mesh.cornerCount) * sizeof(vyxCorner)));
    if (!mesh.corners) {
        outOfMemory(count, path, mesh);
        return false;
    }
    forEachTriangle(model, count, mesh, [&](int32_t n, const vyxObjFace& face, int32_t materialIndex) {
        int32_t ni[3], ti[3];
        cornerPairs(model, face, mesh.materials[materialIndex], ni, ti);
        for (int c = 0; c < 3; ++c) {
            if (mesh.cornerOf[n][c] < 0)
                continue;
            vyxCorner& corner = mesh.corners[mesh.cornerOf[n][c]];
            corner.flat = ni[c] < 0 ? 1 : 0;
            if (ni[c] >= 0)
                copy3(corner.normal, &model.normals[3 * static_cast<size_t>(ni[c])]);
            else
                corner.normal[0] = corner.normal[1] = corner.normal[2] = 0.0f;
            corner.uv[0] = ti[c] >= 0 ? model.texcoords[3 * static_cast<size_t>(ti[c])] : 0.0f;
            corner.uv[1] = ti[c] >= 0 ? model.texcoords[3 * static_cast<size_t>(ti[c]) + 1] : 0.0f;
        }
    });
    return true;
}

// The first `count` usable faces become the mesh's triangles, in file order, with their
// shading data: the triangles, materials and corner numbers in one pass, then the
// corners. False when memory runs out for the corners (the mesh's arrays are then freed).
bool fillTriangles(const vyxObjModel& model, int32_t count, const char* path, vyxMesh& mesh) {
    std::unique_ptr<CornerNumbers> numbers;
    if (mesh.cornerOf) {
        try {
            numbers.reset(new CornerNumbers(model));
        } catch (const std::bad_alloc&) {
            outOfMemory(count, path, mesh);
            return false;
        }
    }
    forEachTriangle(model, count, mesh, [&](int32_t n, const vyxObjFace& face, int32_t materialIndex) {
        vyxTriangle& tri = mesh.triangles[n];
        copy3(tri.p0, &model.positions[3 * static_cast<size_t>(face.position[0])]);
        copy3(tri.p1, &model.positions[3 * static_cast<size_t>(face.position[1])]);
        copy3(tri.p2, &model.positions[3 * static_cast<size_t>(face.position[2])]);
        vyxSetupTriangle(tri);
        if (mesh.materialOf)
            mesh.materialOf[n] = materialIndex;
        if (mesh.cornerOf) {
            int32_t ni[3], ti[3];
            cornerPairs(model, face, mesh.materials[materialIndex], ni, ti);
            for (int c = 0; c < 3; ++c)
                mesh.cornerOf[n][c] = numbers->numberOf(ni[c], ti[c]);
        }
    });
    mesh.cornerCount = numbers ? numbers->count : 0;
    // A model whose corners all turned out without data needs no corner arrays.
    if (mesh.cornerCount == 0) {
        std::free(mesh.cornerOf);
        mesh.cornerOf = nullptr;
        return true;
    }
    return fillCorners(model, count, path, mesh);
}

} // namespace

// The mesh of model; path names it in messages. A model without usable faces is
// reported when read is true (a file that could not be read was reported already).
static void buildMesh(const vyxObjModel& model, const char* path, bool read, vyxMesh& mesh) {
    std::memset(&mesh, 0, sizeof(mesh));
    vyxTransformIdentity(mesh.transform);
    mesh.patch = 1;

    const FaceCount faces = countFaces(model);
    if (read && faces.triangles == 0)
        std::fprintf(stderr, "vyx: %s has no faces to draw; the model is empty\n", vyxEscapeText(path).c_str());
    if (faces.far > 0)
        std::fprintf(stderr, "vyx: %s: %ld triangle%s with a corner that is not finite or beyond 1e18 left out\n",
                     vyxEscapeText(path).c_str(), faces.far, faces.far == 1 ? "" : "s");

    // Without its materials or its arrays (memory ran out) the mesh has no triangles.
    int32_t triangleCount = faces.triangles;
    if (!makeMaterials(model, faces.needsDefault, mesh) ||
        (triangleCount > 0 && !allocateTriangles(model, triangleCount, path, mesh)) ||
        !fillTriangles(model, triangleCount, path, mesh))
        triangleCount = 0;
    mesh.triangleCount = triangleCount;
}

// The structure the queries walk, over the mesh's triangles.
static void buildStructure(vyxMesh& mesh) {
    mesh.bih = new vyxBIH;
    std::memset(mesh.bih, 0, sizeof(vyxBIH));
    vyxBuildBIHForTracing(mesh.triangleCount, *mesh.bih, mesh.triangles);
}

// The mesh of model and its structure. The model's lists are copied into the mesh before
// the structure is built: handing their memory back first lowers the peak a large model
// needs.
static void buildMeshAndStructure(vyxObjModel& model, const char* path, bool read, vyxMesh& mesh) {
    buildMesh(model, path, read, mesh);
    model = vyxObjModel();
    buildStructure(mesh);
}

void vyxBuildMeshFromObj(vyxObjModel&& model, const char* displayName, vyxMesh& mesh) {
    buildMeshAndStructure(model, displayName ? displayName : "(no name)", true, mesh);
}

bool vyxLoadMeshFromObj(const char* path, vyxMesh& mesh, bool confine) {
    vyxObjModel model;
    if (confine)
        model.confinedTo = vyxFolderOf(path);
    const bool read = vyxLoadObj(path, model);
    buildMeshAndStructure(model, path, read, mesh);
    return read;
}

void vyxUpdateWorldBounds(vyxMesh& mesh) {
    mesh.worldBoundsSet = 0;
    if (!mesh.bih || !mesh.bih->bvh.built || mesh.bih->bvh.leafCount == 0)
        return;
    vyxTransformPrepare(mesh.bih->transform);
    if (!mesh.bih->transform.inverseIdentity)
        return;
    vyxTransform& transform = mesh.transform;
    vyxTransformPrepare(transform);
    const vyxBVH& bvh = mesh.bih->bvh;
    const float* m = transform.matrix;
    // The placed corners of the structure's box, in double.
    double lower[3] = {INFINITY, INFINITY, INFINITY}, upper[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (int corner = 0; corner < 8; ++corner) {
        double p[3];
        for (int a = 0; a < 3; ++a)
            p[a] = (corner >> a) & 1 ? bvh.upper[a] : bvh.lower[a];
        for (int row = 0; row < 3; ++row) {
            const double w = m[4 * row] * p[0] + m[4 * row + 1] * p[1] + m[4 * row + 2] * p[2] + m[4 * row + 3];
            lower[row] = std::min(lower[row], w);
            upper[row] = std::max(upper[row], w);
        }
    }
    double size = 0.0;
    for (int a = 0; a < 3; ++a)
        size = std::max({size, upper[a] - lower[a], std::fabs(lower[a]), std::fabs(upper[a])});
    // A ray carried into the mesh's space lands off its exact image by a few float
    // roundings, each relative to the coordinates involved and magnified by how far the
    // matrix is from a rotation (the product of the norms of M and M^-1: 3 for a rotation
    // with uniform scale). The room allows for a hundred times that.
    double norm = 0.0, inverseNorm = 0.0;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) {
            norm += static_cast<double>(m[4 * row + column]) * m[4 * row + column];
            inverseNorm +=
                static_cast<double>(transform.inverse[4 * row + column]) * transform.inverse[4 * row + column];
        }
    const double room = 1e-5 * std::sqrt(norm) * std::sqrt(inverseNorm);
    const double grown = room * size;
    if (!std::isfinite(grown) || !(room < 1e-2) || size > 1e30)
        return;
    for (int a = 0; a < 3; ++a) {
        mesh.worldLower[a] = static_cast<float>(lower[a] - grown);
        mesh.worldUpper[a] = static_cast<float>(upper[a] + grown);
    }
    mesh.worldRoom = static_cast<float>(room);
    std::memcpy(mesh.boundsMatrix, transform.matrix, sizeof(mesh.boundsMatrix));
    mesh.worldBoundsSet = 1;
}

void vyxFreeMesh(vyxMesh& mesh) {
    for (int32_t m = 0; m < mesh.materialCount && mesh.materials; ++m)
        vyxFreeMaterial(mesh.materials[m]);
    std::free(mesh.materials);
    std::free(mesh.triangles);
    vyxFreeShading(mesh);
    if (mesh.bih) {
        vyxFreeBIH(*mesh.bih);
        delete mesh.bih;
    }
    std::memset(&mesh, 0, sizeof(mesh));
}

vyxTriangleShading vyxShadingOf(const vyxMesh& mesh, int32_t t) {
    vyxTriangleShading s;
    const vyxTriangle& tri = mesh.triangles[t];
    float* normals[3] = {s.normal0, s.normal1, s.normal2};
    float* uvs[3] = {s.uv0, s.uv1, s.uv2};
    for (int c = 0; c < 3; ++c) {
        const int32_t k = mesh.cornerOf ? mesh.cornerOf[t][c] : -1;
        if (k < 0) {
            copy3(normals[c], tri.normal);
            uvs[c][0] = uvs[c][1] = 0.0f;
            continue;
        }
        const vyxCorner& corner = mesh.corners[k];
        copy3(normals[c], corner.flat ? tri.normal : corner.normal);
        uvs[c][0] = corner.uv[0];
        uvs[c][1] = corner.uv[1];
    }
    s.patch = vyxPatchOf(mesh, t);
    s.material = vyxMaterialOf(mesh, t);
    return s;
}

void vyxFreeShading(vyxMesh& mesh) {
    std::free(mesh.corners);
    std::free(mesh.cornerOf);
    std::free(mesh.materialOf);
    std::free(mesh.patchOf);
    mesh.corners = nullptr;
    mesh.cornerOf = nullptr;
    mesh.materialOf = nullptr;
    mesh.patchOf = nullptr;
    mesh.cornerCount = 0;
}

bool vyxSetShading(vyxMesh& mesh, const vyxTriangleShading* records) {
    vyxFreeShading(mesh);
    const size_t n = static_cast<size_t>(mesh.triangleCount);
    if (mesh.triangleCount > INT32_MAX / 3)
        return false;
    mesh.corners = static_cast<vyxCorner*>(vyxAllocLarge(3 * n * sizeof(vyxCorner)));
    mesh.cornerOf = static_cast<int32_t(*)[3]>(vyxAllocLarge(n * sizeof(*mesh.cornerOf)));
    mesh.materialOf = static_cast<int32_t*>(vyxAllocLarge(n * sizeof(int32_t)));
    mesh.patchOf = static_cast<int32_t*>(vyxAllocLarge(n * sizeof(int32_t)));
    if (!mesh.corners || !mesh.cornerOf || !mesh.materialOf || !mesh.patchOf) {
        vyxFreeShading(mesh);
        mesh.patch = 0;
        return false;
    }
    for (size_t t = 0; t < n; ++t) {
        const vyxTriangleShading& r = records[t];
        const float* normals[3] = {r.normal0, r.normal1, r.normal2};
        const float* uvs[3] = {r.uv0, r.uv1, r.uv2};
        for (int c = 0; c < 3; ++c) {
            vyxCorner& corner = mesh.corners[3 * t + c];
            copy3(corner.normal, normals[c]);
            corner.uv[0] = uvs[c][0];
            corner.uv[1] = uvs[c][1];
            corner.flat = 0;
            mesh.cornerOf[t][c] = static_cast<int32_t>(3 * t + c);
        }
        VYX_ASSERT(r.material >= mesh.materials && r.material < mesh.materials + mesh.materialCount);
        mesh.materialOf[t] = static_cast<int32_t>(r.material - mesh.materials);
        mesh.patchOf[t] = r.patch;
    }
    mesh.cornerCount = static_cast<int32_t>(3 * n);
    return true;
}
