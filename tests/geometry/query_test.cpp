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

#include "geometry/scene.h"
#include "geometry/traversal_tree.h"
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
    if (got.triangle != want.triangle) {
        // Two triangles at exactly the same distance (a shared edge): either may win, but
        // the reported one must really be hit there with the reported weights.
        ASSERT_GE(got.triangle, 0) << what;
        ASSERT_LT(got.triangle, mesh.triangleCount) << what;
    }
    ASSERT_GE(got.triangle, 0) << what;
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

// The traversal copy the queries walk against the hierarchy's own walk, exactly: t,
// weights and triangle, ties included. Besides the seeded rays, rays whose direction has
// a zero component of either sign, which the hierarchy treats as parallel to its splits
// (the last one hit two triangles at the same t, resolved differently once).
TEST(TraceMesh, TraversalCopyFindsTheHierarchysOwnHits) {
    const std::vector<Tri> meshes[] = {geotest::heightField(16, 3), geotest::randomSoup(11, 1500)};
    uint32_t seed = 300;
    for (const std::vector<Tri>& tris : meshes) {
        TestMesh mesh = geotest::makeMesh(tris);
        vyxBIH& bih = *mesh.bih;
        ASSERT_GT(bih.traversal.triangleCount, 0);
        std::vector<Ray> rays = makeRays(mesh, seed++, 3000);
        for (float zero : {0.0f, -0.0f})
            for (float x = 0.37f; x < 16.0f; x += 1.1f)
                rays.push_back({{x, 20.0f, 7.3125f}, {zero, -1.0f, -zero}, -1.0f});
        rays.push_back({{1.0f, 20.0f, 0.3125f}, {-0.0f, -1.0f, 0.0f}, -1.0f});
        for (const Ray& r : rays) {
            float tnear, tfar;
            // The copy takes only positive limits; the queries never give it 0.
            if (r.maxDistance == 0.0f || !vyxIntersectBox(bih.boundsMin, bih.boundsMax, r.o, r.d, tnear, tfar))
                continue;
            vyxTraceResult want = vyxTraverseBIH(vyxVec3{r.o[0], r.o[1], r.o[2]}, vyxVec3{r.d[0], r.d[1], r.d[2]},
                                                 tnear, tfar, bih.triangles, r.maxDistance, bih.root);
            vyxTraceResult got =
                vyxTraverseTree(bih.traversal, r.o, r.d, r.maxDistance < 0.0f ? FLT_MAX : r.maxDistance);
            EXPECT_EQ(got.t, want.t) << describe(r);
            EXPECT_EQ(got.triangle, want.triangle) << describe(r);
            EXPECT_TRUE(got.w0 == want.w0 && got.w1 == want.w1 && got.w2 == want.w2) << describe(r);
        }
    }
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
