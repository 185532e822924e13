// Ray queries against the reference that tests every triangle, the box test, the scene
// query's ordering rules and hostile rays.

#include "geometry/query.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "geometry/bvh.h"
#include "geometry/scene.h"
#include "geometry/shapes.h"
#include "tests/support/test_geometry.h"

using geotest::Tri;

namespace {

struct Ray {
    float o[3];
    float d[3];
    float maxDistance;
};

std::string describe(const Ray& r) {
    std::ostringstream s;
    s.precision(9);
    s << "ray o=(" << r.o[0] << ", " << r.o[1] << ", " << r.o[2] << ") d=(" << r.d[0] << ", " << r.d[1] << ", "
      << r.d[2] << ") max=" << r.maxDistance;
    return s.str();
}

// Seeded rays of every kind the tracer makes: from outside and inside the bounds, toward
// random triangles, axis-parallel, with and without a maximum distance (some set to an
// exact hit distance, which must exclude that hit).
std::vector<Ray> makeRays(const vyxMesh& mesh, uint32_t seed, int count) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> dir(-1.0f, 1.0f);
    // Bounds of the finite vertices (a corrupt triangle may make the mesh's own infinite).
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (int32_t t = 0; t < mesh.triangleCount; ++t)
        for (const float* p : {mesh.triangles[t].p0, mesh.triangles[t].p1, mesh.triangles[t].p2})
            for (int a = 0; a < 3; ++a)
                if (std::isfinite(p[a])) {
                    lo[a] = std::fmin(lo[a], p[a]);
                    hi[a] = std::fmax(hi[a], p[a]);
                }
    std::vector<Ray> rays;
    for (int i = 0; i < count; ++i) {
        Ray r;
        int kind = i % 6;
        for (int a = 0; a < 3; ++a) {
            float span = hi[a] - lo[a] + 1.0f;
            // kinds 0..2 start inside the bounds, the rest up to one span outside
            float margin = kind < 3 ? 0.0f : span;
            r.o[a] = lo[a] - margin + unit(rng) * (hi[a] - lo[a] + 2.0f * margin);
            r.d[a] = dir(rng);
        }
        if (kind == 1 || kind == 4) {
            // aim at a point of a random triangle
            const vyxTriangle& t = mesh.triangles[static_cast<int32_t>(unit(rng) * 0.999f * mesh.triangleCount)];
            float w1 = unit(rng), w2 = unit(rng) * (1.0f - w1);
            float aim[3];
            for (int a = 0; a < 3; ++a)
                aim[a] = (t.p0[a] + w1 * (t.p1[a] - t.p0[a]) + w2 * (t.p2[a] - t.p0[a])) - r.o[a];
            if (std::isfinite(aim[0]) && std::isfinite(aim[1]) && std::isfinite(aim[2]))
                std::memcpy(r.d, aim, sizeof(aim)); // (non-finite rays have their own test)
        }
        if (kind == 2 || kind == 5) {
            // axis-parallel: one or two components zero
            int keep = static_cast<int>(unit(rng) * 2.999f);
            for (int a = 0; a < 3; ++a)
                if (a != keep && unit(rng) < 0.8f)
                    r.d[a] = 0.0f;
        }
        r.maxDistance = -1.0f;
        if (i % 4 == 1)
            r.maxDistance = unit(rng) * 2.0f;
        rays.push_back(r);
    }
    return rays;
}

void expectSameHit(const vyxMesh& mesh, const vyxTraceResult& got, const vyxTraceResult& want,
                   const std::string& what) {
    ASSERT_EQ(got.t, want.t) << what << " (got triangle " << got.triangle << ", want " << want.triangle << ")";
    if (want.t < 0.0f)
        return;
    // Two triangles at exactly the same distance (a shared edge): the lower index wins.
    ASSERT_EQ(got.triangle, want.triangle) << what;
    ASSERT_LT(got.triangle, mesh.triangleCount) << what;
    EXPECT_GE(got.w0, 0.0f) << what;
    EXPECT_GE(got.w1, 0.0f) << what;
    EXPECT_GE(got.w2, 0.0f) << what;
}

// Every ray through vyxTraceMesh against the brute force reference.
void compareWithBruteForce(vyxMesh& mesh, const std::vector<Ray>& rays, const std::string& name) {
    int hits = 0;
    for (const Ray& r : rays) {
        vyxTraceResult want = geotest::bruteForce(mesh.triangles, mesh.triangleCount, r.o, r.d, r.maxDistance);
        vyxTraceResult got =
            vyxTraceMesh(mesh, vyxVec3{r.o[0], r.o[1], r.o[2]}, vyxVec3{r.d[0], r.d[1], r.d[2]}, r.maxDistance);
        expectSameHit(mesh, got, want, name + ": " + describe(r));
        if (::testing::Test::HasFatalFailure())
            return;
        if (got.t >= 0.0f) {
            ++hits;
            vyxTraceResult again =
                vyxTestTrace(mesh.triangles[got.triangle], r.o[0], r.o[1], r.o[2], r.d[0], r.d[1], r.d[2]);
            EXPECT_EQ(again.t, got.t) << name << ": " << describe(r);
            EXPECT_EQ(again.w0, got.w0) << name << ": " << describe(r);
            EXPECT_EQ(again.w1, got.w1) << name << ": " << describe(r);
            EXPECT_EQ(again.w2, got.w2) << name << ": " << describe(r);
        }
    }
    // The ray set must exercise hits, not only misses.
    EXPECT_GT(hits, static_cast<int>(rays.size()) / 10) << name;
}

} // namespace

