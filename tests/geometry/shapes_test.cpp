// Generated shapes: the noise functions against their lattice definition, the torus
// against its parametric surface and the terrain grid against its height field.

#include "geometry/shapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "geometry/query.h"

namespace {

// The lattice hash written out in 64-bit unsigned arithmetic, reduced to 32 bits after
// every product so nothing can overflow.
double latticeReference(int64_t m) {
    const uint64_t mask = 0xffffffffULL;
    uint64_t um = static_cast<uint64_t>(m) & mask;
    uint64_t k = (um ^ (um << 13)) & mask;
    uint64_t inner = (((k * k) & mask) * 15731ULL + 789221ULL) & mask;
    uint64_t h = ((k * inner) - 771171059ULL) & mask;
    return 1.0 - static_cast<double>(h & 0x7fffffffULL) / 1073741824.0;
}

// Corner of the two-triangle cell pattern: grid point (i, j) read back from the mesh.
struct GridView {
    const vyxMesh& mesh;
    int cellsJ; // cells per row
    int cellsI;
    // Position and normal of grid point (i, j), 0 <= i <= cellsI, 0 <= j <= cellsJ.
    void at(int i, int j, const float*& p, const float*& n) const {
        int ci = i < cellsI ? i : cellsI - 1;
        int cj = j < cellsJ ? j : cellsJ - 1;
        int32_t first = 2 * (ci * cellsJ + cj);
        const vyxTriangle& t1 = mesh.triangles[first];
        const vyxTriangle& t2 = mesh.triangles[first + 1];
        // Generated meshes give every corner its own normal.
        auto normal = [this](int32_t t, int c) { return mesh.corners[mesh.cornerOf[t][c]].normal; };
        bool lastI = i == cellsI, lastJ = j == cellsJ;
        if (!lastI && !lastJ) {
            p = t1.p0;
            n = normal(first, 0);
        } else if (!lastI) {
            p = t1.p1;
            n = normal(first, 1);
        } else if (!lastJ) {
            p = t1.p2;
            n = normal(first, 2);
        } else {
            p = t2.p2;
            n = normal(first + 1, 2);
        }
    }
};

float length3(const float* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

} // namespace

TEST(ValueNoise, LatticePointsGiveTheHashedCornerValue) {
    const float cells[] = {1.0f, 0.5f, 0.25f, 0.125f};
    const int points[][3] = {{0, 0, 0}, {1, 2, 3}, {7, -4, 100}, {-3, -1, -9}, {250, 13, 400}, {-600, 300, 5}};
    for (float cell : cells)
        for (const auto& q : points) {
            float v = vyxValueNoise(q[0] * cell, q[1] * cell, q[2] * cell, cell);
            int64_t n = static_cast<int64_t>(q[0]) + 17 * q[1] + 31 * q[2];
            EXPECT_NEAR(v, latticeReference(n), 2e-6)
                << "cell " << cell << " point " << q[0] << "," << q[1] << "," << q[2];
        }
}

TEST(ValueNoise, ContinuousAcrossCellFacesOnEveryAxis) {
    // The eight corners a cell blends must be the ones its neighbour shares; a wrong
    // offset shows up as a jump at the face.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-20.0f, 20.0f);
    for (int i = 0; i < 300; ++i) {
        float p[3] = {u(rng), u(rng), u(rng)};
        int axis = i % 3;
        float cell = i % 2 ? 1.0f : 0.25f;
        p[axis] = std::round(p[axis] / cell) * cell; // on a face
        float below[3] = {p[0], p[1], p[2]}, above[3] = {p[0], p[1], p[2]};
        below[axis] -= 1e-3f * cell;
        above[axis] += 1e-3f * cell;
        float a = vyxValueNoise(below[0], below[1], below[2], cell);
        float b = vyxValueNoise(above[0], above[1], above[2], cell);
        EXPECT_NEAR(a, b, 1e-3f) << "axis " << axis << " at " << p[0] << "," << p[1] << "," << p[2];
    }
}

TEST(ValueNoise, RangesOfValueAndFractalNoise) {
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(-300.0f, 300.0f);
    for (int i = 0; i < 20000; ++i) {
        float x = u(rng), y = u(rng), z = u(rng);
        float v = vyxValueNoise(x, y, z, 0.5f);
        EXPECT_GE(v, -1.0f);
        EXPECT_LE(v, 1.0f);
        float f = vyxFractalNoise(x * 0.01f, y * 0.01f, z, 0.5f);
        ASSERT_GT(f, 0.0f) << x << "," << y << "," << z;
        ASSERT_LT(f, 1.0f) << x << "," << y << "," << z;
    }
    // Hostile inputs give some finite value instead of undefined conversions.
    EXPECT_TRUE(std::isfinite(vyxValueNoise(1e30f, -1e30f, 0.0f, 1.0f)));
    (void)vyxValueNoise(std::nanf(""), 0.0f, 0.0f, 1.0f);
}

class TorusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::memset(&torus, 0, sizeof(torus));
        vyxTransformIdentity(torus.transform);
        vyxMakeTorus(torus, reinterpret_cast<vyxTexture*>(&marker), 0.8f, 0.2f);
        vyxTransformPrepare(torus.transform);
        vyxTransformPrepare(torus.bih->transform);
    }
    static void TearDownTestSuite() { vyxFreeMesh(torus); }
    static vyxMesh torus;
    static int marker;
};
vyxMesh TorusTest::torus;
int TorusTest::marker;

