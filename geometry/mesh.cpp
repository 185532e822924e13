#include "geometry/mesh.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The triangle and shading arrays for count triangles; false (with a message naming
// path, and neither array) when memory runs out. Not cleared: fillTriangles writes every
// record whole, and a large model's arrays would otherwise be written twice.
bool allocateTriangles(int32_t count, const char* path, vyxMesh& mesh) {
    const size_t n = static_cast<size_t>(count);
    mesh.triangles = static_cast<vyxTriangle*>(vyxAllocLarge(n * sizeof(vyxTriangle)));
    mesh.shading = static_cast<vyxTriangleShading*>(vyxAllocLarge(n * sizeof(vyxTriangleShading)));
    if (mesh.triangles && mesh.shading)
        return true;
    std::fprintf(stderr, "vyx: out of memory for the %d triangles of %s\n", count, vyxEscapeText(path).c_str());
    std::free(mesh.triangles);
    std::free(mesh.shading);
    mesh.triangles = nullptr;
    mesh.shading = nullptr;
    return false;
}

// The corner normals and texture coordinates of one face into its shading record: a
// corner without a normal gets the triangle's flat one, one without a texture
// coordinate (or under a material without a texture) (0, 0).
void fillCorners(const vyxObjModel& model, const vyxObjFace& face, const vyxTriangle& tri, vyxTriangleShading& sh) {
    float* normals[3] = {sh.normal0, sh.normal1, sh.normal2};
    float* uvs[3] = {sh.uv0, sh.uv1, sh.uv2};
    for (int c = 0; c < 3; ++c) {
        const int32_t ni = face.normal[c];
        if (validIndex(ni, model.normalCount()))
            copy3(normals[c], &model.normals[3 * static_cast<size_t>(ni)]);
        else
            copy3(normals[c], tri.normal);
        const int32_t ti = face.texcoord[c];
        if (sh.material->textureFile && validIndex(ti, model.texcoordCount())) {
            uvs[c][0] = model.texcoords[3 * static_cast<size_t>(ti)];
            uvs[c][1] = model.texcoords[3 * static_cast<size_t>(ti) + 1];
        } else {
            uvs[c][0] = uvs[c][1] = 0.0f;
        }
    }
}

// The second pass over the faces: the first `count` usable ones become the mesh's
// triangles and shading records, in file order.
void fillTriangles(const vyxObjModel& model, int32_t count, vyxMesh& mesh) {
    const int32_t modelMaterials = static_cast<int32_t>(model.materials.size());
    int32_t n = 0;
    for (const vyxObjGroup& group : model.groups) {
        for (const vyxObjFace& face : group.faces) {
            if (n >= count)
                break;
            if (!faceUsable(face, model))
                continue;
            vyxTriangle& tri = mesh.triangles[n];
            copy3(tri.p0, &model.positions[3 * static_cast<size_t>(face.position[0])]);
            copy3(tri.p1, &model.positions[3 * static_cast<size_t>(face.position[1])]);
            copy3(tri.p2, &model.positions[3 * static_cast<size_t>(face.position[2])]);
            vyxSetupTriangle(tri);

            vyxTriangleShading& sh = mesh.shading[n];
            const int32_t materialIndex =
                validIndex(face.material, modelMaterials) ? face.material : mesh.materialCount - 1;
            // The first pass counted a default material for every face that needs one.
            VYX_ASSERT(materialIndex >= 0 && materialIndex < mesh.materialCount);
            sh.material = &mesh.materials[materialIndex];
            fillCorners(model, face, tri, sh);
            sh.patch = 1;
            ++n;
        }
    }
    // Both passes over the faces keep the same ones.
    VYX_ASSERT(n == count);
}

} // namespace

// The mesh of model; path names it in messages. A model without usable faces is
// reported when read is true (a file that could not be read was reported already).
static void buildMesh(const vyxObjModel& model, const char* path, bool read, vyxMesh& mesh) {
    std::memset(&mesh, 0, sizeof(mesh));
    vyxTransformIdentity(mesh.transform);

    const FaceCount faces = countFaces(model);
    if (read && faces.triangles == 0)
        std::fprintf(stderr, "vyx: %s has no faces to draw; the model is empty\n", vyxEscapeText(path).c_str());
    if (faces.far > 0)
        std::fprintf(stderr, "vyx: %s: %ld triangle%s with a corner that is not finite or beyond 1e18 left out\n",
                     vyxEscapeText(path).c_str(), faces.far, faces.far == 1 ? "" : "s");

    // Without its materials or its arrays (memory ran out) the mesh has no triangles.
    int32_t triangleCount = faces.triangles;
    if (!makeMaterials(model, faces.needsDefault, mesh) ||
        (triangleCount > 0 && !allocateTriangles(triangleCount, path, mesh)))
        triangleCount = 0;
    fillTriangles(model, triangleCount, mesh);
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
    std::free(mesh.shading);
    if (mesh.bih) {
        vyxFreeBIH(*mesh.bih);
        delete mesh.bih;
    }
    std::memset(&mesh, 0, sizeof(mesh));
}