TEST(TraceMesh, MatchesBruteForceOnSeededRays) {
    struct Case {
        const char* name;
        std::function<std::vector<Tri>()> make;
    } cases[] = {
        {"random soup", [] { return geotest::randomSoup(11, 1500); }},
        {"sparse soup", [] { return geotest::randomSoup(12, 60); }},
        {"height field", [] { return geotest::heightField(48, 13); }},
        {"duplicates, slivers and corrupt vertices",
         [] {
             std::vector<Tri> tris = geotest::randomSoup(14, 200);
             for (int i = 0; i < 50; ++i)
                 tris.push_back(tris[static_cast<size_t>(i)]);
             tris.push_back(Tri{{0, 0, 0, 1, 1, 1, 2, 2, 2}}); // zero area
             tris.push_back(Tri{{3, 3, 3, 3, 3, 3, 3, 3, 3}}); // a point
             const float nan = std::nanf(""), inf = INFINITY;
             tris.push_back(Tri{{0, 0, 0, nan, 1, 0, 0, 1, 1}}); // corrupt vertices
             tris.push_back(Tri{{1, 1, 1, inf, 1, 0, 0, -inf, 1}});
             return tris;
         }},
    };
    uint32_t seed = 100;
    for (const Case& c : cases) {
        TestMesh mesh = geotest::makeMesh(c.make());
        compareWithBruteForce(mesh, makeRays(mesh, seed++, 3000), c.name);
    }
}

// The triangles as a mesh with a built hierarchy (freed by its owner).
void fill(vyxMesh& mesh, const std::vector<Tri>& tris) { buildTestMesh(mesh, geotest::testTriangles(tris)); }

// Rays aimed exactly at corners and edge midpoints of random triangles, from random
// points, and rays leaving surfaces (from just before a hit, as shadow rays do, some
// limited to where they met it).
void addAimedAndSurfaceRays(const vyxMesh& mesh, uint32_t seed, int count, std::vector<Ray>& rays) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> dir(-1.0f, 1.0f);
    const vyxTriangle& some = mesh.triangles[0];
    for (int i = 0; i < count; ++i) {
        const vyxTriangle& t = mesh.triangles[static_cast<int32_t>(unit(rng) * 0.999f * mesh.triangleCount)];
        const float* corners[3] = {t.p0, t.p1, t.p2};
        float aim[3];
        for (int a = 0; a < 3; ++a)
            aim[a] = i % 2 ? corners[i % 3][a] : 0.5f * (corners[i % 3][a] + corners[(i + 1) % 3][a]);
        Ray r;
        for (int a = 0; a < 3; ++a) {
            r.o[a] = some.p0[a] + 8.0f * dir(rng);
            r.d[a] = aim[a] - r.o[a];
        }
        r.maxDistance = -1.0f;
        rays.push_back(r);
        // From just before the surface, the way shading leaves a hit.
        vyxTraceResult hit = geotest::bruteForce(mesh.triangles, mesh.triangleCount, r.o, r.d, -1.0f);
        if (hit.t > 0.0f) {
            Ray s;
            for (int a = 0; a < 3; ++a) {
                s.o[a] = r.o[a] + r.d[a] * (hit.t * 0.999f);
                s.d[a] = dir(rng);
            }
            s.maxDistance = i % 3 == 0 ? 1.0f : -1.0f;
            rays.push_back(s);
        }
    }
}

// The occlusion answer the nearest hit implies.
vyxOcclusion occlusionOf(const vyxTraceResult& hit) {
    return hit.t < 0.0f ? OcclusionNone : hit.t == 0.0f ? OcclusionAtZero : OcclusionBeyond;
}