TEST_F(TorusTest, CountsMaterialAndPatches) {
    ASSERT_EQ(torus.triangleCount, 90000);
    ASSERT_EQ(torus.materialCount, 1);
    const vyxMaterial& m = torus.materials[0];
    EXPECT_EQ(m.texture, reinterpret_cast<vyxTexture*>(&marker));
    EXPECT_FLOAT_EQ(m.color[0], 0.4f);
    EXPECT_FLOAT_EQ(m.reflectivity, 0.5f);
    EXPECT_FLOAT_EQ(m.fresnel, 0.5f);
    EXPECT_EQ(m.castsShadows, 1);
    // Quadrant tags: (j < 75 ? 2 : 0) | (i < 150 ? 1 : 0), both triangles of a cell.
    const int cellsI[] = {0, 149, 150, 299}, cellsJ[] = {0, 74, 75, 149};
    for (int i : cellsI)
        for (int j : cellsJ)
            for (int half = 0; half < 2; ++half) {
                int32_t t = 2 * (i * 150 + j) + half;
                EXPECT_EQ(vyxShadingOf(torus, t).patch, (j < 75 ? 2 : 0) | (i < 150 ? 1 : 0)) << i << "," << j;
                EXPECT_EQ(vyxShadingOf(torus, t).material, &torus.materials[0]);
            }
}

