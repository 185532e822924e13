// The sample scene's lifecycle: construction, Init, Load, Unload and the display-mode
// switch.

#include "app/sample_scene.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "SDL.h"
#include "SDL_ttf.h"

#include "app/cluster.h"
#include "app/image.h"
#include "app/model_file.h"
#include "geometry/scene.h"
#include "geometry/shapes.h"
#include "scenefiles/text.h"
#include "util/escape.h"
#include "util/file.h"
#include "util/file_bundle.h"
#include "util/parallel.h"

GSSampleScene vyxSampleScene;

// Asset names, found in the scene's asset folder. Model textures are named relative to
// the folder of their library.
static const char* const kCheckerPath = "checker-board.png";
static const char* const kSandPath = "sand.jpg";
static const char* const kFacePaths[6] = {"xpos.float", "xneg.float", "ypos.float",
                                          "yneg.float", "zpos.float", "zneg.float"};
static const char* const kFontPath = "Prelude-Medium.ttf";
static const char* const kModelName = "venus.obj";

// The render presets the arrow keys step through: the subdivision renderer with more and
// more refinement checks, then the standard renderer without and with antialiasing.
static const int32_t kPresets[] = {
    RenderSubdivision | RenderThreaded,
    RenderSubdivision | RenderThreaded | RenderCheckShadows,
    RenderSubdivision | RenderThreaded | RenderCheckShadows | RenderCheckSpecular,
    RenderSubdivision | RenderThreaded | RenderCheckShadows | RenderCheckSpecular | RenderCheckReflections,
    RenderStandard | RenderThreaded | RenderJitterSoftShadows,
    RenderStandard | RenderThreaded | RenderAntialias | RenderJitterSoftShadows,
};

// Samples a pixel after which a still view stops refining: the picture no longer changes
// visibly, and the program idles instead of keeping both cores busy.
static const int32_t kRefineCap = 256;

const vyxVec3 vyxSampleModelCentre = {0.0f, -0.0925f, 0.0f};
const float vyxSampleModelHeight = 1.655f;

void vyxFitToSampleModel(vyxVec3 low, vyxVec3 high, float& scale, vyxVec3& offset) {
    vyxVec3 size = high - low;
    float largest = std::fmax(size.x, std::fmax(size.y, size.z));
    // A flat model lying down would be blown up without bound by its height alone.
    float measured = size.y >= 1e-3f * largest ? size.y : largest;
    scale = measured > 0.0f && std::isfinite(measured) && std::isfinite(vyxSampleModelHeight / measured)
                ? vyxSampleModelHeight / measured
                : 1.0f;
    vyxVec3 centre = (low + high) * 0.5f;
    offset = vyxSampleModelCentre - centre * scale;
    if (!std::isfinite(offset.x) || !std::isfinite(offset.y) || !std::isfinite(offset.z))
        offset = {0.0f, 0.0f, 0.0f};
}

GSSampleScene::GSSampleScene() {
    assetFolder = "./";
    importRun = vyxDefaultImportHelperRun();
    sampleModelInstead = true;
    cluster = nullptr;
    wantsFont = true;
    std::random_device device;
    seedState = (static_cast<uint64_t>(device()) << 32) ^ device();
    stillSeed = 1;
    // Zero every plain member first so that Unload, the destructor and the tools that
    // build a scene by hand see empty meshes and null pointers.
    modelFromFile = false;
    modelFitScale = 1.0f;
    modelFitOffset = {0.0f, 0.0f, 0.0f};
    reloadRequested = false;
    loaded = false;
    cameraCount = 4;
    presetCount = static_cast<int32_t>(sizeof(kPresets) / sizeof(kPresets[0]));
    presetTable = static_cast<int32_t*>(std::malloc(sizeof(kPresets)));
    if (presetTable != nullptr)
        std::memcpy(presetTable, kPresets, sizeof(kPresets));
    presentSurface = nullptr;
    presentPixels = nullptr;
    animationTime = 0;
    paused = false;
    refinement = vyxMakeRefinement(kRefineCap);
    stillMean = {0, 0, nullptr};
    presetIndex = 4;
    std::memset(&camera, 0, sizeof(camera));
    std::memset(&scene, 0, sizeof(scene));
    sunLight = skyLight = pointLight = nullptr;
    std::memset(&torus, 0, sizeof(torus));
    std::memset(&torusCopy, 0, sizeof(torusCopy));
    std::memset(&terrain, 0, sizeof(terrain));
    std::memset(&model, 0, sizeof(model));
    vyxTransformIdentity(torus.transform);
    vyxTransformIdentity(torusCopy.transform);
    vyxTransformIdentity(terrain.transform);
    vyxTransformIdentity(model.transform);
    std::memset(&cubeFaces, 0, sizeof(cubeFaces));
    std::memset(&checkerTexture, 0, sizeof(checkerTexture));
    std::memset(&sandTexture, 0, sizeof(sandTexture));
    noInterpolationToggle = false;
    aoToggle = false;
    cameraIndex = 0;
    exposure = vyxInitialExposure(0.0f);
    font = nullptr;
    frameTime = 0.00001f;
    walkPosition = {0.0f, 0.0f, 0.0f};
    yaw = pitch = 0.0f;
    hudVisible = true;
    std::memset(&context, 0, sizeof(context));
    savedFullscreenWidth = 0;
    savedFullscreenHeight = 0;
    firstMotionSeen = false;
    std::memset(heldKeys, 0, sizeof(heldKeys));
}

