#pragma once
// The camera modes (GSSampleScene::cameraIndex, in the order C steps through them) and
// the closed flight path of the path and chase modes.

#include <cstdint>

#include "geometry/vec3.h"

enum vyxCameraMode : int32_t {
    CameraOrbit, // around the model
    CameraPath,  // along the flight path, looking a little ahead
    CameraChase, // a narrow view of the tori flying along the path
    CameraWalk,  // free walk over the terrain
};

// path(w) = (cos w * 100 sin 2w, (1 - cos 4w) * 30, sin w * 100 sin 2w): a four-leaf
// curve over the terrain that rises between the leaves. 100 sin 2w is kept in double
// precision, every other intermediate is a float.
vyxVec3 vyxCameraPath(float w);
