#include "render/frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "geometry/mesh.h"
#include "render/standard.h"
#include "render/subdivision.h"
#include "trace/light.h"
#include "trace/random.h"
#include "trace/raystats.h"
#include "trace/shadow.h"
#include "util/assert.h"
#include "util/parallel.h"

// Blocks of work per phase at most; larger thread counts are clamped.
static constexpr int kMaxWorkers = 64;

// Rows of one part of a subdivision band: 16 block strips.
static constexpr int kPartRows = 128;

static int workerCount(const vyxRenderSettings& settings) {
    int n = settings.threadCount;
    return n < 1 ? 1 : (n > kMaxWorkers ? kMaxWorkers : n);
}

// Runs the worker on every argument block, the blocks shared out among the pool's
// threads and the calling one (vyxParallelFor), each taking the next block in index
// order until none is left.
template <typename Args>
static void runWorkers(int (*worker)(Args*), Args* args, int count) {
    vyxParallelFor(count, vyxWorkerCores(), [&](int k) { worker(&args[k]); });
}

int vyxStandardRowsWorker(vyxStandardWorkerArgs* args) {
    int width = static_cast<int>(args->camera->imageWidth);
    int height = static_cast<int>(args->camera->imageHeight);
    size_t slot = 0;
    for (int y = args->firstRow; y < height; y += args->rowStep, ++slot) {
        vyxShadeRow(*args->scene, *args->camera, y, args->rows + slot * width, args->settings);
    }
    vyxRayStatsFlushThread();
    return 1;
}

int vyxAntialiasRowsWorker(vyxAntialiasWorkerArgs* args) {
    const FrameBuffer& image = *args->image;
    for (int y = args->firstRow; y + 1 < image.height; y += args->rowStep) {
        vyxAntialiasRow(*args->scene, *args->camera, y, args->firstPass, image.pixels, image.width, image.height,
                        args->settings);
    }
    vyxRayStatsFlushThread();
    return 1;
}

int vyxSubdivisionBandWorker(vyxSubdivisionWorkerArgs* args) {
    if (args->bandWidth > 0 && args->height > 0) {
        vyxBandRays rays = {};
        rays.camera = nullptr;
        rays.origin = args->origin;
        rays.dirTL = args->dirTL;
        rays.dirTR = args->dirTR;
        rays.dirBL = args->dirBL;
        rays.dirBR = args->dirBR;
        rays.width = args->bandWidth;
        rays.height = args->height;
        int width = static_cast<int>(args->bandWidth);
        int stride = static_cast<int>(args->bandStride);
        vyxVec3* firstRow = args->band + static_cast<size_t>(args->firstRow) * args->bandStride;
        if (!vyxRenderBandRows(*args->scene, rays, width, static_cast<int>(args->height),
                               static_cast<int>(args->firstRow), static_cast<int>(args->rowCount), firstRow, stride,
                               args->settings)) {
            fprintf(stderr, "vyx: out of memory for a subdivision band; it stays black\n");
        }
    }
    vyxRayStatsFlushThread();
    return 1;
}

// Frees the first pass's argument blocks and every row buffer they hold; safe on null.
static void freeStandardArgs(vyxStandardWorkerArgs* args, int n) {
    for (int k = 0; args != nullptr && k < n; ++k) {
        free(args[k].rows);
    }
    free(args);
}

// The first pass's argument blocks: worker k shades rows k, k + n, ... into its own
// buffer, back to back. Null, with nothing left allocated, when memory runs out.
static vyxStandardWorkerArgs* allocStandardArgs(const vyxScene& scene, const vyxCamera& camera,
                                                const vyxRenderSettings& settings, int n, int height, size_t rowBytes) {
    auto* args = static_cast<vyxStandardWorkerArgs*>(calloc(n, sizeof(vyxStandardWorkerArgs)));
    if (args == nullptr) {
        return nullptr;
    }
    for (int k = 0; k < n; ++k) {
        int rowCount = k < height ? (height - 1 - k) / n + 1 : 0;
        args[k].firstRow = k;
        args[k].rowStep = n;
        args[k].scene = &scene;
        args[k].camera = &camera;
        args[k].settings = settings;
        if (rowCount > 0) {
            args[k].rows = static_cast<vyxVec3*>(malloc(rowBytes * rowCount));
            if (args[k].rows == nullptr) {
                freeStandardArgs(args, n);
                return nullptr;
            }
        }
    }
    return args;
}

