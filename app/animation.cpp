// Render's first half: the mesh transforms from the animation clock and the camera of
// the selected mode.

#include "app/animation.h"

#include <cmath>

#include "app/sample_scene.h"
#include "geometry/query.h"
#include "geometry/transform.h"

vyxVec3 vyxCameraPath(float w) {
    double radius = 100.0 * std::sin(2.0 * static_cast<double>(w));
    float cosW = static_cast<float>(std::cos(static_cast<double>(w)));
    float sinW = static_cast<float>(std::sin(static_cast<double>(w)));
    float fourW = 4.0f * w;
    float cosFourW = static_cast<float>(std::cos(static_cast<double>(fourW)));
    vyxVec3 p;
    p.x = static_cast<float>(cosW * radius);
    p.y = (1.0f - cosFourW) * 30.0f;
    p.z = static_cast<float>(sinW * radius);
    return p;
}

// The torus's tilt in the path and chase modes: a little short of a quarter turn (the
// pictures were made with this value, not pi / 2).
static const float kTorusTilt = 1.57f;

// Height of the terrain's zero level in the world (its grid's y = 0 after scaling).
static const float kTerrainLift = 205.0f;

static float sinFloat(float a) { return static_cast<float>(std::sin(static_cast<double>(a))); }
static float cosFloat(float a) { return static_cast<float>(std::cos(static_cast<double>(a))); }

// The torus lies flat (rotated a quarter turn about x) at p; its copy just sits at p.
static void placeToriAt(GSSampleScene& scene, vyxVec3 p) {
    vyxTransformIdentity(scene.torus.transform);
    vyxTransformRotate(scene.torus.transform, kTorusTilt, 1.0f, 0.0f, 0.0f);
    vyxTransformTranslate(scene.torus.transform, p.x, p.y, p.z);
    vyxTransformIdentity(scene.torusCopy.transform);
    vyxTransformTranslate(scene.torusCopy.transform, p.x, p.y, p.z);
}

void GSSampleScene::Animate() {
    double t = animationTime;
    float u = static_cast<float>(t * 0.01);
    float v = static_cast<float>(t * 0.01 + vyxPi);

    vyxTransform& torusTransform = torus.transform;
    vyxTransformIdentity(torusTransform);
    vyxTransformRotate(torusTransform, v, 0.0f, 0.0f, 1.0f);
    float torusScale = cosFloat(u) + 2.0f;
    vyxTransformScale(torusTransform, torusScale, torusScale, torusScale);
    vyxTransformTranslate(torusTransform, 0.0f, 2.0f * sinFloat(u), 0.0f);

    vyxTransform& copyTransform = torusCopy.transform;
    vyxTransformIdentity(copyTransform);
    vyxTransformRotate(copyTransform, u, 1.0f, 0.0f, 0.0f);
    float copyScale = cosFloat(v) + 2.0f;
    vyxTransformScale(copyTransform, copyScale, copyScale, copyScale);
    vyxTransformTranslate(copyTransform, 0.0f, 2.0f * sinFloat(v), 0.0f);

    vyxTransformIdentity(model.transform);
    if (modelFromFile) {
        vyxTransformScale(model.transform, modelFitScale, modelFitScale, modelFitScale);
        vyxTransformTranslate(model.transform, modelFitOffset.x, modelFitOffset.y, modelFitOffset.z);
    }
    if (cameraIndex == CameraWalk) {
        // Walking among the dunes: the sculpture stands larger, above the ground.
        vyxTransformScale(model.transform, 3.0f, 3.0f, 3.0f);
        vyxTransformTranslate(model.transform, 0.0f, 5.0f, 0.0f);
    } else {
        vyxTransformScale(model.transform, 1.5f, 1.5f, 1.5f);
        vyxTransformRotate(model.transform, u, 0.0f, 1.0f, 0.0f);
    }

    vyxTransformIdentity(terrain.transform);
    vyxTransformScale(terrain.transform, 40.0f, 20.0f, 40.0f);
    vyxTransformTranslate(terrain.transform, 0.0f, kTerrainLift, 0.0f);

    float w = static_cast<float>(t * 0.001);
    camera.upHint = {0.0f, 1.0f, 0.0f};
    camera.fov = static_cast<float>(vyxPi / 2);
    switch (cameraIndex) {
    case CameraOrbit: {
        float a = static_cast<float>(t * 0.0017);
        float b = static_cast<float>(t * 0.0013);
        camera.target = {0.0f, 0.0f, 0.0f};
        camera.position = {3.0f * sinFloat(a), 2.0f * sinFloat(b), 3.0f * cosFloat(a)};
        break;
    }
    case CameraPath: {
        const vyxVec3 lower = {0.0f, 2.0f, 0.0f};
        camera.position = vyxCameraPath(w) - lower;
        w += 0.001f;
        camera.target = vyxCameraPath(w) - lower;
        w += 0.01f;
        placeToriAt(*this, vyxCameraPath(w) - lower);
        break;
    }
    case CameraChase: {
        camera.fov = static_cast<float>(vyxPi / 12); // 15 degrees
        vyxVec3 p = vyxCameraPath(w);
        placeToriAt(*this, p);
        camera.position = {p.x - 8.0f, p.y + 1.0f, p.z + 4.0f};
        camera.target = p;
        break;
    }
    case CameraWalk: { // 10 units above the ground
        vyxTraceResult ground =
            vyxTraceMesh(terrain, {walkPosition.x, 10000.0f, walkPosition.z}, {0.0f, -1.0f, 0.0f}, -1.0f);
        if (ground.t < 0.0f)
            walkPosition.y = 0.0f;
        else
            walkPosition.y = 10000.0f - ground.t + 10.0f;
        vyxTransform view;
        vyxTransformIdentity(view);
        vyxTransformRotate(view, pitch, 1.0f, 0.0f, 0.0f);
        vyxTransformRotate(view, yaw, 0.0f, 1.0f, 0.0f);
        vyxTransformTranslate(view, walkPosition.x, walkPosition.y, walkPosition.z);
        camera.position = walkPosition;
        camera.target = vyxTransformPoint(view, {0.0f, 0.0f, -1.0f});
        break;
    }
    default:
        break;
    }
}
