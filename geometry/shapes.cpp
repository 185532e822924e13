#include "geometry/shapes.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "geometry/vec3.h"
#include "util/large_alloc.h"

// x / cell truncated toward zero. The lattice only needs a few bits; out-of-range and NaN
// quotients (whose conversion to int would be undefined) are clamped, NaN to 0.
static int32_t truncateToInt(float q) {
    if (!(q == q))
        return 0;
    if (q >= 1073741824.0f)
        return 1073741824;
    if (q <= -1073741824.0f)
        return -1073741824;
    return static_cast<int32_t>(q);
}

// Lattice value for integer m, in (-1, 1]. The hash wraps modulo 2^32; it is computed
// unsigned, which gives the same bits as the two's-complement wrap without signed overflow.
static float latticeValue(uint32_t m) {
    uint32_t k = m ^ (m << 13);
    uint32_t h = (k * (k * k * 15731u + 789221u) - 771171059u) & 0x7fffffffu;
    return 1.0f - static_cast<float>(h) * (1.0f / 1073741824.0f);
}

static float cosineWeight(float f) {
    const float pi = static_cast<float>(vyxPi);
    return std::cos(f * pi + pi) * 0.5f + 0.5f;
}

// One axis of the lattice: the cell index below p and the cosine weight of p within it.
static void latticeAxis(float p, float cell, int32_t& index, float& weight) {
    int32_t i = truncateToInt(p / cell);
    float f = (p - cell * static_cast<float>(i)) / cell;
    if (f < 0.0f) {
        f += 1.0f;
        i -= 1;
    }
    index = i;
    weight = cosineWeight(f);
}

// The noise at lattice index n = ix + 17 iy + 31 iz with the three axis weights.
static float blendLattice(uint32_t n, float wx, float wy, float wz) {
    float a0 = (1.0f - wx) * latticeValue(n) + wx * latticeValue(n + 1u);
    float a1 = (1.0f - wx) * latticeValue(n + 17u) + wx * latticeValue(n + 18u);
    float b0 = (1.0f - wx) * latticeValue(n + 31u) + wx * latticeValue(n + 32u);
    float b1 = (1.0f - wx) * latticeValue(n + 48u) + wx * latticeValue(n + 49u);
    float front = (1.0f - wy) * a0 + wy * a1;
    float back = (1.0f - wy) * b0 + wy * b1;
    return (1.0f - wz) * front + wz * back;
}

static uint32_t latticeIndex(int32_t ix, int32_t iy, int32_t iz) {
    return static_cast<uint32_t>(ix) + 17u * static_cast<uint32_t>(iy) + 31u * static_cast<uint32_t>(iz);
}

float vyxValueNoise(float x, float y, float z, float cell) {
    int32_t ix, iy, iz;
    float wx, wy, wz;
    latticeAxis(x, cell, ix, wx);
    latticeAxis(y, cell, iy, wy);
    latticeAxis(z, cell, iz, wz);
    return blendLattice(latticeIndex(ix, iy, iz), wx, wy, wz);
}

float vyxFractalNoise(float x, float y, float z, float persistence) {
    float sum = 0.0f, amplitude = 1.0f, cell = 1.0f;
    for (int octave = 0; octave < 8; ++octave) {
        sum += amplitude * vyxValueNoise(x, y, z, cell);
        amplitude *= persistence;
        cell *= 0.5f;
    }
    return sum * 0.25f + 0.5f;
}

