// Rays that no camera in the program makes: zero, NaN and infinite direction components
// and origins far outside the scene, through every query and both renderers of the
// sample scene. None may crash, read outside an array or convert a non-finite float to
// an integer (the sanitizer builds check those); the answers must stay in their ranges.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "SDL_ttf.h"
#include "app/app_context.h"
#include "app/postprocess.h"
#include "app/sample_scene.h"
#include "geometry/mesh.h"
#include "geometry/query.h"
#include "geometry/triangle.h"
#include "render/frame.h"
#include "tests/robustness/robustness_util.h"
#include "tests/support/app_session.h"
#include "tests/support/capture.h"
#include "tests/support/scratch.h"
#include "trace/light.h"
#include "trace/shade.h"
#include "trace/shadow.h"

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string describe(const vyxVec3& v) {
    std::ostringstream s;
    s << "(" << v.x << ", " << v.y << ", " << v.z << ")";
    return s.str();
}

bool finite(const vyxVec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// The sample scene from the generated assets, loaded once for the suite, with one small
// frame rendered so lights, transforms and the random table are prepared.
class BadRays : public testing::Test {
protected:
    static void SetUpTestSuite() {
        TTF_Init();
        work = new WorkingDir(VYX_ASSETS_DIR);
        scene = new GSSampleScene;
        scene->Load();
        settings = new vyxRenderSettings(startupSettings(2));
        scene->Init(makeContext(nullptr, 40, 30, &running, settings));
        scene->aoToggle = true;
        scene->Animate();
        vyxUpdateCamera(scene->camera);
        FrameBuffer frame = vyxAllocFrame(40, 30);
        scene->TraceFrame(frame);
        vyxFreeFrame(frame);
    }
    static void TearDownTestSuite() {
        scene->Unload();
        delete scene;
        delete settings;
        delete work;
        TTF_Quit();
    }
    void SetUp() override {
        if (scene->model.triangleCount == 0)
            GTEST_SKIP() << "no generated assets in " << VYX_ASSETS_DIR;
    }

    static WorkingDir* work;
    static GSSampleScene* scene;
    static vyxRenderSettings* settings;
    static int32_t running;
};
WorkingDir* BadRays::work = nullptr;
GSSampleScene* BadRays::scene = nullptr;
vyxRenderSettings* BadRays::settings = nullptr;
int32_t BadRays::running = 1;

// Origins inside, above and far outside the scene, and unusable ones.
const vyxVec3 origins[] = {{0, 3, 6},     {0.3f, 8, 0.2f}, {1e30f, 2, 0}, {-3e38f, 3e38f, 1e38f},
                           {0, 1e20f, 0}, {kNaN, 2, 6},    {0, kInf, 0},  {-kInf, -kInf, -kInf}};
const vyxVec3 directions[] = {{0, 0, -1},           {0.2f, -1, -0.3f},      {0, 0, 0},
                              {-0.0f, 0, -0.0f},    {kNaN, 0, -1},          {kNaN, kNaN, kNaN},
                              {kInf, -1, 0},        {0, -kInf, 0},          {kInf, kInf, -kInf},
                              {1e-30f, -1e-30f, 0}, {1e30f, -1e30f, 1e30f}, {-1e-40f, -1, 0}};

} // namespace

TEST_F(BadRays, SceneQueriesReportOnlyRealHits) {
    for (const vyxVec3& o : origins)
        for (const vyxVec3& d : directions)
            for (float maxDistance : {-1.0f, 5.0f, 0.0f, kInf, kNaN}) {
                vyxTraceResult hit = vyxTraceScene(scene->scene, o, d, maxDistance);
                if (hit.t < 0)
                    continue;
                std::string where = describe(o) + " along " + describe(d) + " max " + std::to_string(maxDistance);
                EXPECT_TRUE(std::isfinite(hit.t)) << where;
                ASSERT_GE(hit.object, 0) << where;
                ASSERT_LT(hit.object, scene->scene.meshCount) << where;
                ASSERT_GE(hit.triangle, 0) << where;
                ASSERT_LT(hit.triangle, scene->scene.meshes[hit.object]->triangleCount) << where;
                if (maxDistance >= 0) {
                    EXPECT_LT(hit.t, maxDistance) << where;
                }
            }
    // A sane ray from the same scene still hits the ground below the camera.
    vyxTraceResult ground = vyxTraceScene(scene->scene, {5, 50, 5}, {0, -1, 0}, -1.0f);
    EXPECT_GT(ground.t, 0.0f);
}