// The antialiasing pass on n workers. Every quad reads the row below it, which another
// worker replaces, so all workers read the first-pass colours from a copy taken before
// the pass. Returns false, with the image untouched, when memory runs out.
static bool antialiasThreaded(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                              const vyxRenderSettings& settings, int n) {
    size_t imageBytes = static_cast<size_t>(image.width) * image.height * sizeof(vyxVec3);
    auto* firstPass = static_cast<vyxVec3*>(malloc(imageBytes));
    auto* args = static_cast<vyxAntialiasWorkerArgs*>(calloc(n, sizeof(vyxAntialiasWorkerArgs)));
    bool allocated = firstPass != nullptr && args != nullptr;
    if (allocated) {
        memcpy(firstPass, image.pixels, imageBytes);
        for (int k = 0; k < n; ++k) {
            args[k].scene = &scene;
            args[k].camera = &camera;
            args[k].image = &image;
            args[k].firstPass = firstPass;
            args[k].firstRow = k;
            args[k].rowStep = n;
            args[k].settings = settings;
        }
        runWorkers(vyxAntialiasRowsWorker, args, n);
    }
    free(args);
    free(firstPass);
    return allocated;
}

void vyxRenderStandardThreaded(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                               const vyxRenderSettings& settings) {
    if (!vyxFrameFitsCamera(image, camera)) {
        return;
    }
    int n = workerCount(settings);
    int width = image.width;
    int height = image.height;
    size_t rowBytes = static_cast<size_t>(width) * sizeof(vyxVec3);

    vyxStandardWorkerArgs* args = allocStandardArgs(scene, camera, settings, n, height, rowBytes);
    if (args == nullptr) {
        vyxRenderStandard(scene, camera, image, settings);
        return;
    }
    runWorkers(vyxStandardRowsWorker, args, n);
    for (int y = 0; y < height; ++y) {
        const vyxVec3* source = args[y % n].rows + static_cast<size_t>(y / n) * width;
        memcpy(image.pixels + static_cast<size_t>(y) * width, source, rowBytes);
    }
    freeStandardArgs(args, n);

    if ((settings.flags & RenderAntialias) == 0 || height < 2) {
        return;
    }
    if (!antialiasThreaded(scene, camera, image, settings, n)) {
        // Top to bottom on one thread the image is its own first-pass source.
        for (int y = 0; y + 1 < height; ++y) {
            vyxAntialiasRow(scene, camera, y, image.pixels, image.pixels, width, height, settings);
        }
    }
}

void vyxRenderSubdivisionThreaded(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image,
                                  const vyxRenderSettings& settings) {
    if (!vyxFrameFitsCamera(image, camera)) {
        return;
    }
    int n = workerCount(settings);
    int width = image.width;
    int height = image.height;

    // Each band is rendered in parts of whole block strips, so that the few bands where
    // the expensive surfaces are do not leave the other cores idle at the end. A part
    // traces its top lattice row anew (one row of band corners per part).
    int partRows = kPartRows;
    int parts = (height + partRows - 1) / partRows;
    size_t blockCount = static_cast<size_t>(n) * parts;
    auto* args = static_cast<vyxSubdivisionWorkerArgs*>(calloc(blockCount, sizeof(vyxSubdivisionWorkerArgs)));
    if (args == nullptr) {
        vyxRenderSubdivision(scene, camera, image, settings);
        return;
    }
    // Every band writes its columns of the cleared image in place (a band buffer of its
    // own, then a copy, would give the same pixels).
    memset(image.pixels, 0, static_cast<size_t>(width) * height * sizeof(vyxVec3));
    for (int k = 0; k < n; ++k) {
        vyxBandRays rays;
        int32_t start = vyxSubdivisionBand(camera, n, k, rays);
        vyxSubdivisionWorkerArgs band;
        memset(&band, 0, sizeof(band));
        band.settings = settings;
        band.scene = &scene;
        band.bandWidth = rays.width;
        band.height = rays.height;
        band.origin = rays.origin;
        band.dirTL = rays.dirTL;
        band.dirTR = rays.dirTR;
        band.dirBL = rays.dirBL;
        band.dirBR = rays.dirBR;
        band.band = rays.width > 0 ? image.pixels + start : nullptr;
        band.bandStride = static_cast<uint32_t>(width);
        for (int p = 0; p < parts; ++p) {
            vyxSubdivisionWorkerArgs& block = args[static_cast<size_t>(k) * parts + p];
            block = band;
            block.firstRow = static_cast<uint32_t>(p * partRows);
            VYX_ASSERT(block.firstRow < static_cast<uint32_t>(height));
            block.rowCount = static_cast<uint32_t>(partRows);
        }
    }
    runWorkers(vyxSubdivisionBandWorker, args, static_cast<int>(blockCount));
    free(args);
}