// Every query of the surface-area hierarchy against the scan of every triangle, exactly:
// nearest hit (t, triangle and weights, bit for bit), occlusion, and both in packets of
// one to four rays of mixed directions and of rays from one point.
void compareFastWalk(const vyxMesh& mesh, const std::vector<Ray>& rays, const std::string& name) {
    const vyxBVH& bvh = mesh.bih->bvh;
    ASSERT_TRUE(bvh.built) << name;
    std::vector<vyxTraceResult> want;
    std::vector<Ray> walked; // finite rays with a positive limit, as the queries hand them on
    for (const Ray& r : rays) {
        if (r.maxDistance == 0.0f || !(std::isfinite(r.o[0]) && std::isfinite(r.o[1]) && std::isfinite(r.o[2])))
            continue;
        if (r.d[0] == 0.0f && r.d[1] == 0.0f && r.d[2] == 0.0f)
            continue;
        Ray w = r;
        w.maxDistance = r.maxDistance < 0.0f ? FLT_MAX : r.maxDistance;
        walked.push_back(w);
        want.push_back(geotest::bruteForce(mesh.triangles, mesh.triangleCount, r.o, r.d, w.maxDistance));
    }
    auto same = [&](const vyxTraceResult& got, const vyxTraceResult& expected, const Ray& r, const char* query) {
        std::string what = name + ", " + query + ": " + describe(r);
        EXPECT_EQ(got.t, expected.t) << what;
        EXPECT_EQ(got.triangle, expected.triangle) << what;
        EXPECT_TRUE(expected.t < 0.0f || std::memcmp(&got.w0, &expected.w0, 3 * sizeof(float)) == 0) << what;
    };
    for (size_t i = 0; i < walked.size() && !::testing::Test::HasFailure(); ++i) {
        same(vyxTraverseBVH(bvh, walked[i].o, walked[i].d, walked[i].maxDistance), want[i], walked[i], "single");
        EXPECT_EQ(vyxOccludedBVH(bvh, walked[i].o, walked[i].d, walked[i].maxDistance), occlusionOf(want[i]))
            << name << ", occlusion: " << describe(walked[i]);
        // The counting walk finds the same, and a hit means at least one leaf was tested.
        vyxBVHVisits visits = {0, 0, 0};
        same(vyxTraverseBVHCounted(bvh, walked[i].o, walked[i].d, walked[i].maxDistance, visits), want[i], walked[i],
             "counted");
        EXPECT_TRUE(want[i].t < 0.0f || (visits.leaves >= 1 && visits.triangles >= 1))
            << name << ", counted: " << describe(walked[i]);
        EXPECT_LE(visits.triangles, visits.leaves * vyxBVHLeafSize) << name << ", counted: " << describe(walked[i]);
    }
    // Packets of 1, 2, ..., 8, 1, ... consecutive rays; then the same with every ray of a
    // packet starting at its first ray's origin; then, from there, a narrow cone around
    // its first ray's direction, as soft-shadow rays are; then rays of its first ray's
    // direction from points close to its first ray's origin, as the shadow rays toward a
    // light from neighbouring hits are (some of them one step of a float apart).
    const char* modes[] = {"packet", "packet from one point", "cone from one point", "parallel from close points"};
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> wobble(0.98f, 1.02f);
    std::uniform_real_distribution<float> nudge(-0.05f, 0.05f);
    for (int mode = 0; mode < 4; ++mode) {
        for (size_t begin = 0, size = 1; begin < walked.size() && !::testing::Test::HasFailure();
             begin += size, size = size % vyxPacketSize + 1) {
            const int count = static_cast<int>(std::min(size, walked.size() - begin));
            Ray packet[vyxPacketSize];
            vyxTraceResult expected[vyxPacketSize];
            vyxRayPacket lanes;
            lanes.count = count;
            for (int k = 0; k < count; ++k) {
                packet[k] = walked[begin + k];
                expected[k] = want[begin + k];
                if (mode > 0) {
                    std::memcpy(packet[k].o, walked[begin].o, sizeof(packet[k].o));
                    for (int a = 0; a < 3 && mode == 2; ++a)
                        packet[k].d[a] = walked[begin].d[a] * wobble(rng);
                    for (int a = 0; a < 3 && mode == 3; ++a) {
                        packet[k].d[a] = walked[begin].d[a];
                        packet[k].o[a] = k % 2 ? std::nextafter(packet[k].o[a], k % 4 < 2 ? INFINITY : -INFINITY)
                                               : packet[k].o[a] + nudge(rng);
                    }
                    expected[k] = geotest::bruteForce(mesh.triangles, mesh.triangleCount, packet[k].o, packet[k].d,
                                                      packet[k].maxDistance);
                }
                for (int a = 0; a < 3; ++a) {
                    lanes.origin[a][k] = packet[k].o[a];
                    lanes.direction[a][k] = packet[k].d[a];
                }
                lanes.limit[k] = packet[k].maxDistance;
            }
            vyxTraceResult hits[vyxPacketSize];
            vyxOcclusion occluded[vyxPacketSize];
            vyxTraverseBVHPacket(bvh, lanes, hits);
            vyxOccludedBVHPacket(bvh, lanes, occluded);
            for (int k = 0; k < count; ++k) {
                same(hits[k], expected[k], packet[k], modes[mode]);
                EXPECT_EQ(occluded[k], occlusionOf(expected[k]))
                    << name << ", packet occlusion: " << describe(packet[k]);
            }
        }
    }
}