TEST_F(BadRays, ShadingShadowsAndOcclusionStayInRange) {
    vyxRenderSettings s = *settings;
    s.flags |= RenderAmbientOcclusion | RenderJitterSoftShadows;
    for (const vyxVec3& o : origins)
        for (const vyxVec3& d : directions) {
            std::string where = describe(o) + " along " + describe(d);
            vyxVec3 colour = vyxShade(scene->scene, o, d, s.maxDepth, s);
            // A colour of a real hit or of the sky is finite and not negative; a ray that
            // is no ray gives whatever the environment answers, but never a crash.
            if (finite(o) && finite(d) && !(d.x == 0 && d.y == 0 && d.z == 0)) {
                EXPECT_TRUE(finite(colour)) << where << ": " << describe(colour);
            }
            for (float maxDistance : {-1.0f, 1.0f, kNaN}) {
                float hitDistance = -7.0f;
                vyxVec3 t = vyxTraceShadow(scene->scene, o, d, maxDistance, &hitDistance);
                EXPECT_TRUE(t.x >= 0 && t.x <= 1 && t.y >= 0 && t.y <= 1 && t.z >= 0 && t.z <= 1)
                    << where << " max " << maxDistance << ": transmission " << describe(t);
                if (hitDistance != -7.0f) {
                    EXPECT_TRUE(std::isfinite(hitDistance)) << where;
                }
            }
            // Here d stands for the surface normal.
            vyxVec3 ao = vyxAmbientOcclusion(scene->scene, o, d, s);
            EXPECT_TRUE(ao.x >= 0 && ao.x <= 1 && ao.y >= 0 && ao.y <= 1 && ao.z >= 0 && ao.z <= 1)
                << where << ": occlusion " << describe(ao);
            for (int l = 0; l < scene->scene.lightCount; ++l) {
                vyxLight& light = *scene->scene.lights[l];
                if (light.kind != LightDisc)
                    continue;
                vyxVec3 v = vyxDiscVisibility(scene->scene, light, o, s);
                EXPECT_TRUE(v.x >= 0 && v.x <= 1 && v.y >= 0 && v.y <= 1 && v.z >= 0 && v.z <= 1)
                    << where << ": disc visibility " << describe(v);
            }
        }
}