// Allocates the triangle array, the shading arrays (a corner per grid point, a patch tag
// per triangle) and the single material of a generated mesh. On failure the mesh is left
// empty (no triangles) and false is returned.
static bool allocateGenerated(vyxMesh& mesh, int32_t triangleCount, int32_t cornerCount, const char* what) {
    const size_t n = static_cast<size_t>(triangleCount);
    // Not cleared: the builders write every record whole.
    mesh.triangles = static_cast<vyxTriangle*>(vyxAllocLarge(n * sizeof(vyxTriangle)));
    mesh.corners = static_cast<vyxCorner*>(vyxAllocLarge(static_cast<size_t>(cornerCount) * sizeof(vyxCorner)));
    mesh.cornerOf = static_cast<int32_t(*)[3]>(vyxAllocLarge(n * sizeof(*mesh.cornerOf)));
    mesh.patchOf = static_cast<int32_t*>(vyxAllocLarge(n * sizeof(int32_t)));
    mesh.materials = static_cast<vyxMaterial*>(std::calloc(1, sizeof(vyxMaterial)));
    if (!mesh.triangles || !mesh.corners || !mesh.cornerOf || !mesh.patchOf || !mesh.materials) {
        std::fprintf(stderr, "vyx: out of memory generating the %s\n", what);
        std::free(mesh.triangles);
        std::free(mesh.materials);
        mesh.triangles = nullptr;
        mesh.materials = nullptr;
        vyxFreeShading(mesh);
        mesh.triangleCount = 0;
        mesh.materialCount = 0;
        return false;
    }
    mesh.triangleCount = triangleCount;
    mesh.cornerCount = cornerCount;
    mesh.materialCount = 1;
    return true;
}

static void buildHierarchy(vyxMesh& mesh) {
    mesh.bih = new vyxBIH;
    std::memset(mesh.bih, 0, sizeof(vyxBIH));
    vyxBuildBIHForTracing(mesh.triangleCount, *mesh.bih, mesh.triangles);
}

// The normal n and texture coordinates (u, v) of grid point `point` as the mesh's corner
// of that index.
static void setGridCorner(vyxMesh& mesh, int32_t point, const float* n, float u, float v) {
    vyxCorner& corner = mesh.corners[point];
    for (int a = 0; a < 3; ++a)
        corner.normal[a] = n[a];
    corner.uv[0] = u;
    corner.uv[1] = v;
    corner.flat = 0;
}

// Grid-point accessors for the two triangles of a cell; corner order (i, j), (i, j+1),
// (i+1, j) then (i+1, j), (i, j+1), (i+1, j+1).
static const int kCellCorners[2][3][2] = {{{0, 0}, {0, 1}, {1, 0}}, {{1, 0}, {0, 1}, {1, 1}}};

void vyxMakeTorus(vyxMesh& mesh, vyxTexture* checker, float majorRadius, float minorRadius) {
    const int rings = 300, sides = 150; // cells around the main circle and around the tube
    const int columns = sides + 1;      // grid points around the tube
    if (!allocateGenerated(mesh, rings * sides * 2, (rings + 1) * columns, "torus")) {
        buildHierarchy(mesh);
        return;
    }

    vyxMaterial& material = mesh.materials[0];
    material = vyxDefaultMaterial();
    material.color[0] = 0.4f;
    material.color[1] = 0.01f;
    material.color[2] = 0.01f;
    // The caller passes null when the checker texture holds no pixels.
    material.texture = checker;
    material.reflectivity = 0.5f;
    material.fresnel = 0.5f;

    // Grid point (i, j): i around the main circle, j around the tube. Row i = 300 and
    // column j = 150 repeat the angles 2 pi, so the surface closes up to rounding while
    // the texture coordinates run on to 12 and 6.
    auto gridPoint = [&](int i, int j, float p[3], float n[3], float uv[2]) {
        float theta = static_cast<float>(i * 0.02094395086169243);
        float phi = static_cast<float>(j * 0.04188790172338486);
        float ct = std::cos(theta), st = std::sin(theta);
        float cp = std::cos(phi), sp = std::sin(phi);
        float ring = majorRadius + minorRadius * cp;
        p[0] = ring * ct;
        p[1] = minorRadius * sp;
        p[2] = ring * st;
        n[0] = ct * cp;
        n[1] = sp;
        n[2] = st * cp;
        uv[0] = static_cast<float>(i) * 12.0f / 300.0f;
        uv[1] = static_cast<float>(j) * 6.0f / 150.0f;
    };

    // The grid points once each: their positions for the triangles, the rest as corners.
    std::vector<float> points(static_cast<size_t>(mesh.cornerCount) * 3);
    for (int i = 0; i <= rings; ++i)
        for (int j = 0; j <= sides; ++j) {
            const int32_t point = i * columns + j;
            float n[3], uv[2];
            gridPoint(i, j, &points[3 * static_cast<size_t>(point)], n, uv);
            setGridCorner(mesh, point, n, uv[0], uv[1]);
        }
    int32_t t = 0;
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < sides; ++j) {
            int32_t patch = (j < sides / 2 ? 2 : 0) | (i < rings / 2 ? 1 : 0);
            for (int half = 0; half < 2; ++half, ++t) {
                vyxTriangle& tri = mesh.triangles[t];
                float* corners[3] = {tri.p0, tri.p1, tri.p2};
                for (int c = 0; c < 3; ++c) {
                    const int32_t point = (i + kCellCorners[half][c][0]) * columns + j + kCellCorners[half][c][1];
                    for (int a = 0; a < 3; ++a)
                        corners[c][a] = points[3 * static_cast<size_t>(point) + a];
                    mesh.cornerOf[t][c] = point;
                }
                vyxSetupTriangle(tri);
                mesh.patchOf[t] = patch;
            }
        }
    }
    buildHierarchy(mesh);
}

