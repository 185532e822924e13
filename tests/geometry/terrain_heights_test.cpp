// Every vertex of the generated terrain has exactly the height of the fractal noise at
// its grid point: the generator's shortcuts (lattice tables per row and column) must not
// move a single bit.

#include <gtest/gtest.h>

#include <cstring>

#include "geometry/mesh.h"
#include "geometry/shapes.h"

TEST(TerrainHeights, EveryVertexIsTheFractalNoiseAtItsGridPoint) {
    vyxMesh terrain;
    std::memset(&terrain, 0, sizeof(terrain));
    vyxTransformIdentity(terrain.transform);
    vyxBuildTerrainMesh(terrain);
    ASSERT_EQ(terrain.triangleCount, 131072);
    int mismatches = 0;
    for (int32_t i = 0; i < terrain.triangleCount && mismatches < 10; ++i) {
        const vyxTriangle& t = terrain.triangles[i];
        for (const float* p : {t.p0, t.p1, t.p2}) {
            int c = static_cast<int>(p[0]) + 128;
            int a = 128 - static_cast<int>(p[2]);
            ASSERT_TRUE(c >= 0 && c <= 256 && a >= 0 && a <= 256) << "triangle " << i;
            float h = vyxFractalNoise(static_cast<float>(c) * 0.01f, static_cast<float>(a) * 0.01f, 100.0f, 0.5f);
            float want = -100.0f * (h - 0.5f);
            if (std::memcmp(&p[1], &want, sizeof(float)) != 0) {
                ++mismatches;
                ADD_FAILURE() << "row " << a << ", column " << c << ": height " << p[1] << ", noise gives " << want;
            }
        }
    }
    vyxFreeMesh(terrain);
}
