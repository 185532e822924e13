#include "geometry/vec3.h"

float vyxAngleBetween(vyxVec3 a, vyxVec3 b) {
    if (a == b)
        return 0.0f;
    float d = vyxDot(a, b);
    // Compared in double: a float d of exactly 1 passes, the float just below 1 does not.
    if (d > 0.99999999)
        return 0.0f;
    if (d < -0.99999999)
        return static_cast<float>(vyxPi);
    return static_cast<float>(std::acos(static_cast<double>(d)));
}
