#pragma once
// The closed flight path of the path and chase camera modes.

#include "geometry/vec3.h"

// path(w) = (cos w * 100 sin 2w, (1 - cos 4w) * 30, sin w * 100 sin 2w): a four-leaf
// curve over the terrain that rises between the leaves. 100 sin 2w is kept in double
// precision, every other intermediate is a float.
vyxVec3 vyxCameraPath(float w);
