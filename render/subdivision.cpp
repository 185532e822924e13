#include "render/subdivision.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "trace/raystats.h"
#include "trace/shade.h"
#include "trace/texture.h"
#include "util/assert.h"

static bool isHit(const vyxSample& sample) { return sample.hit.t > 0.0f; }

// The mesh of a hit sample, after checking the hit's indices.
static const vyxMesh& hitMesh(const vyxSample& sample) {
    VYX_ASSERT_GE(sample.hit.object, 0);
    VYX_ASSERT_LT(sample.hit.object, sample.scene->meshCount);
    const vyxMesh* mesh = sample.scene->meshes[sample.hit.object];
    VYX_ASSERT_GE(sample.hit.triangle, 0);
    VYX_ASSERT_LT(sample.hit.triangle, mesh->triangleCount);
    return *mesh;
}

static const vyxMaterial* hitMaterial(const vyxSample& sample) {
    return vyxMaterialOf(hitMesh(sample), sample.hit.triangle);
}

static int32_t hitPatch(const vyxSample& sample) { return vyxPatchOf(hitMesh(sample), sample.hit.triangle); }

static float channelMean(vyxVec3 colour) { return (colour.x + colour.y + colour.z) / 3.0f; }

// True when any of the six corner pairs differs by more than threshold (strictly).
static bool cornersDiffer(const float value[4], float threshold) {
    static const int pairs[6][2] = {{0, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3}, {2, 3}};
    for (const auto& pair : pairs) {
        if (std::fabs(value[pair[0]] - value[pair[1]]) > threshold) {
            return true;
        }
    }
    return false;
}

// Bilinear blend of four corner values at (u, v) of the block; exact corner values at
// u = v = 0.
static float blend(float u, float v, float v00, float v10, float v01, float v11) {
    return v * (u * v11 + (1.0f - u) * v01) + (1.0f - v) * (u * v10 + (1.0f - u) * v00);
}

static vyxVec3 blend(float u, float v, vyxVec3 v00, vyxVec3 v10, vyxVec3 v01, vyxVec3 v11) {
    return {blend(u, v, v00.x, v10.x, v01.x, v11.x), blend(u, v, v00.y, v10.y, v01.y, v11.y),
            blend(u, v, v00.z, v10.z, v01.z, v11.z)};
}

