#pragma once
// vyxCamera: the pinhole camera. The caller fills the first six fields and calls
// vyxUpdateCamera once per frame; vyxPrimaryRay then maps image positions (pixels from
// the top-left corner, integer positions are pixel corners) to rays. Read-only while a
// frame renders, so any number of threads may call vyxPrimaryRay at once.

#include <cstdint>

#include "geometry/vec3.h"

struct vyxCamera {
    vyxVec3 upHint;       // set by caller: approximate up, any length
    vyxVec3 position;     // set by caller: eye point
    vyxVec3 target;       // set by caller: point looked at
    uint32_t imageWidth;  // set by caller: traced image width in pixels
    uint32_t imageHeight; // set by caller: traced image height in pixels
    float fov;            // set by caller: full vertical field of view, radians
    vyxVec3 forward;      // derived: unit viewing direction
    vyxVec3 right;        // derived: unit direction of increasing image x
    vyxVec3 up;           // derived: unit direction of decreasing image y
    float focal;          // derived: 1 / tan(fov / 2)
    float aspect;         // derived: imageWidth / imageHeight
};

// Rebuilds forward, right and up; focal and aspect only when the size is non-zero and
// 0 < fov < pi (otherwise they keep their previous values).
void vyxUpdateCamera(vyxCamera& camera);

// Origin (the camera position) and unnormalised direction through image position (x, y).
// The direction is affine in (x, y): the mean of two directions is the midpoint's.
void vyxPrimaryRay(const vyxCamera& camera, float x, float y, vyxVec3& origin, vyxVec3& direction);