// The terrain grid: kTerrainPoints x kTerrainPoints points of three floats, row a
// (towards -z) after row; column c runs towards +x.
static const int kTerrainCells = 256;
static const int kTerrainPoints = kTerrainCells + 1;

// Where the three floats of grid point (a, c) start.
static size_t terrainOffset(int a, int c) { return (static_cast<size_t>(a) * kTerrainPoints + c) * 3; }

// Heights: the grid spans -128..128 in x and z. The height is vyxFractalNoise(c * 0.01,
// a * 0.01, 100, 0.5), computed the same way step for step, with each octave's lattice
// index and weight worked out once per grid coordinate (rows and columns share the
// values k * 0.01) and once for z, not at every point.
static void terrainHeights(float* positions) {
    const int octaves = 8;
    struct Lattice {
        int32_t index;
        float weight;
    };
    Lattice axisLattice[kTerrainPoints][octaves], depthLattice[octaves];
    float cell = 1.0f;
    for (int octave = 0; octave < octaves; ++octave) {
        for (int k = 0; k < kTerrainPoints; ++k) {
            latticeAxis(static_cast<float>(k) * 0.01f, cell, axisLattice[k][octave].index,
                        axisLattice[k][octave].weight);
        }
        latticeAxis(100.0f, cell, depthLattice[octave].index, depthLattice[octave].weight);
        cell *= 0.5f;
    }
    for (int a = 0; a < kTerrainPoints; ++a) {
        for (int c = 0; c < kTerrainPoints; ++c) {
            float sum = 0.0f, amplitude = 1.0f;
            for (int octave = 0; octave < octaves; ++octave) {
                const Lattice& lx = axisLattice[c][octave];
                const Lattice& ly = axisLattice[a][octave];
                const Lattice& lz = depthLattice[octave];
                sum += amplitude *
                       blendLattice(latticeIndex(lx.index, ly.index, lz.index), lx.weight, ly.weight, lz.weight);
                amplitude *= 0.5f;
            }
            float h = sum * 0.25f + 0.5f;
            float* q = positions + terrainOffset(a, c);
            q[0] = static_cast<float>(c - 128);
            q[1] = -100.0f * (h - 0.5f);
            q[2] = static_cast<float>(128 - a);
        }
    }
}