TEST_F(BadRays, RenderersWithBrokenCamerasFillTheFrameWithValidBytes) {
    struct CameraCase {
        const char* name;
        vyxVec3 position, target, up;
        float fov;
    };
    const CameraCase cases[] = {
        {"far outside", {1e30f, 1e30f, 1e30f}, {0, 0, 0}, {0, 1, 0}, 1.0f},
        {"target at the eye", {0, 3, 6}, {0, 3, 6}, {0, 1, 0}, 1.0f},
        {"up along the view", {0, 9, 0}, {0, 0, 0}, {0, 1, 0}, 1.0f},
        {"no up", {0, 3, 6}, {0, 0, 0}, {0, 0, 0}, 1.0f},
        {"NaN eye", {kNaN, 3, 6}, {0, 0, 0}, {0, 1, 0}, 1.0f},
        {"infinite eye", {0, kInf, 0}, {0, 0, 0}, {0, 1, 0}, 1.0f},
        {"NaN field of view", {0, 3, 6}, {0, 0, 0}, {0, 1, 0}, kNaN},
        {"huge field of view", {0, 3, 6}, {0, 0, 0}, {0, 1, 0}, 1e30f},
    };
    const int w = 37, h = 21;
    for (int32_t flags : {RenderSubdivision | RenderThreaded | RenderAmbientOcclusion | RenderCheckShadows,
                          RenderStandard | RenderThreaded | RenderAntialias | RenderAmbientOcclusion}) {
        for (const CameraCase& c : cases) {
            vyxCamera camera{};
            camera.position = c.position;
            camera.target = c.target;
            camera.upHint = c.up;
            camera.imageWidth = w;
            camera.imageHeight = h;
            camera.fov = 1.0f;
            vyxUpdateCamera(camera);
            camera.fov = c.fov;
            vyxUpdateCamera(camera);
            vyxRenderSettings s = *settings;
            s.flags = flags;
            s.threadCount = 3;
            FrameBuffer frame = vyxAllocFrame(w, h);
            ASSERT_NE(frame.pixels, nullptr);
            for (int i = 0; i < w * h; ++i)
                frame.pixels[i] = {0, 0, 0};
            vyxRenderFrame(scene->scene, camera, frame, s);
            // The presentation turns whatever came out into bytes.
            std::vector<uint8_t> bytes(static_cast<size_t>(w * h * 3), 77);
            vyxApplyGamma(frame.pixels, w, h, 2.2f);
            vyxConvertToBytes(frame.pixels, w, h, bytes.data());
            int finitePixels = 0;
            for (int i = 0; i < w * h; ++i)
                finitePixels += finite(frame.pixels[i]);
            if (finite(c.position) && std::isfinite(c.fov) && std::abs(c.position.x) < 1e20f) {
                EXPECT_EQ(finitePixels, w * h) << c.name << ", flags " << flags;
            }
            vyxFreeFrame(frame);
        }
    }
}

TEST(OverflowingRays, HitPointAtInfinityIsNoHit) {
    // A ray nearly parallel to a triangle's plane with huge direction components meets
    // the plane at a finite t whose point overflows to infinity; its weights come out
    // NaN and must not pass for a hit (they used to, with NaN weights, far from the
    // triangle).
    vyxTriangle triangle{};
    const float corners[3][3] = {{-1, 0, -1}, {1, 0, -1}, {0, 0, 1}};
    std::memcpy(triangle.p0, corners[0], sizeof(corners[0]));
    std::memcpy(triangle.p1, corners[1], sizeof(corners[1]));
    std::memcpy(triangle.p2, corners[2], sizeof(corners[2]));
    vyxSetupTriangle(triangle);
    const vyxVec3 directions[] = {{1e30f, -1e-10f, 1e30f},
                                  {1e30f, -1e-10f, -1e30f},
                                  {-1e30f, -1e-10f, -1e30f},
                                  {3e38f, -1e-8f, 3e38f},
                                  {-3e38f, -1e-30f, 1e20f}};
    for (const vyxVec3& d : directions) {
        vyxTraceResult hit = vyxTestTrace(triangle, 0, 1, 0, d.x, d.y, d.z);
        EXPECT_LT(hit.t, 0.0f) << describe(d) << ": t " << hit.t << ", weights " << hit.w0 << " " << hit.w1 << " "
                               << hit.w2;
    }
    // The same rays through a mesh of the triangle, over its hierarchy.
    ScratchWorkDir dir;
    writeFile("one.obj", "v -1 0 -1\nv 1 0 -1\nv 0 0 1\nf 1 2 3\n");
    vyxMesh mesh;
    std::memset(&mesh, 0, sizeof(mesh));
    capture([&] { vyxLoadMeshFromObj("one.obj", mesh); });
    ASSERT_EQ(mesh.triangleCount, 1);
    vyxTransformPrepare(mesh.transform);
    for (const vyxVec3& d : directions)
        EXPECT_LT(vyxTraceMesh(mesh, {0, 1, 0}, d, -1.0f).t, 0.0f) << describe(d);
    // A sane ray still hits.
    EXPECT_FLOAT_EQ(vyxTraceMesh(mesh, {0, 1, 0}, {0, -1, 0}, -1.0f).t, 1.0f);
    vyxFreeMesh(mesh);
}