TEST(FastWalk, EveryQueryEqualsTheScanOfEveryTriangle) {
    struct Case {
        const char* name;
        std::function<void(vyxMesh&)> build;
        int rays;
    } cases[] = {
        {"random soup", [](vyxMesh& m) { fill(m, geotest::randomSoup(11, 1500)); }, 1500},
        {"height field", [](vyxMesh& m) { fill(m, geotest::heightField(32, 3)); }, 1500},
        {"duplicates, slivers and corrupt vertices",
         [](vyxMesh& m) {
             std::vector<Tri> tris = geotest::randomSoup(14, 200);
             for (int i = 0; i < 50; ++i)
                 tris.push_back(tris[static_cast<size_t>(i)]);
             tris.push_back(Tri{{0, 0, 0, 1, 1, 1, 2, 2, 2}});          // zero area
             tris.push_back(Tri{{0, 0, 0, 5, 5, 5.0001f, 10, 10, 10}}); // a sliver
             tris.push_back(Tri{{1, 1, 1, INFINITY, 1, 0, 0, -INFINITY, 1}});
             fill(m, tris);
         },
         1500},
        {"flat grid (boxes without thickness)",
         [](vyxMesh& m) {
             std::vector<Tri> tris = geotest::heightField(24, 4);
             for (Tri& t : tris)
                 t.v[1] = t.v[4] = t.v[7] = 0.75f;
             fill(m, tris);
         },
         1500},
        {"a huge triangle below small ones",
         [](vyxMesh& m) {
             std::vector<Tri> tris = geotest::randomSoup(15, 300);
             tris.push_back(Tri{{-1e6f, -1010, 1000, 1e6f, -1010, 1000, 0, -1010, 1e6f}});
             fill(m, tris);
         },
         1000},
        {"terrain", vyxBuildTerrainMesh, 100},
        {"torus", [](vyxMesh& m) { vyxMakeTorus(m, nullptr, 0.8f, 0.2f); }, 100},
    };
    // Both node widths where the processor has both (8 wide needs AVX2).
    for (int width : {4, 8}) {
        if (vyxBVHSetWidth(width) != width)
            continue;
        uint32_t seed = 300;
        for (const Case& c : cases) {
            vyxMesh mesh = geotest::makeShape(c.build);
            ASSERT_EQ(mesh.bih->bvh.width, width);
            std::vector<Ray> rays = makeRays(mesh, seed++, c.rays);
            addAimedAndSurfaceRays(mesh, seed++, c.rays / 3, rays);
            // Zero components of either sign, which fix the side a box is entered from.
            for (float zero : {0.0f, -0.0f})
                rays.push_back({{0.37f, 20.0f, 7.3125f}, {zero, -1.0f, -zero}, -1.0f});
            compareFastWalk(mesh, rays, std::string(c.name) + (width == 8 ? ", 8 wide" : ", 4 wide"));
            vyxFreeMesh(mesh);
        }
    }
    vyxBVHSetWidth(0);
}

// One leaf holding triangles that face each axis (each lane projects onto its own pair of
// axes) and a tilted one: every query still gives the scan's t, triangle and weights, so
// each lane picks its own components of the ray, whichever lanes sit beside it.
TEST(FastWalk, ALeafOfTrianglesFacingEveryAxisKeepsEachLanesWeights) {
    const std::vector<Tri> tris = {
        Tri{{0.5f, -1, -1, 0.5f, 1, -0.5f, 0.5f, 0, 1}},    // faces x
        Tri{{-1, 0.25f, -1, 1, 0.25f, 0, -0.5f, 0.25f, 1}}, // faces y
        Tri{{-1, -1, -0.3f, 1, -0.5f, -0.3f, 0, 1, -0.3f}}, // faces z
        Tri{{-1, -1, 1, 1, 0, -1, 0, 1, 0.5f}},             // tilted
    };
    for (int width : {4, 8}) {
        if (vyxBVHSetWidth(width) != width)
            continue;
        TestMesh mesh = geotest::makeMesh(tris);
        ASSERT_EQ(mesh.bih->bvh.leafCount, 1);
        std::vector<Ray> rays = makeRays(mesh, 41, 600);
        addAimedAndSurfaceRays(mesh, 42, 300, rays);
        compareFastWalk(mesh, rays, width == 8 ? "four facings, 8 wide" : "four facings, 4 wide");
    }
    vyxBVHSetWidth(0);
}

// A huge triangle far from every ray must not make the walk visit more: rays toward
// small triangles visit about as many nodes and triangles with it as without it.
TEST(FastWalk, AHugeDistantTriangleCostsNothingToRaysThatMissIt) {
    std::vector<Tri> small = geotest::heightField(64, 5);
    for (float size : {100.0f, 1e4f, 1e6f}) {
        std::vector<Tri> withHuge = small;
        withHuge.push_back(Tri{{-size, -1010, 1000, size, -1010, 1000, 0, -1010, size}});
        TestMesh plain = geotest::makeMesh(small), huge = geotest::makeMesh(withHuge);
        vyxBVHVisits a = {0, 0, 0}, b = {0, 0, 0};
        std::vector<Ray> rays = makeRays(plain, 77, 2000);
        for (const Ray& r : rays) {
            if (r.d[0] == 0.0f && r.d[1] == 0.0f && r.d[2] == 0.0f)
                continue;
            float limit = r.maxDistance < 0.0f ? FLT_MAX : r.maxDistance;
            if (limit == 0.0f || r.d[1] < 0.0f) // only rays that never reach y = -1010
                continue;
            vyxTraverseBVHCounted(plain.bih->bvh, r.o, r.d, limit, a);
            vyxTraverseBVHCounted(huge.bih->bvh, r.o, r.d, limit, b);
        }
        EXPECT_LE(b.nodes, a.nodes * 5 / 4 + 100) << "huge triangle of size " << size;
        EXPECT_LE(b.triangles, a.triangles * 5 / 4 + 100) << "huge triangle of size " << size;
    }
}

