#pragma once
// Shared set-up for the geometry tests: meshes from plain vertex lists that free
// themselves, seeded random triangle sets, and the reference query that tests every
// triangle.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "geometry/triangle.h"
#include "tests/support/test_scene.h"

namespace geotest {

// Nine floats: p0, p1, p2.
struct Tri {
    float v[9];
};

inline vyxTriangle setUp(const Tri& t) {
    vyxTriangle tri;
    std::memset(&tri, 0, sizeof(tri));
    std::memcpy(tri.p0, t.v, sizeof(tri.p0));
    std::memcpy(tri.p1, t.v + 3, sizeof(tri.p1));
    std::memcpy(tri.p2, t.v + 6, sizeof(tri.p2));
    vyxSetupTriangle(tri);
    return tri;
}

inline std::vector<TestTriangle> testTriangles(const std::vector<Tri>& tris) {
    std::vector<TestTriangle> triangles;
    for (const Tri& t : tris)
        triangles.push_back({{t.v[0], t.v[1], t.v[2]}, {t.v[3], t.v[4], t.v[5]}, {t.v[6], t.v[7], t.v[8]}});
    return triangles;
}

// The triangles as a mesh that frees itself (buildTestMesh: one default material, patch
// 1, identity transform, a built hierarchy).
inline TestMesh makeMesh(const std::vector<Tri>& tris) { return TestMesh(testTriangles(tris)); }

// A mesh made by one of the shape builders (build(mesh) on a zeroed mesh), with its
// transforms prepared for queries; freed with vyxFreeMesh.
template <typename Build>
vyxMesh makeShape(Build build) {
    vyxMesh mesh;
    std::memset(&mesh, 0, sizeof(mesh));
    vyxTransformIdentity(mesh.transform);
    build(mesh);
    vyxTransformPrepare(mesh.transform);
    vyxTransformPrepare(mesh.bih->transform);
    return mesh;
}

// A triangle of unit size lying in the plane x = c (or y, z for axis 1, 2).
inline Tri flatAt(int axis, float c) {
    Tri t = {{0, 0, 0, 0, 0, 0, 0, 0, 0}};
    int u = (axis + 1) % 3, v = (axis + 2) % 3;
    for (int k = 0; k < 3; ++k)
        t.v[3 * k + axis] = c;
    t.v[3 * 1 + u] = 1.0f;
    t.v[3 * 2 + v] = 1.0f;
    return t;
}

// Triangles at 2^k (k = 0 .. 120) along each axis: the natural split peels off one
// triangle per level, which would make a tree far deeper than the traversal stack.
inline std::vector<Tri> deepChains() {
    std::vector<Tri> tris;
    for (int axis = 0; axis < 3; ++axis)
        for (int k = 0; k <= 120; ++k)
            tris.push_back(flatAt(axis, std::ldexp(1.0f, k)));
    return tris;
}

// Triangles of sizes from tiny to a quarter of the cube [-10, 10]^3, in random places.
inline std::vector<Tri> randomSoup(uint32_t seed, int count) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(-10.0f, 10.0f);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_real_distribution<float> logSize(-3.0f, 0.7f);
    std::vector<Tri> tris;
    for (int i = 0; i < count; ++i) {
        float c[3] = {pos(rng), pos(rng), pos(rng)};
        float size = std::pow(10.0f, logSize(rng));
        Tri t;
        for (int k = 0; k < 9; ++k)
            t.v[k] = c[k % 3] + size * unit(rng);
        tris.push_back(t);
    }
    return tris;
}

// A height field of n x n cells over [0, n] x [0, n] in x and z, two triangles a cell.
inline std::vector<Tri> heightField(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> bump(-0.3f, 0.3f);
    std::vector<float> h(static_cast<size_t>((n + 1) * (n + 1)));
    for (int a = 0; a <= n; ++a)
        for (int c = 0; c <= n; ++c)
            h[static_cast<size_t>(a * (n + 1) + c)] = 2.0f * std::sin(0.3f * a) * std::cos(0.2f * c) + bump(rng);
    auto at = [&](int a, int c, float* out) {
        out[0] = static_cast<float>(c);
        out[1] = h[static_cast<size_t>(a * (n + 1) + c)];
        out[2] = static_cast<float>(a);
    };
    std::vector<Tri> tris;
    for (int a = 0; a < n; ++a)
        for (int c = 0; c < n; ++c) {
            Tri t1, t2;
            at(a, c, t1.v);
            at(a, c + 1, t1.v + 3);
            at(a + 1, c, t1.v + 6);
            at(a + 1, c, t2.v);
            at(a, c + 1, t2.v + 3);
            at(a + 1, c + 1, t2.v + 6);
            tris.push_back(t1);
            tris.push_back(t2);
        }
    return tris;
}

// The reference query: every triangle in index order, nearest t >= 0 and, when
// maxDistance >= 0, t < maxDistance; at equal t the lower index wins. A NaN t
// (degenerate triangle) never counts.
inline vyxTraceResult bruteForce(const vyxTriangle* triangles, int32_t count, const float o[3], const float d[3],
                                 float maxDistance) {
    vyxTraceResult best = {-1.0f, -1, -1, 0, 0, 0};
    for (int32_t i = 0; i < count; ++i) {
        vyxTraceResult r = vyxTestTrace(triangles[i], o[0], o[1], o[2], d[0], d[1], d[2]);
        if (!(r.t >= 0.0f))
            continue;
        if (maxDistance >= 0.0f && !(r.t < maxDistance))
            continue;
        if (best.t < 0.0f || r.t < best.t) {
            best = r;
            best.triangle = i;
        }
    }
    return best;
}

} // namespace geotest
