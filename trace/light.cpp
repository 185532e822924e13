#include "trace/light.h"

#include <cmath>

#include "geometry/transform.h"

// Rotation that maps (0, 0, -1) onto the unit vector w: tilt about x to w's elevation,
// then turn about y to w's heading. Straight up and down have no heading and take a
// quarter turn about x alone.
static void rotationOntoDirection(vyxVec3 w, vyxTransform& m) {
    const float quarterTurn = static_cast<float>(vyxPi / 2);
    vyxTransformIdentity(m);
    // The same sum vyxNormalize would divide by: when it is zero the heading is undefined.
    if (w.x * w.x + w.z * w.z == 0.0f) {
        vyxTransformRotate(m, w.y >= 0.0f ? quarterTurn : -quarterTurn, 1.0f, 0.0f, 0.0f);
        return;
    }
    vyxVec3 h = vyxNormalize(vyxVec3{w.x, 0.0f, w.z});
    float elevation = vyxAngleBetween(w, h);
    if (w.y < 0.0f)
        elevation = -elevation;
    float heading = vyxAngleBetween(vyxVec3{0.0f, 0.0f, -1.0f}, h);
    if (h.x > 0.0f)
        heading = -heading;
    vyxTransformRotate(m, elevation, 1.0f, 0.0f, 0.0f);
    vyxTransformRotate(m, heading, 0.0f, 1.0f, 0.0f);
}

void vyxUpdateLight(vyxLight& light) {
    if (light.kind == LightPoint && light.falloff == FalloffRational) {
        // The distance at which k / (k + d^2) times the mean colour falls to 0.0001. A light
        // that never reaches that level (mean colour at or below 0.0001, or k <= 0) would
        // take the root of a negative number; it gets no cut-off instead of a NaN range,
        // which would pass neither the "range > 0" nor the "range <= 0" test.
        float k = light.angle;
        float mean = (light.colour.x + light.colour.y + light.colour.z) / 3.0f;
        float radicand = (mean * k - k * 0.0001f) / 0.0001f;
        light.range = radicand > 0.0f ? std::sqrt(radicand) : 0.0f;
    }

    if (light.range > 0.0f) {
        light.rangeSquared = light.range * light.range;
        vyxVec3 extent{light.range, light.range, light.range};
        light.boxMin = light.position - extent;
        light.boxMax = light.position + extent;
    } else if (!(light.range >= 0.0f)) {
        light.range = 0.0f; // negative (or NaN): no cut-off
    }

    if (light.kind == LightSpot)
        light.cosAngle = std::cos(light.angle);

    light.unitDirection = vyxNormalize(light.direction);

    if (light.kind == LightDisc) {
        vyxVec3 w = -vyxNormalize(light.direction); // from a surface toward the light
        vyxTransform m;
        rotationOntoDirection(w, m);
        float s = std::tan(light.angle * 0.5f);
        // An equilateral triangle on the disc's rim at 90, 210 and 330 degrees, on the
        // plane one unit in front of the eye along -z.
        const float a1 = static_cast<float>(7 * vyxPi / 6), a2 = static_cast<float>(11 * vyxPi / 6);
        vyxVec3 local[3] = {
            {0.0f, s, -1.0f},
            {s * std::cos(a1), s * std::sin(a1), -1.0f},
            {s * std::cos(a2), s * std::sin(a2), -1.0f},
        };
        for (int i = 0; i < 3; i++)
            light.sampleDirs[i] = vyxTransformPoint(m, local[i]);
    }
}