// Without its surface-area hierarchy (memory ran out building it) a mesh is traced through
// the hierarchy's own nodes, with the same hits.
TEST(FastWalk, AMeshWithoutItIsTracedThroughTheHierarchy) {
    TestMesh mesh = geotest::makeMesh(geotest::randomSoup(16, 800));
    vyxFreeBVH(mesh.bih->bvh);
    compareWithBruteForce(mesh, makeRays(mesh, 17, 2000), "hierarchy walk");
}

TEST(TraceMesh, DeepPathologicalMeshMatchesBruteForce) {
    TestMesh mesh = geotest::makeMesh(geotest::deepChains());
    std::vector<Ray> rays;
    // One head-on ray at every triangle, from three quarters of its distance.
    for (int axis = 0; axis < 3; ++axis)
        for (int k = 0; k <= 120; ++k) {
            Ray r = {{0.2f, 0.2f, 0.2f}, {0, 0, 0}, -1.0f};
            r.o[axis] = 0.75f * std::ldexp(1.0f, k);
            r.d[axis] = 1.0f;
            rays.push_back(r);
        }
    vyxTraceResult probe = vyxTraceMesh(mesh, vyxVec3{0.2f, 0.2f, 0.75f * 4096.0f}, vyxVec3{0, 0, 1}, -1.0f);
    EXPECT_EQ(probe.t, 0.25f * 4096.0f);
    compareWithBruteForce(mesh, rays, "deep chains");
}

TEST(TraceMesh, TransformedMeshMatchesTheMovedTriangles) {
    // Scale by 2 and translate by whole numbers: exact in floats, so object space and the
    // moved world-space triangles agree up to the triangle set-up's rounding.
    std::vector<Tri> tris = geotest::randomSoup(21, 400);
    TestMesh mesh = geotest::makeMesh(tris);
    vyxTransformScale(mesh.transform, 2.0f, 2.0f, 2.0f);
    vyxTransformTranslate(mesh.transform, 4.0f, -8.0f, 2.0f);
    vyxTransformPrepare(mesh.transform);
    std::vector<vyxTriangle> world;
    for (Tri t : tris) {
        for (int k = 0; k < 9; ++k)
            t.v[k] = 2.0f * t.v[k] + (k % 3 == 0 ? 4.0f : k % 3 == 1 ? -8.0f : 2.0f);
        world.push_back(geotest::setUp(t));
    }
    std::mt19937 rng(22);
    std::uniform_real_distribution<float> u(-30.0f, 30.0f);
    int hits = 0, disagreements = 0;
    for (int i = 0; i < 2000; ++i) {
        Ray r = {{u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}, -1.0f};
        vyxTraceResult want = geotest::bruteForce(world.data(), static_cast<int32_t>(world.size()), r.o, r.d, -1.0f);
        vyxTraceResult got =
            vyxTraceMesh(mesh, vyxVec3{r.o[0], r.o[1], r.o[2]}, vyxVec3{r.d[0], r.d[1], r.d[2]}, -1.0f);
        if ((want.t >= 0.0f) != (got.t >= 0.0f)) {
            ++disagreements; // a graze along an edge may fall either way after rounding
            continue;
        }
        if (want.t < 0.0f)
            continue;
        ++hits;
        EXPECT_NEAR(got.t, want.t, 1e-4f * want.t + 1e-5f) << describe(r);
    }
    EXPECT_GT(hits, 200);
    EXPECT_LE(disagreements, 2);

    // The world box skips the mesh only for rays that could not hit it: the same answer
    // bit for bit with and without it, also once the mesh has moved since the box was set.
    for (float shift : {0.0f, 100.0f}) {
        vyxUpdateWorldBounds(mesh);
        ASSERT_EQ(mesh.worldBoundsSet, 1);
        vyxTransformTranslate(mesh.transform, shift, 0.0f, 0.0f);
        vyxTransformPrepare(mesh.transform);
        for (int i = 0; i < 4000; ++i) {
            // Half the rays start near or inside the mesh where it now stands, half far away.
            const float reach = i % 2 ? 10.0f : 1000.0f;
            vyxVec3 o{u(rng) * reach / 30.0f + (i % 2 ? shift : 0.0f), u(rng) * reach / 30.0f, u(rng) * reach / 30.0f};
            vyxVec3 d{u(rng), u(rng), i % 7 == 0 ? 0.0f : u(rng)};
            mesh.worldBoundsSet = 1;
            vyxTraceResult boxed = vyxTraceMesh(mesh, o, d, -1.0f);
            mesh.worldBoundsSet = 0;
            vyxTraceResult plain = vyxTraceMesh(mesh, o, d, -1.0f);
            ASSERT_EQ(boxed.t, plain.t) << "shift " << shift << ", ray " << i;
            ASSERT_EQ(boxed.triangle, plain.triangle);
        }
    }
}