GSSampleScene::~GSSampleScene() {
    FreePresentImage();
    vyxFreeFrame(stillMean);
    std::free(presetTable);
    presetTable = nullptr;
    Unload();
}

void GSSampleScene::FreePresentImage() {
    // A refined picture lives in the presentation image: a new one starts over.
    vyxRefineReset(refinement);
    if (presentSurface != nullptr)
        SDL_FreeSurface(presentSurface);
    std::free(presentPixels);
    presentSurface = nullptr;
    presentPixels = nullptr;
}

void GSSampleScene::CreatePresentImage(int32_t width, int32_t height) {
    FreePresentImage();
    if (width <= 0 || height <= 0)
        return;
    presentPixels = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(width) * height * 3));
    if (presentPixels == nullptr) {
        std::fprintf(stderr, "vyx: out of memory for a %dx%d presentation image\n", width, height);
        return;
    }
    std::memset(presentPixels, 0, static_cast<size_t>(width) * height * 3);
    presentSurface =
        SDL_CreateRGBSurfaceFrom(presentPixels, width, height, 24, width * 3, 0x000000FF, 0x0000FF00, 0x00FF0000, 0);
    if (presentSurface == nullptr) {
        std::fprintf(stderr, "vyx: cannot create the presentation surface: %s\n", SDL_GetError());
        std::free(presentPixels);
        presentPixels = nullptr;
    }
}

void GSSampleScene::Init(const AppContext& ctx) {
    context = ctx;
    yaw = 0.0f;
    pitch = 0.0f;
    camera.imageWidth = static_cast<uint32_t>(context.renderWidth);
    camera.imageHeight = static_cast<uint32_t>(context.renderHeight);
    walkPosition = {0.0f, 0.0f, 0.0f};
    exposure = vyxInitialExposure(static_cast<float>(SDL_GetTicks()));
    presetIndex = 0;
    cameraIndex = 0;
    noInterpolationToggle = false;
    animationTime = 0.0f;
    paused = false;
    // The exposure starts over too, so the view may look different however still it stands.
    vyxRefineReset(refinement);
    if (presentPixels == nullptr) {
        // Headless callers may have no window: the presentation image then takes the
        // windowed size.
        int32_t width = context.screen != nullptr ? context.screen->w : context.windowWidth;
        int32_t height = context.screen != nullptr ? context.screen->h : context.windowHeight;
        CreatePresentImage(width, height);
    }
}

// An image texture from path; on failure (reported by the loader) the texture is empty:
// null data, 0 x 0.
static void loadImage(const char* path, vyxTexture& texture, uint8_t filter) {
    std::memset(&texture, 0, sizeof(texture));
    if (!vyxLoadImageTexture(path, texture, filter))
        std::memset(&texture, 0, sizeof(texture));
}