TEST_F(TorusTest, VerticesNormalsAndTextureCoordinatesFollowTheSurface) {
    GridView grid{torus, 150, 300};
    const float *p, *n;
    grid.at(0, 0, p, n);
    EXPECT_FLOAT_EQ(p[0], 1.0f);
    EXPECT_NEAR(p[1], 0.0f, 1e-7f);
    EXPECT_NEAR(p[2], 0.0f, 1e-7f);
    EXPECT_FLOAT_EQ(n[0], 1.0f);
    grid.at(0, 75, p, n);
    EXPECT_NEAR(p[0], 0.6f, 1e-6f);
    EXPECT_NEAR(n[0], -1.0f, 1e-6f);
    // Triangle 0 is P(0,0), P(0,1), P(1,0).
    const vyxTriangle& t0 = torus.triangles[0];
    const double corners[3][2] = {{0, 0}, {0, 1}, {1, 0}};
    const float* tp[3] = {t0.p0, t0.p1, t0.p2};
    for (int c = 0; c < 3; ++c) {
        double theta = corners[c][0] * 2 * vyxPi / 300, phi = corners[c][1] * 2 * vyxPi / 150;
        EXPECT_NEAR(tp[c][0], (0.8 + 0.2 * std::cos(phi)) * std::cos(theta), 1e-6) << c;
        EXPECT_NEAR(tp[c][1], 0.2 * std::sin(phi), 1e-6) << c;
        EXPECT_NEAR(tp[c][2], (0.8 + 0.2 * std::cos(phi)) * std::sin(theta), 1e-6) << c;
    }
    // Every point lies on the tube, with the unit normal pointing away from its core.
    for (int i = 0; i <= 300; i += 7)
        for (int j = 0; j <= 150; j += 3) {
            grid.at(i, j, p, n);
            float radial = std::sqrt(p[0] * p[0] + p[2] * p[2]);
            float core[3] = {p[0] / radial * 0.8f, 0.0f, p[2] / radial * 0.8f};
            float off[3] = {p[0] - core[0], p[1], p[2] - core[2]};
            EXPECT_NEAR(length3(off), 0.2f, 1e-5f) << i << "," << j;
            EXPECT_NEAR(length3(n), 1.0f, 1e-5f) << i << "," << j;
            for (int a = 0; a < 3; ++a)
                EXPECT_NEAR(n[a], off[a] / 0.2f, 1e-4f) << i << "," << j;
        }
    // The last ring and row close the surface, while texture coordinates run on.
    for (int j = 0; j <= 150; j += 10) {
        const float *a, *na, *b, *nb;
        grid.at(0, j, a, na);
        grid.at(300, j, b, nb);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(a[k], b[k], 1e-5f) << j;
    }
    const vyxTriangleShading last = vyxShadingOf(torus, 89999);
    EXPECT_FLOAT_EQ(last.uv2[0], 12.0f);
    EXPECT_FLOAT_EQ(last.uv2[1], 6.0f);
    EXPECT_FLOAT_EQ(vyxShadingOf(torus, 2 * (150 * 150 + 75)).uv0[0], 6.0f);
    EXPECT_FLOAT_EQ(vyxShadingOf(torus, 2 * (150 * 150 + 75)).uv0[1], 3.0f);
}

TEST_F(TorusTest, RaysThroughTheHoleMissAndRaysAtTheRimHit) {
    EXPECT_EQ(vyxTraceMesh(torus, vyxVec3{0, 5, 0}, vyxVec3{0, -1, 0}, -1.0f).t, -1.0f);
    vyxTraceResult side = vyxTraceMesh(torus, vyxVec3{5, 0, 0}, vyxVec3{-1, 0, 0}, -1.0f);
    EXPECT_NEAR(side.t, 4.0f, 1e-4f);
    vyxTraceResult top = vyxTraceMesh(torus, vyxVec3{0, 5, 0.8f}, vyxVec3{0, -1, 0}, -1.0f);
    EXPECT_NEAR(top.t, 4.8f, 1e-3f);
    vyxMesh plain;
    std::memset(&plain, 0, sizeof(plain));
    vyxMakeTorus(plain, nullptr, 0.8f, 0.2f);
    EXPECT_EQ(plain.materials[0].texture, nullptr);
    vyxFreeMesh(plain);
}

class TerrainTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::memset(&terrain, 0, sizeof(terrain));
        vyxTransformIdentity(terrain.transform);
        vyxBuildTerrainMesh(terrain);
        vyxTransformPrepare(terrain.transform);
        vyxTransformPrepare(terrain.bih->transform);
    }
    static void TearDownTestSuite() { vyxFreeMesh(terrain); }
    static vyxMesh terrain;
};
vyxMesh TerrainTest::terrain;

TEST_F(TerrainTest, GridPositionsHeightsAndTextureCoordinates) {
    ASSERT_EQ(terrain.triangleCount, 131072);
    ASSERT_EQ(terrain.materialCount, 1);
    EXPECT_EQ(terrain.materials[0].texture, nullptr);
    EXPECT_FLOAT_EQ(terrain.materials[0].color[0], 0.25f);
    GridView grid{terrain, 256, 256};
    for (int a = 0; a <= 256; ++a)
        for (int c = 0; c <= 256; ++c) {
            const float *p, *n;
            grid.at(a, c, p, n);
            ASSERT_EQ(p[0], static_cast<float>(c - 128)) << a << "," << c;
            ASSERT_EQ(p[2], static_cast<float>(128 - a)) << a << "," << c;
            ASSERT_GT(p[1], -50.0f) << a << "," << c;
            ASSERT_LT(p[1], 50.0f) << a << "," << c;
        }
    const float *p, *n;
    grid.at(40, 70, p, n);
    EXPECT_FLOAT_EQ(p[1], -100.0f * (vyxFractalNoise(70.0f * 0.01f, 40.0f * 0.01f, 100.0f, 0.5f) - 0.5f));
    // One texture repeat per cell: uv of grid point (a, c) is (c, a).
    const vyxTriangleShading s = vyxShadingOf(terrain, 2 * (17 * 256 + 33) + 1);
    EXPECT_EQ(s.uv0[0], 33.0f);
    EXPECT_EQ(s.uv0[1], 18.0f);
    EXPECT_EQ(s.uv2[0], 34.0f);
    EXPECT_EQ(s.uv2[1], 18.0f);
}