int32_t vyxFrameBlockCount(const vyxRenderSettings& settings) { return workerCount(settings); }

int32_t vyxSubdivisionBand(const vyxCamera& camera, int32_t bandCount, int32_t k, vyxBandRays& rays) {
    VYX_ASSERT(bandCount >= 1 && k >= 0 && k < bandCount);
    long long width = camera.imageWidth;
    // Bands are whole multiples of 8 columns wide, so they cut the image along the same
    // block borders as the single-threaded renderer; the last band takes whatever is
    // left, and bands that start past the right edge are empty. When the width divides
    // into n bands of a multiple of 8, these are exactly those bands.
    long long share = width / bandCount;
    long long bandStep = share < 1 ? 8 : (share + 7) / 8 * 8;
    long long start = static_cast<long long>(k) * bandStep;
    long long left = start < width ? width - start : 0;
    long long bandWidth = (k == bandCount - 1 || left < bandStep) ? left : bandStep;
    VYX_ASSERT(bandWidth == 0 || (start >= 0 && start + bandWidth <= width));
    memset(&rays, 0, sizeof(rays));
    rays.camera = nullptr;
    rays.width = static_cast<uint32_t>(bandWidth);
    rays.height = camera.imageHeight;
    float x0 = static_cast<float>(start < width ? start : width);
    float x1 = static_cast<float>(start + bandWidth < width ? start + bandWidth : width);
    float bottom = static_cast<float>(camera.imageHeight);
    vyxPrimaryRay(camera, x0, 0.0f, rays.origin, rays.dirTL);
    vyxPrimaryRay(camera, x1, 0.0f, rays.origin, rays.dirTR);
    vyxPrimaryRay(camera, x0, bottom, rays.origin, rays.dirBL);
    vyxPrimaryRay(camera, x1, bottom, rays.origin, rays.dirBR);
    rays.column = static_cast<int32_t>(start < width ? start : width);
    return rays.column;
}

void vyxPrepareFrame(const vyxScene& scene) {
    // The transforms cache their inverse and normal matrices lazily; filling them here,
    // before any worker starts, leaves the workers only reading them.
    for (int i = 0; i < scene.meshCount; ++i) {
        vyxMesh* mesh = scene.meshes[i];
        if (mesh == nullptr) {
            continue;
        }
        vyxTransformPrepare(mesh->transform);
        if (mesh->bih != nullptr) {
            vyxTransformPrepare(mesh->bih->transform);
        }
        vyxUpdateWorldBounds(*mesh);
    }
    vyxMarkOpaqueMeshes(scene);
    for (int i = 0; i < scene.lightCount; ++i) {
        if (scene.lights[i] != nullptr) {
            vyxUpdateLight(*scene.lights[i]);
        }
    }
    if (!vyxRandomTableFilled.load()) {
        vyxFillRandomTable();
    }
}

void vyxRenderFrame(const vyxScene& scene, const vyxCamera& camera, FrameBuffer& image, vyxRenderSettings& settings) {
    vyxPrepareFrame(scene);
    bool standard = (settings.flags & RenderStandard) != 0;
    bool subdivision = (settings.flags & RenderSubdivision) != 0;
    if (!standard && !subdivision) {
        return;
    }
    if (!vyxFrameFitsCamera(image, camera)) {
        fprintf(stderr, "vyx: frame of %d x %d does not match the camera's %u x %u; nothing rendered\n", image.width,
                image.height, camera.imageWidth, camera.imageHeight);
        return;
    }
    bool threaded = (settings.flags & RenderThreaded) != 0;
    if (standard) {
        if (threaded) {
            vyxRenderStandardThreaded(scene, camera, image, settings);
        } else {
            vyxRenderStandard(scene, camera, image, settings);
        }
    } else if (threaded) {
        vyxRenderSubdivisionThreaded(scene, camera, image, settings);
    } else {
        vyxRenderSubdivision(scene, camera, image, settings);
    }
}
