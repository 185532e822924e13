#pragma once
// vyxLight: the six kinds of lights. The scene sets the input fields; vyxUpdateLight
// derives the rest once per frame before any ray is traced. Read-only while rendering.

#include <cstdint>

#include "geometry/vec3.h"

enum : uint32_t {
    LightAmbient = 0,
    LightPoint = 1,
    LightDirectional = 2,
    LightSpot = 3,
    LightHemisphere = 4,
    LightDisc = 5,
};

enum : uint32_t {
    FalloffLinear = 0,        // 1 - d / range
    FalloffInverse = 1,       // 1/d - 1/range
    FalloffInverseSquare = 2, // 1/d^2 - 1/rangeSquared
    FalloffRational = 3,      // k / (k + d^2), k = angle
};

struct vyxLight {
    vyxVec3 position;     // input: point and spot lights
    vyxVec3 direction;    // input, any length: travel direction (directional, disc), cone axis (spot), sky (hemisphere)
    float range;          // input: cut-off distance, 0 = none; derived for rational point lights
    float rangeSquared;   // derived (when range > 0)
    float angle;          // input: spot half-angle, disc apex angle, or the rational k
    float cosAngle;       // derived for spots
    vyxVec3 colour;       // input: colour times intensity
    vyxVec3 groundColour; // input: hemisphere colour away from direction
    uint32_t kind;        // input: Light* constant
    uint32_t falloff;     // input: Falloff* constant
    vyxVec3 boxMin;       // derived: position - range (when range > 0)
    vyxVec3 boxMax;       // derived: position + range
    vyxVec3 sampleDirs[3]; // derived for discs: three directions toward the disc
    vyxVec3 unitDirection; // derived: direction normalised, so shading need not redo it per hit
};

// A light with every field zero.
inline vyxLight vyxZeroLight() { return vyxLight{}; }

// Derives range (rational point lights), rangeSquared and the box, cosAngle (spots) and
// sampleDirs (discs) in place. Main thread, between frames.
void vyxUpdateLight(vyxLight& light);
