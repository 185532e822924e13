// The compact copy of a built hierarchy must answer every query exactly as the node
// records do: same t, triangle and weights bit for bit, including ties, rays parallel
// to split planes, rays starting inside, and distance limits.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "geometry/bih.h"
#include "geometry/query.h"
#include "geometry/shapes.h"
#include "geometry_test_support.h"

namespace {

using geotest::Tri;

// The node-record walk of the same structure: a copy without the compact arrays.
vyxTraceResult nodeWalk(const vyxBIH& bih, vyxVec3 o, vyxVec3 d, float maxDistance) {
    vyxBIH plain = bih;
    plain.flatNodes = nullptr;
    plain.leafTriangles = nullptr;
    plain.flatRoot = vyxBIHNoChild;
    return vyxTraceBIH(plain, o, d, maxDistance);
}

bool sameResult(const vyxTraceResult& a, const vyxTraceResult& b) {
    if (a.t < 0.0f && b.t < 0.0f)
        return true; // a miss carries only t
    return std::memcmp(&a.t, &b.t, sizeof(float)) == 0 && a.triangle == b.triangle &&
           std::memcmp(&a.w0, &b.w0, sizeof(float)) == 0 && std::memcmp(&a.w1, &b.w1, sizeof(float)) == 0 &&
           std::memcmp(&a.w2, &b.w2, sizeof(float)) == 0;
}

// Soup with duplicated triangles (their centroids cannot be separated), zero-area
// triangles and a few that share a centroid but differ in size.
std::vector<Tri> awkwardSoup() {
    std::vector<Tri> tris = geotest::randomSoup(7, 600);
    for (int i = 0; i < 40; ++i)
        tris.push_back(tris[static_cast<size_t>(i)]);
    tris.push_back(Tri{{1, 1, 1, 1, 1, 1, 1, 1, 1}});
    tris.push_back(Tri{{0, 0, 0, 1, 1, 1, 2, 2, 2}});
    for (int i = 1; i <= 6; ++i) {
        float s = 0.25f * static_cast<float>(i);
        tris.push_back(Tri{{-s, 3, -s, s, 3, -s, 0, 3, 2 * s}});
    }
    return tris;
}

std::vector<Tri> torusTriangles() {
    vyxMesh torus;
    std::memset(&torus, 0, sizeof(torus));
    vyxMakeTorus(torus, nullptr, 0.8f, 0.2f);
    std::vector<Tri> tris(static_cast<size_t>(torus.triangleCount));
    for (int32_t i = 0; i < torus.triangleCount; ++i) {
        std::memcpy(tris[static_cast<size_t>(i)].v, torus.triangles[i].p0, 3 * sizeof(float));
        std::memcpy(tris[static_cast<size_t>(i)].v + 3, torus.triangles[i].p1, 3 * sizeof(float));
        std::memcpy(tris[static_cast<size_t>(i)].v + 6, torus.triangles[i].p2, 3 * sizeof(float));
    }
    vyxReleaseMesh(torus);
    return tris;
}

struct MeshCase {
    std::string name;
    std::vector<Tri> tris;
    float span; // rays start in [-span, span]^3
};

TEST(CompactTraversal, MatchesTheNodeWalkBitForBit) {
    const std::vector<MeshCase> meshes = {
        {"one triangle", {Tri{{0, 0, 0, 1, 0, 0, 0, 1, 0}}}, 2.0f},
        {"soup", awkwardSoup(), 14.0f},
        {"height field", geotest::heightField(40, 3), 45.0f},
        {"torus", torusTriangles(), 1.5f},
    };
    const float limits[] = {-1.0f, 0.0f, 0.5f, 3.0f, 1e30f};
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (const MeshCase& mc : meshes) {
        vyxMesh mesh = geotest::makeMesh(mc.tris);
        ASSERT_TRUE(mesh.bih->flatNodes != nullptr || mesh.bih->flatRoot <= -2) << mc.name;
        int hits = 0, checked = 0;
        for (int i = 0; i < 3000; ++i) {
            vyxVec3 o{mc.span * unit(rng), mc.span * unit(rng), mc.span * unit(rng)};
            vyxVec3 d{unit(rng), unit(rng), unit(rng)};
            // Every third ray has one or two zero components: parallel to split planes.
            if (i % 3 == 1)
                d.y = 0.0f;
            if (i % 6 == 2) {
                d.x = 0.0f;
                d.z = -0.0f;
            }
            // Some rays aim at a vertex, so they cross shared edges and tie.
            if (i % 5 == 0) {
                const Tri& t = mc.tris[static_cast<size_t>(i) % mc.tris.size()];
                d = vyxVec3{t.v[0], t.v[1], t.v[2]} - o;
            }
            for (float limit : limits) {
                vyxTraceResult expected = nodeWalk(*mesh.bih, o, d, limit);
                vyxTraceResult got = vyxTraceBIH(*mesh.bih, o, d, limit);
                ++checked;
                hits += expected.t >= 0.0f;
                EXPECT_TRUE(sameResult(expected, got))
                    << mc.name << ": ray " << i << " o = (" << o.x << ", " << o.y << ", " << o.z << ") d = ("
                    << d.x << ", " << d.y << ", " << d.z << ") limit " << limit << ": expected t " << expected.t
                    << " triangle " << expected.triangle << ", got t " << got.t << " triangle " << got.triangle;
            }
        }
        // The rays must actually reach triangles for the comparison to mean anything.
        EXPECT_GT(hits, checked / 20) << mc.name;
        vyxReleaseMesh(mesh);
    }
}

// The nearest hit of the compact walk is the brute-force nearest hit over all triangles.
TEST(CompactTraversal, FindsTheNearestHitOfEveryTriangle) {
    std::vector<Tri> tris = geotest::randomSoup(21, 400);
    vyxMesh mesh = geotest::makeMesh(tris);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int i = 0; i < 2000; ++i) {
        float o[3] = {12 * unit(rng), 12 * unit(rng), 12 * unit(rng)};
        float d[3] = {unit(rng), unit(rng), unit(rng)};
        vyxTraceResult ref = geotest::bruteForce(mesh.triangles, mesh.triangleCount, o, d, -1.0f);
        vyxTraceResult got = vyxTraceBIH(*mesh.bih, vyxVec3{o[0], o[1], o[2]}, vyxVec3{d[0], d[1], d[2]}, -1.0f);
        EXPECT_EQ(got.t, ref.t) << "ray " << i;
    }
    vyxReleaseMesh(mesh);
}

} // namespace
