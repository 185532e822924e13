#pragma once
// vyxVec3: three floats used for points, directions and linear RGB colours alike,
// with the small set of vector operations the whole tracer shares. All arithmetic is
// single precision; every operation rounds each component to a float.

#include <cmath>

// The one definition of pi. Single-precision code takes static_cast<float>(vyxPi), the
// float nearest to pi; its halves and doubles are exact in float as well.
constexpr double vyxPi = 3.14159265358979323846;

struct vyxVec3 {
    float x, y, z;
};

inline vyxVec3 operator+(vyxVec3 a, vyxVec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline vyxVec3 operator-(vyxVec3 a, vyxVec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline vyxVec3 operator-(vyxVec3 a) { return {-a.x, -a.y, -a.z}; }
inline vyxVec3 operator*(vyxVec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline vyxVec3 operator*(float s, vyxVec3 a) { return {s * a.x, s * a.y, s * a.z}; }
// Component-wise product: how colours are combined.
inline vyxVec3 operator*(vyxVec3 a, vyxVec3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline vyxVec3 operator/(vyxVec3 a, float s) { return {a.x / s, a.y / s, a.z / s}; }
inline vyxVec3& operator+=(vyxVec3& a, vyxVec3 b) {
    a = a + b;
    return a;
}
inline vyxVec3& operator-=(vyxVec3& a, vyxVec3 b) {
    a = a - b;
    return a;
}
inline vyxVec3& operator*=(vyxVec3& a, float s) {
    a = a * s;
    return a;
}
inline bool operator==(vyxVec3 a, vyxVec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool operator!=(vyxVec3 a, vyxVec3 b) { return !(a == b); }

inline float vyxDot(vyxVec3 a, vyxVec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline vyxVec3 vyxCross(vyxVec3 a, vyxVec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
// Euclidean length, sqrt of the float sum of squares.
inline float vyxLength(vyxVec3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// v divided by its length. No check for the zero vector: it gives non-finite components.
inline vyxVec3 vyxNormalize(vyxVec3 v) {
    float length = vyxLength(v);
    return {v.x / length, v.y / length, v.z / length};
}

// Angle in radians between two unit vectors (not normalised here): 0 for equal
// vectors, 0 or pi near the ends of acos' domain, else acos of the dot product.
float vyxAngleBetween(vyxVec3 a, vyxVec3 b);