TEST_F(TerrainTest, PatchesAreSixteenCellTiles) {
    const int cases[][3] = {{17, 33, 18}, {0, 0, 0},       {15, 15, 0},    {16, 0, 16},
                            {0, 16, 1},   {255, 255, 255}, {128, 200, 140}};
    for (const auto& c : cases)
        for (int half = 0; half < 2; ++half)
            EXPECT_EQ(vyxShadingOf(terrain, 2 * (c[0] * 256 + c[1]) + half).patch, c[2]) << c[0] << "," << c[1];
}

TEST_F(TerrainTest, NormalsFollowTheHeightField) {
    GridView grid{terrain, 256, 256};
    auto height = [&](int a, int c) {
        const float *p, *n;
        grid.at(a, c, p, n);
        return p[1];
    };
    const float *p, *n;
    // Interior: B x A with B = P(a, c+1) - P(a, c-1) = (2, hB, 0) and
    // A = P(a+1, c) - P(a-1, c) = (0, hA, -2) points along (-hB, 2, hA).
    for (int a = 1; a < 256; a += 5)
        for (int c = 1; c < 256; c += 3) {
            grid.at(a, c, p, n);
            float hB = height(a, c + 1) - height(a, c - 1), hA = height(a + 1, c) - height(a - 1, c);
            float ref[3] = {-hB, 2.0f, hA};
            float len = length3(ref);
            for (int k = 0; k < 3; ++k)
                ASSERT_NEAR(n[k], ref[k] / len, 1e-5f) << a << "," << c;
        }
    // Edges: perpendicular to the one tangent they have, pointing up.
    for (int k = 1; k < 256; k += 11) {
        grid.at(0, k, p, n);
        float tx = 2.0f, ty = height(0, k + 1) - height(0, k - 1);
        EXPECT_NEAR(n[0] * tx + n[1] * ty, 0.0f, 1e-5f) << "row 0 column " << k;
        EXPECT_EQ(n[2], 0.0f);
        EXPECT_GT(n[1], 0.0f);
        grid.at(k, 256, p, n);
        float tz = -2.0f, ty2 = height(k + 1, 256) - height(k - 1, 256);
        EXPECT_NEAR(n[1] * ty2 + n[2] * tz, 0.0f, 1e-5f) << "column 256 row " << k;
        EXPECT_EQ(n[0], 0.0f);
        EXPECT_GT(n[1], 0.0f);
    }
    const int corners[][2] = {{0, 0}, {0, 256}, {256, 0}, {256, 256}};
    for (const auto& c : corners) {
        grid.at(c[0], c[1], p, n);
        EXPECT_EQ(n[0], 0.0f);
        EXPECT_EQ(n[1], 1.0f);
        EXPECT_EQ(n[2], 0.0f);
    }
}

TEST_F(TerrainTest, VerticalRaysHitTheGridHeight) {
    GridView grid{terrain, 256, 256};
    const int samples[][2] = {{10, 10}, {128, 128}, {200, 37}, {3, 250}};
    for (const auto& s : samples) {
        const float *p, *n;
        grid.at(s[0], s[1], p, n);
        vyxTraceResult r = vyxTraceMesh(terrain, vyxVec3{p[0], 100.0f, p[2]}, vyxVec3{0, -1, 0}, -1.0f);
        ASSERT_GE(r.t, 0.0f) << s[0] << "," << s[1];
        EXPECT_NEAR(100.0f - r.t, p[1], 1e-3f) << s[0] << "," << s[1];
    }
}
