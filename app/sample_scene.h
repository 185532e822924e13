#pragma once
// GSSampleScene: the one game state: the fixed sample scene, its input, animation and
// presentation.

#include <cstdint>
#include <string>

#include "app/app_context.h"
#include "app/game_state.h"
#include "app/import_helper.h"
#include "app/postprocess.h"
#include "app/refine.h"
#include "geometry/mesh.h"
#include "geometry/scene.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/light.h"
#include "trace/texture.h"

struct SDL_Surface;
struct vyxCluster;
typedef struct _TTF_Font TTF_Font;

class GSSampleScene : public GameState {
public:
    GSSampleScene();
    ~GSSampleScene() override;

    void Init(const AppContext& context) override;
    void Load() override;
    void Unload() override;
    void Update(float frameTime) override;
    void Render() override;

    // Load's model step: modelPath's model fitted to the sample model's place, or the
    // sample model when modelPath is empty or cannot be read.
    void LoadModel();
    // Load's other steps: the six sky faces from folder; the model's material textures;
    // the lights and the scene's lists, once everything is loaded.
    void LoadCubeFaces(const std::string& folder);
    void LoadModelTextures();
    void AssembleScene();

    // The seed of the next frame's random draws (vyxRenderSettings::jitterSeed), from
    // the scene's generator: never 0.
    uint32_t NextSeed();
    // The seed of sample index of the still view: the same for the same view and index
    // however the samples are shared out.
    uint32_t SampleSeed(int32_t index) const;

    // The full-screen switch of the "F" key. A mode that cannot be set keeps (or
    // restores) a working one and says so on stderr.
    void SetDisplayMode(bool fullscreen);

    // Render's first half: the four mesh transforms from the animation clock and the
    // camera for the current mode.
    void Animate();
    // Render's tracing step alone: flags from the preset and toggles, then the dispatch
    // into frame (renderWidth x renderHeight). Used by Render and by headless tools.
    void TraceFrame(FrameBuffer& frame);
    // The flags word of the current frame: preset plus the two toggles.
    int32_t FrameFlags() const;
    // Writes presentSurface as a BMP named from the local date, then the same pixels as a
    // PNG of the same name; returns false (with a message on stderr) when either cannot be
    // written. A file that fails halfway is removed; the PNG is not tried without the BMP.
    bool TakeScreenshot();
    // Render's post-processing alone, without any window call: exposure (clock `now` in
    // ms; measured and adapted only when adaptExposure, otherwise applied as it stands),
    // smoothing, the two curves, resampling to the presentation size when it differs and
    // the 8-bit conversion into presentPixels. frame is modified in place.
    void ProcessFrame(FrameBuffer& frame, float now, bool adaptExposure = true);
    // The line of the overlay saying how many ranks render and how long the frame waited
    // for the slowest; false, line untouched, when there is no cluster.
    bool ClusterText(char* line, size_t size) const;
    // Render's tracing and post-processing, after Animate and vyxUpdateCamera, as
    // refinement plans it: the preset's picture when the view changed; one more sample a
    // pixel added to stillMean while it stands still, shown with the exposure of its first
    // frame; nothing once the mean holds refinement.cap samples (presentPixels then keeps
    // the last picture). now is the clock in ms. Used by Render and by headless tools.
    vyxRefineStep RefineFrame(float now);
    // The line under the picture while paused or refining ("Paused", the sample count);
    // false, with line untouched, when there is none.
    bool StatusText(char* line, size_t size) const;
    // The overlay text for the selected preset into lines; returns the line count (3 for
    // the standard presets, 5 for the subdivision ones).
    int32_t OverlayText(char lines[5][1024]) const;
    // Frees presentSurface and presentPixels and makes them anew at width x height;
    // both stay null when the size is not positive or memory runs out.
    void CreatePresentImage(int32_t width, int32_t height);
    void FreePresentImage();