void GSSampleScene::LoadCubeFaces(const std::string& folder) {
    for (int face = 0; face < 6; ++face) {
        cubeFaces.faces[face] = nullptr;
        const std::string path = folder + kFacePaths[face];
        std::string bytes;
        if (!vyxReadWholeFile(path.c_str(), bytes)) {
            std::fprintf(stderr, "vyx: cannot open cube face \"%s\": that face stays empty\n",
                         vyxEscapeText(path).c_str());
            continue;
        }
        float* texels = vyxReadFloatFaceFromBytes(bytes.data(), bytes.size(), path.c_str());
        if (texels == nullptr)
            continue;
        vyxTexture* texture = new vyxTexture;
        vyxMakeTexture(*texture, 256, 256, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
        cubeFaces.faces[face] = texture;
    }
}

void GSSampleScene::LoadModelTextures() {
    for (int32_t m = 0; m < model.materialCount; ++m) {
        vyxMaterial& material = model.materials[m];
        if (material.textureFile == nullptr)
            continue;
        vyxTexture* texture = new vyxTexture;
        loadImage(material.textureFile, *texture, FilterBilinear);
        if (texture->data != nullptr) {
            material.texture = texture;
        } else {
            // A map that failed to load would paint the surface black; the material's
            // own colour is the better stand-in.
            delete texture;
            material.texture = nullptr;
        }
        std::free(material.textureFile);
        material.textureFile = nullptr;
    }
}

void GSSampleScene::AssembleScene() {
    // The copy shares the torus arrays and structure; it owns nothing.
    std::memcpy(static_cast<void*>(&torusCopy), &torus, sizeof(vyxMesh));
    // An empty sand texture would sample as black; without it the terrain keeps the
    // material's own sandy colour.
    if (terrain.materialCount > 0 && terrain.materials != nullptr)
        terrain.materials[0].texture = sandTexture.data != nullptr ? &sandTexture : nullptr;

    sunLight = new vyxLight(vyxZeroLight());
    sunLight->kind = LightDisc;
    sunLight->direction = {-0.375f, -0.484f, -1.0f};
    sunLight->colour = {0.75f, 0.7f, 0.65f};
    sunLight->range = 0.0f;
    sunLight->angle = static_cast<float>(2 * vyxPi / 180); // 2 degrees

    skyLight = new vyxLight(vyxZeroLight());
    skyLight->kind = LightHemisphere;
    skyLight->colour = {0.096f, 0.112f, 0.136f};
    skyLight->groundColour = {0.03f, 0.03f, 0.03f};
    skyLight->direction = {0.0f, 1.0f, 0.0f};

    pointLight = new vyxLight(vyxZeroLight());
    pointLight->kind = LightPoint;
    pointLight->position = {0.0f, 10.0f, 0.0f};
    pointLight->colour = {10.0f, 10.0f, 10.0f};
    pointLight->angle = 9.0f; // the rational falloff's k, 3 squared
    pointLight->falloff = FalloffRational;

    vyxSceneInit(scene);
    vyxSceneAddMesh(scene, &terrain);
    vyxSceneAddMesh(scene, &model);
    vyxSceneAddLight(scene, sunLight);
    vyxSceneAddLight(scene, skyLight);
    scene.cubeMap = &cubeFaces;
}

void GSSampleScene::Load() {
    // Loading over a loaded scene would leak everything the first load holds.
    if (loaded)
        Unload();
    // The other ranks load from the files this one reads, recorded on the way.
    const bool sharing = vyxClusterHasPeers(cluster);
    if (sharing)
        vyxBundleRecordStart();
    const std::string folder = vyxFolderPrefix(assetFolder.c_str());
    loadImage((folder + kCheckerPath).c_str(), checkerTexture, FilterNearest);
    loadImage((folder + kSandPath).c_str(), sandTexture, FilterBilinear);

    // Two halves run on two cores at once when there are two: one builds the torus and
    // the terrain (their hierarchies included) and reads the six cube faces, the other
    // opens the font and reads the model and its textures. They share nothing but the
    // checker texture, which is loaded by now.
    auto buildShapes = [this, &folder] {
        // The torus is only textured when the checker image loaded.
        vyxMakeTorus(torus, checkerTexture.data != nullptr ? &checkerTexture : nullptr, 0.8f, 0.2f);
        LoadCubeFaces(folder);
        vyxBuildTerrainMesh(terrain);
    };
    auto readFiles = [this, &folder] {
        if (wantsFont) {
            const std::string fontPath = folder + kFontPath;
            font = TTF_OpenFont(fontPath.c_str(), 12);
            if (font != nullptr)
                TTF_SetFontHinting(font, TTF_HINTING_LIGHT);
            else
                std::fprintf(stderr, "vyx: cannot open font \"%s\": the overlay is hidden\n",
                             vyxEscapeText(fontPath).c_str());
        }
        LoadModel();
        LoadModelTextures();
    };
    vyxParallelFor(2, 0, [&](int task) { task == 0 ? readFiles() : buildShapes(); });
    AssembleScene();
    if (sharing)
        vyxClusterShareScene(cluster, vyxBundleRecordStop(), modelPath, assetFolder, scene);
    // The same view of reloaded assets may look different.
    vyxRefineReset(refinement);
    loaded = true;
}

void GSSampleScene::LoadModel() {
    modelFromFile = false;
    modelProblem.clear();
    modelFitScale = 1.0f;
    modelFitOffset = {0.0f, 0.0f, 0.0f};
    if (!modelPath.empty()) {
        std::string why;
        if (vyxLoadModelFile(modelPath.c_str(), importRun, model, why)) {
            modelFromFile = true;
            // The hierarchy's bounds are those of every triangle corner (an empty
            // model's are a zero box, so it is left unfitted).
            if (model.triangleCount > 0 && model.bih != nullptr) {
                const float* low = model.bih->boundsMin;
                const float* high = model.bih->boundsMax;
                vyxFitToSampleModel({low[0], low[1], low[2]}, {high[0], high[1], high[2]}, modelFitScale,
                                    modelFitOffset);
            }
            return;
        }
        modelProblem = why;
        if (!sampleModelInstead)
            return;
        std::fprintf(stderr, "vyx: the model %s could not be read: %s; showing the sample model\n",
                     vyxEscapeText(modelPath).c_str(), vyxEscapeText(why).c_str());
    }
    vyxLoadMeshFromObj((vyxFolderPrefix(assetFolder.c_str()) + kModelName).c_str(), model);
}

void GSSampleScene::Unload() {
    if (!loaded)
        return;
    if (font != nullptr)
        TTF_CloseFont(font);
    font = nullptr;

    for (int face = 0; face < 6; ++face) {
        vyxTexture* texture = cubeFaces.faces[face];
        if (texture == nullptr)
            continue;
        std::free(texture->data);
        delete texture;
        cubeFaces.faces[face] = nullptr;
    }
    std::free(sandTexture.data);
    std::memset(&sandTexture, 0, sizeof(sandTexture));
    std::free(checkerTexture.data);
    std::memset(&checkerTexture, 0, sizeof(checkerTexture));

    // The copy's arrays are the torus arrays: freed once, through the torus.
    vyxFreeMesh(torus);
    std::memset(static_cast<void*>(&torusCopy), 0, sizeof(vyxMesh));
    vyxTransformIdentity(torusCopy.transform);
    vyxFreeMesh(terrain);

    // The model's material textures belong to the scene, not to the mesh.
    for (int32_t m = 0; m < model.materialCount && model.materials != nullptr; ++m) {
        vyxTexture* texture = model.materials[m].texture;
        if (texture == nullptr)
            continue;
        std::free(texture->data);
        delete texture;
        model.materials[m].texture = nullptr;
    }
    vyxFreeMesh(model);

    delete sunLight;
    delete skyLight;
    delete pointLight;
    sunLight = skyLight = pointLight = nullptr;
    vyxSceneFree(scene);
    loaded = false;
}

// Sets a video mode with the program's flags; null when SDL refuses it.
static SDL_Surface* setMode(int width, int height, bool fullscreen) {
    Uint32 flags = SDL_HWSURFACE | SDL_DOUBLEBUF;
    if (fullscreen)
        flags |= SDL_FULLSCREEN;
    return SDL_SetVideoMode(width, height, 32, flags);
}

void GSSampleScene::SetDisplayMode(bool fullscreenWanted) {
    int previousWidth = context.screen != nullptr ? context.screen->w : context.windowWidth;
    int previousHeight = context.screen != nullptr ? context.screen->h : context.windowHeight;
    bool previousFullscreen = context.fullscreen;
    if (context.fullscreen) {
        savedFullscreenWidth = previousWidth;
        savedFullscreenHeight = previousHeight;
    }
    FreePresentImage();

    // The first full-screen switch asks for 0 x 0: SDL keeps the current display size.
    SDL_Surface* screen = fullscreenWanted ? setMode(savedFullscreenWidth, savedFullscreenHeight, true)
                                           : setMode(context.windowWidth, context.windowHeight, false);
    bool fullscreenNow = fullscreenWanted;
    if (screen == nullptr) {
        std::fprintf(stderr, "vyx: cannot switch to %s mode: %s\n", fullscreenWanted ? "full-screen" : "windowed",
                     SDL_GetError());
        // A failed switch may have torn down the old surface: set the previous mode again,
        // and as a last resort the plain window.
        screen = setMode(previousWidth, previousHeight, previousFullscreen);
        fullscreenNow = previousFullscreen;
        if (screen == nullptr) {
            screen = setMode(context.windowWidth, context.windowHeight, false);
            fullscreenNow = false;
        }
        if (screen == nullptr) {
            std::fprintf(stderr, "vyx: no video mode can be set (%s); stopping\n", SDL_GetError());
            if (context.running != nullptr)
                *context.running = 0;
        } else {
            std::fprintf(stderr, "vyx: staying in %s mode %dx%d\n", fullscreenNow ? "full-screen" : "windowed",
                         screen->w, screen->h);
        }
    }
    context.fullscreen = fullscreenNow;
    context.screen = screen;
    if (screen != nullptr)
        CreatePresentImage(screen->w, screen->h);
}