static vyxVec3 environment(const vyxScene& scene, vyxVec3 direction) {
    float rgba[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    vyxSampleCubeMap(*scene.cubeMap, direction.x, direction.y, direction.z, rgba);
    return {rgba[0], rgba[1], rgba[2]};
}

static vyxVec3 combineSample(const vyxSample& sample, const vyxRenderSettings& settings) {
    return vyxCombineShading(sample.diffuse, sample.specular, sample.reflected, *hitMaterial(sample), sample.surface,
                             sample.transmitted, sample.reflectionWeight, sample.fog, settings.fogColour);
}

void vyxTraceSample(const vyxRenderSettings& settings, const vyxScene& scene, vyxVec3 origin, vyxVec3 direction,
                    vyxSample& sample) {
    vyxSample* one = &sample;
    vyxTraceSamples(settings, scene, &one, &origin, &direction, 1);
}

void vyxTraceSamples(const vyxRenderSettings& settings, const vyxScene& scene, vyxSample* const* samples,
                     const vyxVec3* origins, const vyxVec3* directions, int count) {
    const int kBatch = 16;
    vyxTraceResult hits[kBatch];
    vyxHitShading shading[kBatch];
    bool shaded[kBatch];
    for (int begin = 0; begin < count; begin += kBatch) {
        const int n = count - begin < kBatch ? count - begin : kBatch;
        for (int i = 0; i < n; i += vyxPacketSize) {
            const float unlimited = -1.0f;
            const int m = n - i < vyxPacketSize ? n - i : vyxPacketSize;
            vyxTraceScenePacket(scene, origins + begin + i, directions + begin + i, m, unlimited, hits + i);
        }
        for (int i = 0; i < n; ++i) {
            VYX_COUNT_RAY(primary);
            vyxSample& sample = *samples[begin + i];
            sample.hit = hits[i];
            sample.traced = 1;
            sample.scene = &scene;
            sample.origin = origins[begin + i];
            sample.direction = directions[begin + i];
            // The environment of a miss is looked up later from the stored direction.
        }
        memset(shading, 0, sizeof(shading));
        vyxShadeHits(scene, hits, origins + begin, directions + begin, n, settings.maxDepth, settings, shading, shaded);
        for (int i = 0; i < n; ++i) {
            if (!shaded[i])
                continue;
            vyxSample& sample = *samples[begin + i];
            const vyxHitShading& s = shading[i];
            sample.texCoord[0] = s.texCoord[0];
            sample.texCoord[1] = s.texCoord[1];
            for (int c = 0; c < 4; ++c)
                sample.surface[c] = s.surface[c];
            sample.diffuse = s.diffuse;
            sample.specular = s.specular;
            sample.reflected = s.reflected;
            sample.transmitted = s.transmitted;
            sample.reflectionWeight = s.reflectionWeight;
            sample.fog = s.fog;
        }
    }
}

bool vyxBlockNeedsRefinement(const vyxSample& c00, const vyxSample& c10, const vyxSample& c01, const vyxSample& c11,
                             const vyxRenderSettings& settings) {
    const vyxSample* corners[4] = {&c00, &c10, &c01, &c11};

    // Silhouettes refine; a block that misses everywhere is filled from the environment.
    bool hit = isHit(c00);
    for (int i = 1; i < 4; ++i) {
        if (isHit(*corners[i]) != hit) {
            return true;
        }
    }
    if (!hit) {
        return false;
    }
    // Borders between meshes.
    for (int i = 1; i < 4; ++i) {
        if (corners[i]->hit.object != c00.hit.object) {
            return true;
        }
    }
    // Material and patch borders.
    const vyxMaterial* firstMaterial = hitMaterial(c00);
    for (int i = 1; i < 4; ++i) {
        if (hitMaterial(*corners[i]) != firstMaterial) {
            return true;
        }
    }
    const int32_t firstPatch = hitPatch(c00);
    for (int i = 1; i < 4; ++i) {
        if (hitPatch(*corners[i]) != firstPatch) {
            return true;
        }
    }
    // Edges of see-through regions.
    int translucent = 0;
    for (const vyxSample* corner : corners) {
        translucent += corner->surface[3] < 1.0f ? 1 : 0;
    }
    if (translucent != 0 && translucent != 4) {
        return true;
    }

    // The optional subsample checks on the recorded light components.
    const vyxMaterial& material = *firstMaterial;
    float value[4];
    if ((settings.flags & RenderCheckShadows) != 0) {
        for (int i = 0; i < 4; ++i) {
            value[i] = channelMean(corners[i]->diffuse);
        }
        if (cornersDiffer(value, settings.subsampleThreshold)) {
            return true;
        }
    }
    if ((settings.flags & RenderCheckSpecular) != 0 && material.specular > 0.0f) {
        for (int i = 0; i < 4; ++i) {
            value[i] = channelMean(corners[i]->specular);
        }
        if (cornersDiffer(value, settings.subsampleThreshold)) {
            return true;
        }
    }
    if ((settings.flags & RenderCheckReflections) != 0) {
        float weight =
            material.reflectivity > material.tintedReflectivity ? material.reflectivity : material.tintedReflectivity;
        if (weight > 0.0f) {
            for (int i = 0; i < 4; ++i) {
                value[i] = weight * channelMean(corners[i]->reflected);
            }
            if (cornersDiffer(value, settings.reflectionThreshold)) {
                return true;
            }
        }
    }
    return false;
}

static int smaller(int a, int b) { return a < b ? a : b; }

// The lattice points of a split block still to be traced, each between two traced samples.
struct Midpoints {
    vyxSample* samples[5];
    vyxVec3 origins[5], directions[5];
    int count = 0;

    // Adds the point between a and b unless it is traced already.
    void add(const vyxSample& a, const vyxSample& b, vyxSample& midpoint) {
        if (midpoint.traced)
            return;
        samples[count] = &midpoint;
        origins[count] = (a.origin + b.origin) * 0.5f;
        directions[count] = (a.direction + b.direction) * 0.5f;
        ++count;
    }
};

// An unrefined block whose corners all miss: the environment through directions
// interpolated down the left and right edges and stepped across each row.
static void fillMisses(const vyxScene& scene, int size, const vyxSample& c00, const vyxSample& c10,
                       const vyxSample& c01, const vyxSample& c11, vyxVec3* output, int outputStride, int rows,
                       int columns) {
    if (scene.cubeMap == nullptr) {
        output[0] = {0.0f, 0.0f, 0.0f};
        return;
    }
    float a = static_cast<float>(size);
    for (int r = 0; r < rows; ++r) {
        float down = static_cast<float>(r);
        float up = static_cast<float>(size - r);
        vyxVec3 left = (c00.direction * up + c01.direction * down) / a;
        vyxVec3 right = (c10.direction * up + c11.direction * down) / a;
        vyxVec3 step = (right - left) / a;
        vyxVec3 direction = left;
        vyxVec3* target = output + static_cast<size_t>(r) * outputStride;
        for (int q = 0; q < columns; ++q) {
            target[q] = environment(scene, direction);
            direction += step;
        }
    }
}

// An unrefined block of hits on one material: every shading component the material
// uses is interpolated from the corners and combined per pixel.
static void fillHits(int size, const vyxSample& c00, const vyxSample& c10, const vyxSample& c01, const vyxSample& c11,
                     vyxVec3* output, int outputStride, int rows, int columns, const vyxRenderSettings& settings) {
    const vyxMaterial& material = *hitMaterial(c00);
    bool textured = material.texture != nullptr;
    bool specular = material.specular > 0.0f;
    bool reflective = material.reflectivity > 0.0f || material.tintedReflectivity > 0.0f;
    bool translucent = c00.surface[3] < 1.0f;
    const vyxVec3 black = {0.0f, 0.0f, 0.0f};
    float surface[4] = {c00.surface[0], c00.surface[1], c00.surface[2], c00.surface[3]};
    float a = static_cast<float>(size);
    for (int r = 0; r < rows; ++r) {
        float v = static_cast<float>(r) / a;
        vyxVec3* target = output + static_cast<size_t>(r) * outputStride;
        for (int q = 0; q < columns; ++q) {
            float u = static_cast<float>(q) / a;
            if (textured) {
                float s = blend(u, v, c00.texCoord[0], c10.texCoord[0], c01.texCoord[0], c11.texCoord[0]);
                float t = blend(u, v, c00.texCoord[1], c10.texCoord[1], c01.texCoord[1], c11.texCoord[1]);
                vyxSampleTexture(*material.texture, s, t, surface);
            }
            vyxVec3 diffuse = blend(u, v, c00.diffuse, c10.diffuse, c01.diffuse, c11.diffuse);
            vyxVec3 highlight = specular ? blend(u, v, c00.specular, c10.specular, c01.specular, c11.specular) : black;
            vyxVec3 reflected = black;
            float weight = 0.0f;
            if (reflective) {
                reflected = blend(u, v, c00.reflected, c10.reflected, c01.reflected, c11.reflected);
                weight =
                    blend(u, v, c00.reflectionWeight, c10.reflectionWeight, c01.reflectionWeight, c11.reflectionWeight);
            }
            vyxVec3 transmitted =
                translucent ? blend(u, v, c00.transmitted, c10.transmitted, c01.transmitted, c11.transmitted) : black;
            float fog = blend(u, v, c00.fog, c10.fog, c01.fog, c11.fog);
            target[q] = vyxCombineShading(diffuse, highlight, reflected, material, surface, transmitted, weight, fog,
                                          settings.fogColour);
        }
    }
}

void vyxSubdivideBlock(const vyxScene& scene, int size, vyxSample* topLeft, int windowStride, vyxVec3* output,
                       int outputStride, const vyxRenderSettings& settings, int clipWidth, int clipHeight) {
    // Halving must end at 1 with the midpoints on lattice points.
    VYX_ASSERT(size > 0 && (size & (size - 1)) == 0);
    if (clipWidth <= 0 || clipHeight <= 0) {
        return;
    }
    if (size <= 1) {
        if (!topLeft->traced) {
            vyxTraceSample(settings, scene, topLeft->origin, topLeft->direction, *topLeft);
        }
        if (isHit(*topLeft)) {
            *output = combineSample(*topLeft, settings);
        } else if (scene.cubeMap != nullptr) {
            *output = environment(scene, topLeft->direction);
        }
        return;
    }

    int h = size / 2;
    vyxSample& c00 = topLeft[0];
    vyxSample& c10 = topLeft[size];
    vyxSample& c01 = topLeft[static_cast<size_t>(size) * windowStride];
    vyxSample& c11 = topLeft[static_cast<size_t>(size) * windowStride + size];

    if (vyxBlockNeedsRefinement(c00, c10, c01, c11, settings)) {
        vyxSample& top = topLeft[h];
        vyxSample& bottom = topLeft[static_cast<size_t>(size) * windowStride + h];
        vyxSample& left = topLeft[static_cast<size_t>(h) * windowStride];
        vyxSample& right = topLeft[static_cast<size_t>(h) * windowStride + size];
        vyxSample& centre = topLeft[static_cast<size_t>(h) * windowStride + h];
        Midpoints m;
        m.add(c00, c10, top);
        m.add(c01, c11, bottom);
        m.add(c00, c01, left);
        m.add(c10, c11, right);
        m.add(c00, c11, centre);
        vyxTraceSamples(settings, scene, m.samples, m.origins, m.directions, m.count);

        // Quarters wholly outside the clip rectangle hold no pixel to write.
        vyxVec3* lower = output + static_cast<size_t>(h) * outputStride;
        vyxSubdivideBlock(scene, h, &c00, windowStride, output, outputStride, settings, clipWidth, clipHeight);
        if (clipWidth > h) {
            vyxSubdivideBlock(scene, h, &top, windowStride, output + h, outputStride, settings, clipWidth - h,
                              clipHeight);
        }
        if (clipHeight > h) {
            vyxSubdivideBlock(scene, h, &left, windowStride, lower, outputStride, settings, clipWidth, clipHeight - h);
            if (clipWidth > h) {
                vyxSubdivideBlock(scene, h, &centre, windowStride, lower + h, outputStride, settings, clipWidth - h,
                                  clipHeight - h);
            }
        }
        return;
    }

    int n = (settings.flags & RenderNoBlockInterpolation) != 0 ? 1 : size;
    int rows = smaller(n, clipHeight);
    int columns = smaller(n, clipWidth);
    if (!isHit(c00)) {
        fillMisses(scene, size, c00, c10, c01, c11, output, outputStride, rows, columns);
    } else {
        fillHits(size, c00, c10, c01, c11, output, outputStride, rows, columns, settings);
    }
}

static int roundUpToBlock(int value) { return (value + 7) / 8 * 8; }

// Traces lattice row y into window row `row` at every block corner and marks the other
// lattice points of the row untraced.
static void traceLatticeRow(const vyxScene& scene, const vyxRenderSettings& settings, const vyxBandRays& rays, int y,
                            vyxSample* row, int latticeWidth) {
    // The block corners a run at a time, traced together.
    const int kRun = 16;
    vyxSample* samples[kRun];
    vyxVec3 origins[kRun], directions[kRun];
    int n = 0;
    for (int x = 0; x <= latticeWidth; ++x) {
        if (x % 8 != 0) {
            row[x].traced = 0;
            continue;
        }
        vyxBandRay(rays, x, y, origins[n], directions[n]);
        samples[n++] = &row[x];
        if (n == kRun || x + 8 > latticeWidth) {
            vyxTraceSamples(settings, scene, samples, origins, directions, n);
            n = 0;
        }
    }
}

void vyxBandRay(const vyxBandRays& rays, int x, int y, vyxVec3& origin, vyxVec3& direction) {
    if (rays.camera != nullptr) {
        vyxPrimaryRay(*rays.camera, static_cast<float>(rays.column + x), static_cast<float>(y), origin, direction);
        return;
    }
    float u = static_cast<float>(x) / static_cast<float>(rays.width);
    float v = static_cast<float>(y) / static_cast<float>(rays.height);
    origin = rays.origin;
    direction =
        (1.0f - v) * ((1.0f - u) * rays.dirTL + u * rays.dirTR) + v * ((1.0f - u) * rays.dirBL + u * rays.dirBR);
}

bool vyxRenderBand(const vyxScene& scene, const vyxBandRays& rays, int width, int height, vyxVec3* output,
                   int outputStride, const vyxRenderSettings& settings) {
    return vyxRenderBandRows(scene, rays, width, height, 0, height, output, outputStride, settings);
}

bool vyxRenderBandRows(const vyxScene& scene, const vyxBandRays& rays, int width, int height, int firstRow,
                       int rowCount, vyxVec3* output, int outputStride, const vyxRenderSettings& settings) {
    int endRow = rowCount < height - firstRow ? firstRow + rowCount : height;
    if (width <= 0 || height <= 0 || firstRow < 0 || firstRow >= endRow) {
        return true;
    }
    // A part starts on a strip border, or its top lattice row would not be a block edge.
    VYX_ASSERT_EQ(firstRow % 8, 0);
    VYX_ASSERT_GE(outputStride, width);
    // The lattice reaches the next multiple of 8 beyond the band so that every block is
    // whole; points past the edge are ordinary rays, and the blocks clip their writes.
    int latticeWidth = roundUpToBlock(width);
    int stride = latticeWidth + 1;
    auto* window = static_cast<vyxSample*>(calloc(static_cast<size_t>(stride) * 9, sizeof(vyxSample)));
    if (window == nullptr) {
        return false;
    }
    vyxSample* lastRow = window + static_cast<size_t>(8) * stride;
    traceLatticeRow(scene, settings, rays, firstRow, lastRow, latticeWidth);
    for (int s = firstRow; s < endRow; s += 8) {
        for (int i = 0; i < 8 * stride; ++i) {
            window[i].traced = 0;
        }
        // The previous strip's bottom edge, with every sample traced on it, becomes
        // this strip's top edge.
        memcpy(window, lastRow, static_cast<size_t>(stride) * sizeof(vyxSample));
        traceLatticeRow(scene, settings, rays, s + 8, lastRow, latticeWidth);
        int clipHeight = smaller(8, height - s);
        vyxVec3* strip = output + static_cast<size_t>(s - firstRow) * outputStride;
        for (int c = 0; c < width; c += 8) {
            vyxSubdivideBlock(scene, 8, window + c, stride, strip + c, outputStride, settings, width - c, clipHeight);
        }
    }
    free(window);
    return true;
}

void vyxRenderSubdivision(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                          const vyxRenderSettings& settings) {
    VYX_ASSERT_EQ(static_cast<uint32_t>(image.width), camera.imageWidth);
    VYX_ASSERT_EQ(static_cast<uint32_t>(image.height), camera.imageHeight);
    if (!vyxFrameFitsCamera(image, camera)) {
        return;
    }
    // Pixels the blocks leave unwritten (misses without an environment, unrefined blocks
    // under RenderNoBlockInterpolation) are black, as in the threaded renderer.
    memset(image.pixels, 0, static_cast<size_t>(image.width) * image.height * sizeof(vyxVec3));
    vyxBandRays rays = {};
    rays.camera = &camera;
    rays.column = 0;
    if (!vyxRenderBand(scene, rays, image.width, image.height, image.pixels, image.width, settings)) {
        fprintf(stderr, "vyx: out of memory for the subdivision sample window; the frame stays black\n");
    }
}
