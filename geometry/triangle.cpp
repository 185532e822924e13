#include "geometry/triangle.h"

#include <cmath>

static void normalise3(float v[3]) {
    float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    v[0] /= length;
    v[1] /= length;
    v[2] /= length;
}

void vyxSetupTriangle(vyxTriangle& tri) {
    float e2[3] = {tri.p2[0] - tri.p0[0], tri.p2[1] - tri.p0[1], tri.p2[2] - tri.p0[2]};
    float e1[3] = {tri.p1[0] - tri.p0[0], tri.p1[1] - tri.p0[1], tri.p1[2] - tri.p0[2]};
    normalise3(e2);
    normalise3(e1);
    float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
    normalise3(n);
    tri.normal[0] = n[0];
    tri.normal[1] = n[1];
    tri.normal[2] = n[2];
    tri.d = -(n[0] * tri.p0[0] + n[1] * tri.p0[1] + n[2] * tri.p0[2]);

    // Dominant axis: an x/y tie goes to y, any tie of the largest with z goes to z.
    float ax = std::fabs(n[0]), ay = std::fabs(n[1]), az = std::fabs(n[2]);
    int k;
    if (ay < ax)
        k = az < ax ? 0 : 2;
    else
        k = az < ay ? 1 : 2;
    tri.k = static_cast<uint8_t>(k);

    int u = (k + 1) % 3, v = (k + 2) % 3;
    float a = tri.p2[u] - tri.p0[u];
    float b = tri.p2[v] - tri.p0[v];
    float c = tri.p1[u] - tri.p0[u];
    float e = tri.p1[v] - tri.p0[v];
    float s = -1.0f / (a * e - b * c);
    tri.c0 = a * s;
    tri.c1 = b * s;
    tri.c2 = c * s;
    tri.c3 = e * s;
}
