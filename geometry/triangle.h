#pragma once
// vyxTriangle: the only geometry the tracer intersects. Builders write p0, p1, p2 and
// call vyxSetupTriangle, which precomputes everything vyxTestTrace needs so that the
// test costs one division and a projection onto two axes.

#include <cstdint>

struct vyxTriangle {
    float p0[3], p1[3], p2[3]; // vertices (set by the builder)
    float normal[3];           // derived: unit normal along (p1 - p0) x (p2 - p0)
    float d;                   // derived: -(normal . p0)
    float c0, c1, c2, c3;      // derived: projected edge coefficients scaled by 1/det
    uint8_t k;                 // derived: dominant normal axis; projection axes (k+1)%3, (k+2)%3
};

struct vyxTraceResult {
    float t;          // distance in units of the ray direction; -1 = no hit
    int32_t triangle; // index in the mesh's triangle array (set by the traversal)
    int32_t object;   // index in the scene's mesh list (set by the scene query)
    float w0, w1, w2; // barycentric weights of p0, p1, p2
};

// The record every query returns for a ray that hits nothing.
inline vyxTraceResult vyxMissResult() {
    vyxTraceResult result;
    result.t = -1.0f;
    result.triangle = -1;
    result.object = -1;
    result.w0 = result.w1 = result.w2 = 0.0f;
    return result;
}

// Fills normal, d, c0..c3 and k from p0, p1, p2. A degenerate triangle gets
// non-finite fields; the test then yields a NaN t, which every query treats as a miss.
void vyxSetupTriangle(vyxTriangle& triangle);

// Ray (ox, oy, oz) + t (dx, dy, dz) against the triangle, both sides. Writes t (-1 on a
// miss; t >= 0 on a hit) and the weights computed so far; leaves triangle and object as
// they were in the returned record (zero). Pure; any thread.
// Defined here so that the traversal, which calls it once per leaf, can inline it.
inline vyxTraceResult vyxTestTrace(const vyxTriangle& tri, const float& ox, const float& oy, const float& oz,
                                   const float& dx, const float& dy, const float& dz) {
    vyxTraceResult result = {-1.0f, 0, 0, 0.0f, 0.0f, 0.0f};
    float nd = tri.normal[1] * dy + tri.normal[0] * dx + tri.normal[2] * dz;
    if (nd == 0.0f)
        return result; // parallel to the plane, even when lying in it
    float t = -((tri.normal[0] * ox + tri.normal[1] * oy + tri.normal[2] * oz + tri.d) / nd);
    if (t < 0.0f)
        return result;

    const int u = (tri.k + 1) % 3, v = (tri.k + 2) % 3;
    const float o[3] = {ox, oy, oz};
    const float dir[3] = {dx, dy, dz};
    float pu = o[u] + t * dir[u];
    float pv = o[v] + t * dir[v];
    float du = pu - tri.p0[u];
    float dv = pv - tri.p0[v];

    // A weight that is NaN (the hit point overflowed to infinity on a ray nearly
    // parallel to the plane) fails its test like a negative one.
    float w1 = tri.c1 * du - tri.c0 * dv;
    result.w1 = w1;
    if (!(w1 >= 0.0f))
        return result;
    float w2 = tri.c2 * dv - tri.c3 * du;
    result.w2 = w2;
    if (!(w2 >= 0.0f))
        return result;
    float w0 = (1.0f - w1) - w2;
    result.w0 = w0;
    if (!(w0 >= 0.0f))
        return result;
    result.t = t;
    return result;
}