TEST(TraceMesh, MaxDistanceIsStrictAndOriginOnTheTriangleHitsAtZero) {
    // A triangle in the plane z = 5 around the z axis.
    TestMesh mesh = geotest::makeMesh({Tri{{-1, -1, 5, 1, -1, 5, 0, 1, 5}}});
    vyxVec3 down{0, 0, 1};
    struct Case {
        vyxVec3 origin;
        float maxDistance;
        float t;
    } cases[] = {
        {{0, 0, 0}, -1.0f, 5.0f}, {{0, 0, 0}, 5.0f, -1.0f}, {{0, 0, 0}, 5.0001f, 5.0f}, {{0, 0, 0}, 0.0f, -1.0f},
        {{0, 0, 5}, -1.0f, 0.0f}, {{0, 0, 5}, 0.0f, -1.0f}, {{0, 0, 6}, -1.0f, -1.0f},
    };
    for (const Case& c : cases) {
        vyxTraceResult r = vyxTraceMesh(mesh, c.origin, down, c.maxDistance);
        EXPECT_EQ(r.t, c.t) << "origin z " << c.origin.z << " max " << c.maxDistance;
        if (c.t >= 0.0f) {
            EXPECT_EQ(r.triangle, 0);
        }
    }
}

TEST(TraceMesh, NonFiniteAndZeroRaysMissWithoutCrashing) {
    TestMesh mesh = geotest::makeMesh(geotest::randomSoup(31, 300));
    const float nan = std::nanf(""), inf = INFINITY;
    const vyxVec3 origins[] = {{0, 0, -20}, {nan, 0, 0}, {inf, 0, 0}, {0, -inf, 0}, {0, 0, 0}};
    const vyxVec3 directions[] = {{0, 0, 1}, {nan, 0, 1}, {0, inf, 0}, {inf, inf, inf}, {0, 0, 0}, {-0.0f, 0, 0}};
    for (const vyxVec3& o : origins)
        for (const vyxVec3& d : directions) {
            bool finite = std::isfinite(o.x) && std::isfinite(o.y) && std::isfinite(o.z) && std::isfinite(d.x) &&
                          std::isfinite(d.y) && std::isfinite(d.z) && (d.x != 0 || d.y != 0 || d.z != 0);
            if (finite)
                continue;
            vyxTraceResult r = vyxTraceMesh(mesh, o, d, -1.0f);
            EXPECT_EQ(r.t, -1.0f) << "o " << o.x << "," << o.y << "," << o.z << " d " << d.x << "," << d.y << ","
                                  << d.z;
        }
}

TEST(TraceMesh, MeshWithoutHierarchyOrTrianglesMisses) {
    vyxMesh mesh;
    std::memset(&mesh, 0, sizeof(mesh));
    vyxTransformIdentity(mesh.transform);
    EXPECT_EQ(vyxTraceMesh(mesh, vyxVec3{0, 0, 0}, vyxVec3{0, 0, 1}, -1.0f).t, -1.0f);
    TestMesh empty = geotest::makeMesh({});
    EXPECT_EQ(vyxTraceMesh(empty, vyxVec3{0, 0, 0}, vyxVec3{0, 0, 1}, -1.0f).t, -1.0f);
}

TEST(IntersectBox, SlabCases) {
    const float lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
    struct Case {
        float o[3], d[3];
        bool hit;
        float tnear, tfar;
    } cases[] = {
        {{-1, 0.5f, 0.5f}, {1, 0, 0}, true, 1, 2},       // straight through x
        {{0.5f, 0.5f, 0.5f}, {0, 0, 2}, true, 0, 0.25f}, // from inside: tnear 0
        {{2, 0.5f, 0.5f}, {1, 0, 0}, false, 0, 0},       // pointing away
        {{-1, 5, 0.5f}, {1, 0, 0}, true, 1, 2},          // parallel to y outside its slab: not rejected here
        {{-1, -1, 0.5f}, {1, 1, 0}, true, 1, 2},         // through an edge
        {{-1, 0.5f, 0.5f}, {1, 3, 0}, false, 0, 0},      // passes above
        {{1, 1, 1}, {1, 1, 1}, true, 0, 0},              // origin on the corner counts as inside
    };
    for (const Case& c : cases) {
        float tnear = -7, tfar = -7;
        bool hit = vyxIntersectBox(lo, hi, c.o, c.d, tnear, tfar);
        std::ostringstream name;
        name << "o=(" << c.o[0] << "," << c.o[1] << "," << c.o[2] << ") d=(" << c.d[0] << "," << c.d[1] << "," << c.d[2]
             << ")";
        EXPECT_EQ(hit, c.hit) << name.str();
        if (c.hit) {
            EXPECT_FLOAT_EQ(tnear, c.tnear) << name.str();
            EXPECT_FLOAT_EQ(tfar, c.tfar) << name.str();
        }
    }
}