    // The model Load reads in place of the sample model (set by the caller; empty = the
    // sample model), of any format vyxLoadModelFile reads, with the import helper run as
    // importRun says (vyxDefaultImportHelperRun unless the caller changes it). A model
    // that cannot be read is reported in one line and the sample model shown, unless the
    // caller clears sampleModelInstead: then Load leaves the report to the caller
    // (modelProblem) and the sample model stays out.
    std::string modelPath;
    vyxImportHelperRun importRun;
    bool sampleModelInstead;  // set by the caller; true unless changed
    std::string modelProblem; // derived by Load: why modelPath could not be read; "" = read
    // The folder Load reads the scene assets from (set by the caller; "./" = the working
    // directory). Screenshots go to the working directory whatever it is.
    std::string assetFolder;
    // Set by the caller when other processes render with this one (app/cluster.h): rank
    // 0's Load records the files it reads and sends them, and frames and still samples
    // are shared out. Null: one process.
    vyxCluster* cluster;
    // Whether Load opens the overlay's font (ranks without a window do not need it).
    bool wantsFont;
    // The generator NextSeed draws from (set by the caller for repeatable pictures; the
    // constructor seeds it from the system's non-deterministic source), and the seed of
    // the still view, drawn on its first frame.
    uint64_t seedState;
    uint32_t stillSeed;
    bool modelFromFile; // derived by Load: the mesh holds modelPath's model
    // Derived by Load for a model from modelPath: uniform scale and offset that put its
    // bounding box where the sample model's is (same centre, same height). Animate
    // applies them before the model's own motion.
    float modelFitScale;
    vyxVec3 modelFitOffset;
    // Set by the "O" key; Update reloads once after its events, however many were queued.
    bool reloadRequested;
    bool loaded;
    int32_t cameraCount;
    int32_t presetCount;
    int32_t* presetTable;        // RenderFlags per preset, owned
    SDL_Surface* presentSurface; // 24-bit surface over presentPixels, owned
    uint8_t* presentPixels;      // R, G, B rows at the window size, owned
    float animationTime;         // sixtieths of a second
    bool paused;                 // the "P" key: the animation clock stands still; Init clears it
    // Whether the view stands still and how far its picture has refined; reset whenever
    // the assets or the presentation image are made anew.
    vyxRefinement refinement;
    FrameBuffer stillMean; // running mean of the still view's samples, as traced; owned
    int32_t presetIndex;
    vyxCamera camera;
    vyxScene scene;
    vyxLight* sunLight;
    vyxLight* skyLight;
    vyxLight* pointLight;
    vyxMesh torus;
    vyxMesh torusCopy; // shares the torus arrays, owns nothing
    vyxMesh terrain;
    vyxMesh model;
    vyxCubeMap cubeFaces;
    vyxTexture checkerTexture;
    vyxTexture sandTexture;
    bool noInterpolationToggle;
    bool aoToggle;
    int32_t cameraIndex;
    ExposureState exposure;
    TTF_Font* font;
    float frameTime;
    vyxVec3 walkPosition;
    float yaw, pitch;
    bool hudVisible;
    AppContext context;
    int32_t savedFullscreenWidth;
    int32_t savedFullscreenHeight;
    // Under a mouse grab the first motion event carries the pointer's absolute position
    // instead of a motion; it is skipped once.
    bool firstMotionSeen;
    // Keys marked held by their key-down events (codes below 256) until their key-up
    // events, or until the next walking step when both came in one frame (see Update).
    // Walking reads this together with SDL's own table. SDL's table is not written: SDL drops a key-down for
    // a key its table already marks pressed, so marking it there would lose every
    // second quick press of a key.
    uint8_t heldKeys[256];
};

// The sample model's bounding box in its own coordinates (the generated venus.obj):
// centre and height that a model from a file is fitted to.
extern const vyxVec3 vyxSampleModelCentre;
extern const float vyxSampleModelHeight;

// Uniform scale and offset that give the box [low, high] the sample model's centre and
// height (p maps to p * scale + offset). A box of no height is fitted by its largest
// side; an empty or degenerate box (a point, or not finite) keeps scale 1 and moves its
// centre only.
void vyxFitToSampleModel(vyxVec3 low, vyxVec3 high, float& scale, vyxVec3& offset);

// The one instance, constructed before the entry point.
extern GSSampleScene vyxSampleScene;