// Normals from central differences; the edges use the one tangent they have and are not
// normalised after the rotation; the four corners keep straight up.
static void terrainNormals(const float* positions, float* normals) {
    const int last = kTerrainCells;
    auto P = [positions](int a, int c) {
        const float* q = positions + terrainOffset(a, c);
        return vyxVec3{q[0], q[1], q[2]};
    };
    auto setN = [normals](int a, int c, vyxVec3 v) {
        float* q = normals + terrainOffset(a, c);
        q[0] = v.x;
        q[1] = v.y;
        q[2] = v.z;
    };
    for (int corner = 0; corner < 4; ++corner)
        setN(corner / 2 * last, corner % 2 * last, vyxVec3{0.0f, 1.0f, 0.0f});
    for (int a = 0; a <= last; a += last) {
        for (int c = 1; c < last; ++c) {
            vyxVec3 t = vyxNormalize(P(a, c + 1) - P(a, c - 1));
            setN(a, c, vyxVec3{-t.y, t.x, 0.0f});
        }
    }
    for (int c = 0; c <= last; c += last) {
        for (int a = 1; a < last; ++a) {
            vyxVec3 t = vyxNormalize(P(a + 1, c) - P(a - 1, c));
            setN(a, c, vyxVec3{0.0f, -t.z, t.y});
        }
    }
    for (int a = 1; a < last; ++a) {
        for (int c = 1; c < last; ++c) {
            vyxVec3 along = vyxNormalize(P(a + 1, c) - P(a - 1, c));
            vyxVec3 across = vyxNormalize(P(a, c + 1) - P(a, c - 1));
            setN(a, c, vyxNormalize(vyxCross(across, along)));
        }
    }
}

// The default material in a dark sandy colour, untextured: the scene sets its sand
// texture when that image loads.
static vyxMaterial terrainMaterial() {
    vyxMaterial material = vyxDefaultMaterial();
    material.color[0] = 0.25f;
    material.color[1] = 0.1f;
    material.color[2] = 0.05f;
    return material;
}

// Two triangles a cell on the mesh's one material, texture coordinates (column, row),
// one patch per 16 x 16-cell tile.
static void terrainTriangles(const float* positions, const float* normals, vyxMesh& mesh) {
    for (int a = 0; a < kTerrainPoints; ++a)
        for (int c = 0; c < kTerrainPoints; ++c)
            setGridCorner(mesh, a * kTerrainPoints + c, normals + terrainOffset(a, c), static_cast<float>(c),
                          static_cast<float>(a));
    int32_t t = 0;
    for (int a = 0; a < kTerrainCells; ++a) {
        for (int c = 0; c < kTerrainCells; ++c) {
            // 16 * (a / 16) + c / 16.
            int32_t patch = (c >> 4) | (a & 0xffff0);
            for (int half = 0; half < 2; ++half, ++t) {
                vyxTriangle& tri = mesh.triangles[t];
                float* corners[3] = {tri.p0, tri.p1, tri.p2};
                for (int k = 0; k < 3; ++k) {
                    int ga = a + kCellCorners[half][k][0], gc = c + kCellCorners[half][k][1];
                    const float* p = positions + terrainOffset(ga, gc);
                    for (int axis = 0; axis < 3; ++axis)
                        corners[k][axis] = p[axis];
                    mesh.cornerOf[t][k] = ga * kTerrainPoints + gc;
                }
                vyxSetupTriangle(tri);
                mesh.patchOf[t] = patch;
            }
        }
    }
}

void vyxBuildTerrainMesh(vyxMesh& mesh) {
    const size_t gridFloats = static_cast<size_t>(kTerrainPoints) * kTerrainPoints * 3;
    float* positions = static_cast<float*>(vyxAllocLarge(gridFloats * sizeof(float)));
    float* normals = static_cast<float*>(vyxAllocLarge(gridFloats * sizeof(float)));
    if (!positions || !normals ||
        !allocateGenerated(mesh, kTerrainCells * kTerrainCells * 2, kTerrainPoints * kTerrainPoints, "terrain")) {
        if (!positions || !normals)
            std::fprintf(stderr, "vyx: out of memory generating the terrain\n");
        std::free(positions);
        std::free(normals);
        buildHierarchy(mesh);
        return;
    }
    terrainHeights(positions);
    terrainNormals(positions, normals);
    mesh.materials[0] = terrainMaterial();
    terrainTriangles(positions, normals, mesh);
    std::free(positions);
    std::free(normals);
    buildHierarchy(mesh);
}