TEST(TraverseBIH, HandMadeTreeDeeperThanTheStackStaysCorrect) {
    // A chain of 1000 split nodes whose right children are leaves and whose clip planes
    // never prune: a ray along +x defers every right leaf, four times the stack's size.
    const int depth = 1000;
    std::vector<vyxTriangle> tris;
    std::mt19937 rng(41);
    std::vector<int> order(depth);
    for (int i = 0; i < depth; ++i)
        order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i < depth; ++i) {
        float x = 1.0f + static_cast<float>(order[static_cast<size_t>(i)]);
        tris.push_back(geotest::setUp(Tri{{x, -1, -1, x, 2, -1, x, -1, 2}}));
    }
    std::vector<vyxBIHNode> nodes(2 * depth);
    for (int i = 0; i < depth; ++i) {
        vyxBIHNode& split = nodes[static_cast<size_t>(2 * i)];
        vyxBIHNode& leaf = nodes[static_cast<size_t>(2 * i + 1)];
        std::memset(&split, 0, sizeof(split));
        std::memset(&leaf, 0, sizeof(leaf));
        leaf.isLeaf = 1;
        leaf.triangle = i;
        split.axis = 0;
        split.leftMax = 1e9f;
        split.rightMin = -1e9f;
        split.extentMin = -1e9f;
        split.extentMax = 1e9f;
        split.right = &leaf;
        split.left = i + 1 < depth ? &nodes[static_cast<size_t>(2 * i + 2)] : nullptr;
    }
    for (float maxDistance : {-1.0f, 3.5f, 0.5f}) {
        float o[3] = {0.0f, 0.25f, 0.25f}, d[3] = {1.0f, 0.0f, 0.0f};
        vyxTraceResult want = geotest::bruteForce(tris.data(), depth, o, d, maxDistance);
        vyxTraceResult got = vyxTraverseBIH(vyxVec3{o[0], o[1], o[2]}, vyxVec3{d[0], d[1], d[2]}, 0.0f, 2000.0f,
                                            tris.data(), maxDistance, nodes[0]);
        EXPECT_EQ(got.t, want.t) << "max " << maxDistance;
        EXPECT_EQ(got.triangle, want.triangle) << "max " << maxDistance;
    }
}

TEST(TraceScene, NearestMeshWinsAndTiesKeepTheEarlierMesh) {
    auto wall = [](float z) { return std::vector<Tri>{Tri{{-1, -1, z, 1, -1, z, 0, 1, z}}}; };
    TestMesh far = geotest::makeMesh(wall(8.0f));
    TestMesh nearA = geotest::makeMesh(wall(3.0f));
    TestMesh nearB = geotest::makeMesh(wall(3.0f));
    TestMesh empty = geotest::makeMesh({});
    vyxScene scene;
    vyxSceneInit(scene);
    vyxSceneAddMesh(scene, &far);
    vyxSceneAddMesh(scene, &empty);
    vyxSceneAddMesh(scene, &nearA);
    vyxSceneAddMesh(scene, &nearB);
    const vyxVec3 o{0, 0, 0}, d{0, 0, 1};
    struct Case {
        float maxDistance;
        float t;
        int object;
    } cases[] = {{-1.0f, 3.0f, 2}, {3.0f, -1.0f, -1}, {3.5f, 3.0f, 2}, {100.0f, 3.0f, 2}};
    for (const Case& c : cases) {
        vyxTraceResult r = vyxTraceScene(scene, o, d, c.maxDistance);
        EXPECT_EQ(r.t, c.t) << "max " << c.maxDistance;
        if (c.t >= 0.0f) {
            EXPECT_EQ(r.object, c.object) << "max " << c.maxDistance;
            EXPECT_EQ(r.triangle, 0);
        }
    }
    // Behind the near walls only the far one is hit.
    vyxTraceResult r = vyxTraceScene(scene, vyxVec3{0, 0, 4}, d, -1.0f);
    EXPECT_EQ(r.t, 4.0f);
    EXPECT_EQ(r.object, 0);
    // Moving a mesh moves its hits: nearB pulled to z = 2 wins.
    vyxTransformTranslate(nearB.transform, 0, 0, -1.0f);
    vyxTransformPrepare(nearB.transform);
    r = vyxTraceScene(scene, o, d, -1.0f);
    EXPECT_EQ(r.t, 2.0f);
    EXPECT_EQ(r.object, 3);

    vyxSceneFree(scene);
}

TEST(TraceScene, ConcurrentQueriesOnPreparedMeshesAgreeWithOneThread) {
    TestMesh a = geotest::makeMesh(geotest::heightField(32, 51));
    TestMesh b = geotest::makeMesh(geotest::randomSoup(52, 500));
    vyxTransformRotate(b.transform, 0.3f, 0.0f, 1.0f, 0.0f);
    vyxTransformTranslate(b.transform, 5.0f, 2.0f, 5.0f);
    vyxTransformPrepare(b.transform);
    vyxScene scene;
    vyxSceneInit(scene);
    vyxSceneAddMesh(scene, &a);
    vyxSceneAddMesh(scene, &b);
    std::vector<Ray> rays = makeRays(a, 53, 2000);
    std::vector<vyxTraceResult> single(rays.size()), threaded(rays.size());
    auto run = [&](std::vector<vyxTraceResult>& out, size_t begin, size_t step) {
        for (size_t i = begin; i < rays.size(); i += step)
            out[i] = vyxTraceScene(scene, vyxVec3{rays[i].o[0], rays[i].o[1], rays[i].o[2]},
                                   vyxVec3{rays[i].d[0], rays[i].d[1], rays[i].d[2]}, rays[i].maxDistance);
    };
    run(single, 0, 1);
    std::vector<std::thread> workers;
    for (size_t w = 0; w < 4; ++w)
        workers.emplace_back(run, std::ref(threaded), w, 4);
    for (std::thread& w : workers)
        w.join();
    for (size_t i = 0; i < rays.size(); ++i) {
        EXPECT_EQ(threaded[i].t, single[i].t) << describe(rays[i]);
        if (single[i].t >= 0.0f) {
            EXPECT_EQ(threaded[i].object, single[i].object);
            EXPECT_EQ(threaded[i].triangle, single[i].triangle);
        }
    }
    vyxSceneFree(scene);
}

