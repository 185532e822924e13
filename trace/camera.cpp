#include "trace/camera.h"

#include <cmath>

void vyxUpdateCamera(vyxCamera& camera) {
    if (camera.imageWidth != 0 && camera.imageHeight != 0 && camera.fov > 0.0f &&
        camera.fov < static_cast<float>(vyxPi)) {
        camera.aspect = static_cast<float>(camera.imageWidth) / static_cast<float>(camera.imageHeight);
        float half = camera.fov * 0.5f;
        float tangent = static_cast<float>(std::tan(static_cast<double>(half)));
        camera.focal = 1.0f / tangent;
    }
    camera.forward = vyxNormalize(camera.target - camera.position);
    vyxVec3 u = vyxNormalize(camera.upHint);
    camera.right = vyxNormalize(vyxCross(camera.forward, u));
    camera.up = vyxNormalize(vyxCross(camera.right, camera.forward));
}

void vyxPrimaryRay(const vyxCamera& camera, float x, float y, vyxVec3& origin, vyxVec3& direction) {
    float horizontal = (x * 2.0f / static_cast<float>(camera.imageWidth) - 1.0f) * camera.aspect;
    float vertical = 1.0f - y * 2.0f / static_cast<float>(camera.imageHeight);
    direction = camera.up * vertical + camera.right * horizontal + camera.forward * camera.focal;
    origin = camera.position;
}