// A packet's results are exactly the single query's, whether its rays are scattered or
// fan out from one point as a camera's do, over meshes opaque or not, moved or not.
TEST(TraceScene, PacketsGiveWhatEachRayGivesAlone) {
    TestMesh a = geotest::makeMesh(geotest::heightField(32, 61));
    TestMesh b = geotest::makeMesh(geotest::randomSoup(62, 500));
    TestMesh c = geotest::makeMesh(geotest::randomSoup(63, 200));
    vyxTransformRotate(b.transform, 0.3f, 0.0f, 1.0f, 0.0f);
    vyxTransformTranslate(b.transform, 5.0f, 2.0f, 5.0f);
    vyxTransformPrepare(b.transform);
    b.opaque = 1;
    vyxTransformScale(c.transform, 2.0f, 0.5f, 2.0f);
    vyxTransformPrepare(c.transform);
    vyxScene scene;
    vyxSceneInit(scene);
    for (TestMesh* m : {&a, &b, &c})
        vyxSceneAddMesh(scene, m);
    std::vector<Ray> rays = makeRays(a, 64, 1500);
    // The last third: a fan from one eye point, in rows, as primary rays come.
    for (size_t i = 2 * rays.size() / 3; i < rays.size(); ++i) {
        const float x = static_cast<float>(i % 40) / 40.0f, y = static_cast<float>(i / 40 % 40) / 40.0f;
        rays[i] = Ray{{4.0f, 6.0f, -3.0f}, {x - 0.3f, -0.6f - 0.2f * y, 1.0f}, i % 3 ? -1.0f : 9.0f};
    }
    for (size_t begin = 0, size = 1; begin < rays.size(); begin += size, size = size % vyxPacketSize + 1) {
        const int count = static_cast<int>(std::min(size, rays.size() - begin));
        // One limit for the packet: its first ray's.
        const float limit = rays[begin].maxDistance;
        vyxVec3 origins[vyxPacketSize], directions[vyxPacketSize];
        for (int k = 0; k < count; ++k) {
            const Ray& r = rays[begin + k];
            origins[k] = vyxVec3{r.o[0], r.o[1], r.o[2]};
            directions[k] = vyxVec3{r.d[0], r.d[1], r.d[2]};
        }
        vyxTraceResult together[vyxPacketSize];
        vyxTraceScenePacket(scene, origins, directions, count, limit, together);
        for (int k = 0; k < count; ++k) {
            const vyxTraceResult alone = vyxTraceScene(scene, origins[k], directions[k], limit);
            EXPECT_EQ(std::memcmp(&together[k], &alone, sizeof(alone)), 0)
                << describe(rays[begin + k]) << " in a packet of " << count << ": t " << together[k].t << " against "
                << alone.t << ", object " << together[k].object << " against " << alone.object;
        }
    }
    vyxSceneFree(scene);
}

TEST(SceneLists, GrowByFiftyKeepingTheEntries) {
    vyxScene scene;
    vyxSceneInit(scene);
    EXPECT_EQ(scene.meshCapacity, 50);
    EXPECT_EQ(scene.lightCapacity, 50);
    EXPECT_EQ(scene.cubeMap, nullptr);
    std::vector<vyxMesh> meshes(120);
    for (size_t i = 0; i < meshes.size(); ++i) {
        vyxSceneAddMesh(scene, &meshes[i]);
        int32_t count = static_cast<int32_t>(i + 1);
        // grown whenever count + 1 reached the capacity before the append
        int32_t expected = 50 * (1 + count / 50);
        ASSERT_EQ(scene.meshCapacity, expected) << "after " << count;
    }
    ASSERT_EQ(scene.meshCount, 120);
    for (size_t i = 0; i < meshes.size(); ++i)
        EXPECT_EQ(scene.meshes[i], &meshes[i]);
    for (int32_t i = scene.meshCount; i < scene.meshCapacity; ++i)
        EXPECT_EQ(scene.meshes[i], nullptr);
    vyxLight* light = reinterpret_cast<vyxLight*>(&meshes[0]);
    vyxSceneAddLight(scene, light);
    EXPECT_EQ(scene.lightCount, 1);
    EXPECT_EQ(scene.lights[0], light);
    vyxSceneFree(scene);
    EXPECT_EQ(scene.meshes, nullptr);
    EXPECT_EQ(scene.meshCount, 0);
    vyxSceneFree(scene);
}
