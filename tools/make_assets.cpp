// vyx-make-assets OUTDIR: writes every file the sample scene opens into OUTDIR (created
// when missing): the checker and sand textures, the six sky faces, the sculpture "venus"
// with its two material libraries and its texture, and the overlay font with its licence.
//
// Everything is computed from fixed seeds and integer hashes (no clock, no random device),
// so two runs write byte-identical files. Exit status: 0 on success, 1 when a file cannot
// be written or the font package is missing, 2 on bad arguments.

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "stb_image_write.h"

#include "geometry/vec3.h"
#include "util/file.h"

namespace {

const char* const kFontSource = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* const kFontLicence = "/usr/share/doc/fonts-dejavu-core/copyright";

// ---------------------------------------------------------------------------------------
// Small double-precision vector type for building geometry; files get rounded decimals.

struct V3 {
    double x, y, z;
};

V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(V3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double length(V3 a) { return std::sqrt(dot(a, a)); }
V3 normalized(V3 a) {
    double l = length(a);
    return l > 0 ? a * (1.0 / l) : V3{0, 1, 0};
}

// Rotation by angle about a unit axis (Rodrigues).
V3 rotate(V3 p, V3 axis, double angle) {
    double c = std::cos(angle), s = std::sin(angle);
    return p * c + cross(axis, p) * s + axis * (dot(axis, p) * (1 - c));
}

// ---------------------------------------------------------------------------------------
// Deterministic noise. All integer mixing is unsigned, so wrap-around is defined.

uint32_t hash32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// A value in [0, 1) for an integer lattice point and a seed.
double hashUnit(uint32_t i, uint32_t j, uint32_t seed) {
    uint32_t h = hash32(i * 0x9e3779b1U ^ hash32(j * 0x85ebca77U ^ hash32(seed)));
    return (h >> 8) * (1.0 / 16777216.0);
}

double quintic(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// Value noise in [0, 1) on a lattice that repeats every `period` cells in x and y, so an
// image covering exactly whole periods tiles without a seam.
double periodicNoise(double x, double y, int period, uint32_t seed) {
    double fx = std::floor(x), fy = std::floor(y);
    int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    double tx = quintic(x - fx), ty = quintic(y - fy);
    auto wrap = [period](int i) { return static_cast<uint32_t>(((i % period) + period) % period); };
    uint32_t x0 = wrap(ix), x1 = wrap(ix + 1), y0 = wrap(iy), y1 = wrap(iy + 1);
    double a = hashUnit(x0, y0, seed), b = hashUnit(x1, y0, seed);
    double c = hashUnit(x0, y1, seed), d = hashUnit(x1, y1, seed);
    double bottom = a + (b - a) * tx, top = c + (d - c) * tx;
    return bottom + (top - bottom) * ty;
}

// Sum of octaves of periodic noise over the unit square (u, v in [0, 1)), normalised to
// [0, 1). Octave k has 2^k times the base period, so every octave tiles on the square.
double periodicFbm(double u, double v, int basePeriod, int octaves, double gain, uint32_t seed) {
    double sum = 0, weight = 1, total = 0;
    int period = basePeriod;
    for (int k = 0; k < octaves; ++k) {
        sum += weight * periodicNoise(u * period, v * period, period, seed + 101u * static_cast<uint32_t>(k));
        total += weight;
        weight *= gain;
        period *= 2;
    }
    return sum / total;
}

double clamp01(double v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }
double smoothstep(double e0, double e1, double x) {
    double t = clamp01((x - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}
uint8_t toByte(double v) { return static_cast<uint8_t>(std::lround(clamp01(v) * 255.0)); }

// ---------------------------------------------------------------------------------------
// Output helpers. Every writer returns false after printing what failed.

std::string joinPath(const std::string& dir, const char* name) { return dir + "/" + name; }

bool writeBytes(const std::string& path, const void* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::fprintf(stderr, "vyx-make-assets: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(data, 1, size, file) == size;
    int writeErrno = errno;
    if (std::fclose(file) != 0)
        ok = false;
    if (!ok) {
        std::fprintf(stderr, "vyx-make-assets: cannot write %s: %s\n", path.c_str(), std::strerror(writeErrno));
        std::remove(path.c_str());
    }
    return ok;
}

bool writePng(const std::string& path, int width, int height, int channels, const std::vector<uint8_t>& pixels) {
    if (!stbi_write_png(path.c_str(), width, height, channels, pixels.data(), width * channels)) {
        std::fprintf(stderr, "vyx-make-assets: cannot write %s\n", path.c_str());
        std::remove(path.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Textures.

// 256 x 256 board of 8 x 8 squares in ivory and slate.
bool writeChecker(const std::string& dir) {
    const int size = 256, square = 32;
    const uint8_t light[3] = {236, 230, 214}, dark[3] = {54, 62, 78};
    std::vector<uint8_t> pixels(size * size * 3);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const uint8_t* c = ((x / square + y / square) % 2 == 0) ? light : dark;
            std::memcpy(&pixels[(y * size + x) * 3], c, 3);
        }
    return writePng(joinPath(dir, "checker-board.png"), size, size, 3, pixels);
}

// 512 x 512 sand that tiles: periodic noise for patches, wind ripples whose wave vector
// has whole cycles across the image, and per-texel grain with sparse dark and light grains.
bool writeSand(const std::string& dir) {
    const int size = 512;
    std::vector<uint8_t> pixels(size * size * 3);
    const double dark[3] = {0.62, 0.48, 0.31}, light[3] = {0.90, 0.78, 0.58};
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            double u = x / double(size), v = y / double(size);
            double patches = periodicFbm(u, v, 4, 6, 0.55, 11);
            double warp = periodicFbm(u, v, 8, 3, 0.5, 23);
            double ripple = 0.5 + 0.5 * std::sin(2 * vyxPi * (6 * u + 2 * v) + 7.0 * warp);
            double grain = hashUnit(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 37) - 0.5;
            double speck = hashUnit(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 41);
            double t = 0.15 + 0.75 * patches + 0.18 * (ripple - 0.5) + 0.22 * grain;
            double shade[3];
            for (int c = 0; c < 3; ++c)
                shade[c] = dark[c] + (light[c] - dark[c]) * clamp01(t);
            if (speck > 0.985) { // dark mineral grains
                for (double& s : shade)
                    s *= 0.55;
            } else if (speck < 0.01) { // bright quartz grains
                for (double& s : shade)
                    s = s + (1.0 - s) * 0.5;
            } else if (speck < 0.03) { // reddish grains
                shade[0] *= 1.05, shade[1] *= 0.9, shade[2] *= 0.8;
            }
            for (int c = 0; c < 3; ++c)
                pixels[(y * size + x) * 3 + c] = toByte(shade[c]);
        }
    std::string path = joinPath(dir, "sand.jpg");
    if (!stbi_write_jpg(path.c_str(), size, size, 3, pixels.data(), 92)) {
        std::fprintf(stderr, "vyx-make-assets: cannot write %s\n", path.c_str());
        std::remove(path.c_str());
        return false;
    }
    return true;
}

// 256 x 256 tiling marble for the plinth: cream stone with grey-green veins following a
// turbulent diagonal band pattern (whole cycles across the tile, so it repeats cleanly).
bool writeMarble(const std::string& dir, const char* name) {
    const int size = 256;
    std::vector<uint8_t> pixels(size * size * 3);
    const double stone[3] = {0.93, 0.91, 0.86}, vein[3] = {0.42, 0.47, 0.44};
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            double u = x / double(size), v = y / double(size);
            double turbulence = periodicFbm(u, v, 4, 5, 0.6, 53);
            double band = std::sin(2 * vyxPi * (2 * u + 1 * v) + 5.0 * turbulence);
            double veins = std::pow(1.0 - std::fabs(band), 14.0);
            double cloud = periodicFbm(u, v, 8, 4, 0.5, 59);
            double grain = hashUnit(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 61) - 0.5;
            for (int c = 0; c < 3; ++c) {
                double base = stone[c] * (0.92 + 0.1 * cloud) + 0.02 * grain;
                pixels[(y * size + x) * 3 + c] = toByte(base + (vein[c] - base) * 0.8 * veins);
            }
        }
    return writePng(joinPath(dir, name), size, size, 3, pixels);
}

// ---------------------------------------------------------------------------------------
// Sky faces.

// Linear-light sky radiance along the unit direction d: a blue zenith brightening toward a
// hazy horizon, a sun disc with a halo where the sun light comes from, and dark ground
// below the horizon with a short haze band.
void skyRadiance(V3 d, double rgb[3]) {
    const V3 sun = normalized({0.375, 0.484, 1.0});
    const double zenith[3] = {0.10, 0.19, 0.42}, horizon[3] = {0.46, 0.52, 0.58};
    const double ground[3] = {0.050, 0.046, 0.040}, sunColour[3] = {1.0, 0.88, 0.72};
    double e = d.y;
    double up = std::pow(1.0 - clamp01(e), 2.5);
    double down = std::exp(-std::fabs(std::fmin(e, 0.0)) * 14.0);
    double skyMix = smoothstep(-0.012, 0.012, e);
    double s = dot(d, sun);
    double angle = std::acos(s < -1 ? -1 : (s > 1 ? 1 : s));
    double sc = std::fmax(s, 0.0);
    // Halo: a broad forward-scattering lobe and a tight aureole.
    double halo = 0.22 * std::pow(sc, 6.0) + 0.9 * std::pow(sc, 90.0);
    // Disc of angular radius 1 degree (the sun light's 2-degree disc) with a soft rim.
    double disc = 6.0 * clamp01((0.01745 - angle) / 0.006 + 0.5);
    for (int c = 0; c < 3; ++c) {
        double sky = zenith[c] + (horizon[c] - zenith[c]) * up;
        double earth = ground[c] + (horizon[c] * 0.55 - ground[c]) * down;
        double base = earth + (sky - earth) * skyMix;
        rgb[c] = base + sunColour[c] * (halo * (0.35 + 0.65 * skyMix) + disc * skyMix);
    }
}

// Direction of face point (u, v), the exact inverse of the cube-map lookup: for face +X
// the lookup takes u = z/x * 0.5 + 0.5 and v = y/x * 0.5 + 0.5, so a = 2u - 1 and
// b = 2v - 1 give (1, b, a); the other faces follow the same pattern.
V3 faceDirection(int face, double u, double v) {
    double a = 2 * u - 1, b = 2 * v - 1;
    switch (face) {
    case 0:
        return {1, b, a}; // +X: u toward +Z, v toward +Y
    case 1:
        return {-1, b, -a}; // -X: u toward -Z, v toward +Y
    case 2:
        return {a, 1, b}; // +Y: u toward +X, v toward +Z
    case 3:
        return {a, -1, -b}; // -Y: u toward +X, v toward -Z
    case 4:
        return {-a, b, 1}; // +Z: u toward -X, v toward +Y
    default:
        return {a, b, -1}; // -Z: u toward +X, v toward +Y
    }
}

void putFloatLE(std::vector<uint8_t>& out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<uint8_t>(bits >> (8 * k)));
}

// Six headerless 256 x 256 RGB float faces, first row at the bottom (v near 0). Each
// texel holds the radiance at its centre, u = (column + 0.5) / 256.
bool writeSkyFaces(const std::string& dir) {
    const char* names[6] = {"xpos.float", "xneg.float", "ypos.float", "yneg.float", "zpos.float", "zneg.float"};
    const int size = 256;
    for (int face = 0; face < 6; ++face) {
        std::vector<uint8_t> bytes;
        bytes.reserve(size * size * 12);
        for (int row = 0; row < size; ++row)
            for (int column = 0; column < size; ++column) {
                V3 d = normalized(faceDirection(face, (column + 0.5) / size, (row + 0.5) / size));
                double rgb[3];
                skyRadiance(d, rgb);
                for (double c : rgb)
                    putFloatLE(bytes, static_cast<float>(c));
            }
        if (!writeBytes(joinPath(dir, names[face]), bytes.data(), bytes.size()))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// The sculpture: a swaying, fluted figure on an octagonal plinth, girdled by a gold and a
// mirror ring, with a chrome head crowned by glowing beads and a glass ribbon spiralling
// around it. Built as indexed positions, normals and texture coordinates plus faces of
// three or more corners, then written as OBJ.

struct Corner {
    int p, t, n; // 0-based; t = -1 when the face has no texture coordinates
};

struct Group {
    const char* keyword; // "o" or "g"
    const char* name;
    const char* material;
    bool smooth;
    std::vector<int> faceSizes;
    std::vector<Corner> corners;
};

struct Model {
    std::vector<V3> positions, normals;
    std::vector<double> texcoords; // u, v pairs
    std::vector<Group> groups;
};

int addPosition(Model& m, V3 p) {
    m.positions.push_back(p);
    return static_cast<int>(m.positions.size()) - 1;
}
int addNormal(Model& m, V3 n) {
    m.normals.push_back(normalized(n));
    return static_cast<int>(m.normals.size()) - 1;
}
int addTexcoord(Model& m, double u, double v) {
    m.texcoords.push_back(u);
    m.texcoords.push_back(v);
    return static_cast<int>(m.texcoords.size() / 2) - 1;
}

Group& addGroup(Model& m, const char* keyword, const char* name, const char* material, bool smooth) {
    m.groups.push_back(Group{keyword, name, material, smooth, {}, {}});
    return m.groups.back();
}

void addFace(Group& g, const std::vector<Corner>& corners) {
    g.faceSizes.push_back(static_cast<int>(corners.size()));
    g.corners.insert(g.corners.end(), corners.begin(), corners.end());
}

// Newell's normal of a polygon (not normalised): robust for any planar, simple polygon.
V3 polygonNormal(const Model& m, const std::vector<Corner>& corners) {
    V3 n{0, 0, 0};
    for (size_t i = 0; i < corners.size(); ++i) {
        V3 a = m.positions[corners[i].p], b = m.positions[corners[(i + 1) % corners.size()].p];
        n = n + V3{(a.y - b.y) * (a.z + b.z), (a.z - b.z) * (a.x + b.x), (a.x - b.x) * (a.y + b.y)};
    }
    return n;
}

// Adds a face, reversed if needed so its winding (counter-clockwise seen from outside)
// agrees with the outward direction `outward`.
void addOrientedFace(Model& m, Group& g, std::vector<Corner> corners, V3 outward) {
    if (dot(polygonNormal(m, corners), outward) < 0) {
        std::vector<Corner> reversed(corners.rbegin(), corners.rend());
        corners.swap(reversed);
    }
    addFace(g, corners);
}

// A parametric surface P(u, v) over [0,1]^2 as a grid of nu x nv quads. With wrapU (wrapV)
// the last column (row) joins the first, sharing positions and normals so the surface is
// closed and smooth across the seam. Normals are the normalised cross product of the
// partial derivatives (central differences), which points the same way as the winding of
// the quads (u, v) -> (u+1, v) -> (u+1, v+1) -> (u, v+1). With texScale set, texture
// coordinates (u * texScale[0], v * texScale[1]) are written on an unshared grid.
struct Surface {
    int nu, nv;
    bool wrapU, wrapV;
    int positionBase; // index of grid point (0, 0); point (i, j) is base + j * columns + i
    int columns;      // positions per row
};

template <class F>
Surface addSurface(Model& m, Group& g, int nu, int nv, bool wrapU, bool wrapV, F position,
                   const double* texScale = nullptr) {
    Surface s{nu, nv, wrapU, wrapV, static_cast<int>(m.positions.size()), wrapU ? nu : nu + 1};
    int rows = wrapV ? nv : nv + 1;
    const double h = 1e-5;
    int normalBase = static_cast<int>(m.normals.size());
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < s.columns; ++i) {
            double u = double(i) / nu, v = double(j) / nv;
            addPosition(m, position(u, v));
            V3 du = position(u + h, v) - position(u - h, v);
            V3 dv = position(u, v + h) - position(u, v - h);
            addNormal(m, cross(du, dv));
        }
    int texBase = static_cast<int>(m.texcoords.size() / 2);
    if (texScale)
        for (int j = 0; j <= nv; ++j)
            for (int i = 0; i <= nu; ++i)
                addTexcoord(m, double(i) / nu * texScale[0], double(j) / nv * texScale[1]);
    auto corner = [&](int i, int j) {
        int pi = wrapU ? i % nu : i, pj = wrapV ? j % nv : j;
        int k = pj * s.columns + pi;
        return Corner{s.positionBase + k, texScale ? texBase + j * (nu + 1) + i : -1, normalBase + k};
    };
    for (int j = 0; j < nv; ++j)
        for (int i = 0; i < nu; ++i)
            addFace(g, {corner(i, j), corner(i + 1, j), corner(i + 1, j + 1), corner(i, j + 1)});
    return s;
}

// Position indices of row j of a surface, in u order (one per column, without the
// duplicated seam column of an open surface).
std::vector<int> surfaceRow(const Surface& s, int j) {
    std::vector<int> row;
    int count = s.wrapU ? s.nu : s.nu + 1;
    for (int i = 0; i < count; ++i)
        row.push_back(s.positionBase + j * s.columns + i);
    return row;
}

// Closes a ring of existing positions with one flat polygon (an n-gon).
void addCap(Model& m, Group& g, const std::vector<int>& ring, V3 outward) {
    int n = addNormal(m, outward);
    std::vector<Corner> corners;
    for (int p : ring)
        corners.push_back({p, -1, n});
    addOrientedFace(m, g, corners, outward);
}

// Closes a ring of existing positions with a fan of triangles around a new centre point.
void addFan(Model& m, Group& g, const std::vector<int>& ring, V3 centre, V3 outward) {
    int c = addPosition(m, centre);
    int n = addNormal(m, outward);
    for (size_t i = 0; i < ring.size(); ++i)
        addOrientedFace(m, g, {{c, -1, n}, {ring[i], -1, n}, {ring[(i + 1) % ring.size()], -1, n}}, outward);
}

// UV sphere: quads between latitude rings, triangles around the two poles.
void addSphere(Model& m, Group& g, V3 centre, double radius, int segments, int rings) {
    int base = static_cast<int>(m.positions.size());
    int normalBase = static_cast<int>(m.normals.size());
    for (int j = 1; j < rings; ++j) {
        double phi = vyxPi * j / rings; // from the north pole
        for (int i = 0; i < segments; ++i) {
            double theta = 2 * vyxPi * i / segments;
            V3 n{std::sin(phi) * std::cos(theta), std::cos(phi), -std::sin(phi) * std::sin(theta)};
            addPosition(m, centre + n * radius);
            addNormal(m, n);
        }
    }
    int north = addPosition(m, centre + V3{0, radius, 0}), northN = addNormal(m, {0, 1, 0});
    int south = addPosition(m, centre - V3{0, radius, 0}), southN = addNormal(m, {0, -1, 0});
    auto at = [&](int i, int j) { // ring j in 1..rings-1
        int k = (j - 1) * segments + i % segments;
        return Corner{base + k, -1, normalBase + k};
    };
    for (int i = 0; i < segments; ++i) {
        V3 out = m.normals[at(i, 1).n];
        addOrientedFace(m, g, {{north, -1, northN}, at(i, 1), at(i + 1, 1)}, out);
    }
    for (int j = 1; j < rings - 1; ++j)
        for (int i = 0; i < segments; ++i) {
            std::vector<Corner> quad{at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)};
            addOrientedFace(m, g, quad, m.normals[at(i, j).n] + m.normals[at(i + 1, j + 1).n]);
        }
    for (int i = 0; i < segments; ++i) {
        V3 out = m.normals[at(i, rings - 1).n];
        addOrientedFace(m, g, {{south, -1, southN}, at(i + 1, rings - 1), at(i, rings - 1)}, out);
    }
}

// The sculpture's proportions (model units; the whole fits inside the unit sphere).
constexpr double kPlinthBottom = -0.92, kPlinthTop = -0.72;
constexpr double kBodyBottom = -0.72, kBodyTop = 0.42;
constexpr double kHeadY = 0.585, kHeadRadius = 0.15;

// Radius of the figure's body along its height t in [0, 1]: foot, hips, waist, chest,
// shoulders, neck, through a Catmull-Rom spline of control radii.
double bodyRadius(double t) {
    static const double knots[][2] = {{-0.1, 0.140}, {0.0, 0.140},  {0.10, 0.150}, {0.30, 0.205}, {0.52, 0.118},
                                      {0.72, 0.180}, {0.85, 0.168}, {0.95, 0.080}, {1.0, 0.060},  {1.1, 0.060}};
    const int count = sizeof knots / sizeof knots[0];
    t = t < 0 ? 0 : (t > 1 ? 1 : t);
    int k = 1;
    while (k < count - 3 && t > knots[k + 1][0])
        ++k;
    double t0 = knots[k][0], t1 = knots[k + 1][0];
    double s = (t - t0) / (t1 - t0);
    double p0 = knots[k - 1][1], p1 = knots[k][1], p2 = knots[k + 1][1], p3 = knots[k + 2][1];
    return 0.5 * (2 * p1 + (-p0 + p2) * s + (2 * p0 - 5 * p1 + 4 * p2 - p3) * s * s +
                  (-p0 + 3 * p1 - 3 * p2 + p3) * s * s * s);
}

// The body's axis, swaying in an S (zero at both ends).
V3 bodyAxis(double t) {
    double sway = 0.05 * std::sin(2 * vyxPi * t);
    return {sway, kBodyBottom + (kBodyTop - kBodyBottom) * t, 0.4 * sway};
}

// The body: a lathe of the radius profile, with nine flutes twisting one and a half turns
// up the height and an S-shaped sway of the axis (zero at both ends, so the foot sits
// centred on the plinth and the neck under the head).
V3 bodyPoint(double u, double t) {
    double theta = 2 * vyxPi * u;
    double flute = 1.0 + 0.10 * std::sin(vyxPi * t) * std::cos(9 * theta + 3 * vyxPi * t);
    double r = bodyRadius(t) * flute;
    return bodyAxis(t) + V3{r * std::cos(theta), 0, -r * std::sin(theta)};
}

// A torus of major radius R and tube radius r, centred at c and tilted by `tilt` radians
// about the horizontal axis `axis`.
V3 torusPoint(double u, double v, V3 c, double R, double r, V3 axis, double tilt) {
    double theta = 2 * vyxPi * u, phi = 2 * vyxPi * v;
    V3 p{(R + r * std::cos(phi)) * std::cos(theta), r * std::sin(phi), -(R + r * std::cos(phi)) * std::sin(theta)};
    return c + rotate(p, axis, tilt);
}

// The glass ribbon: an elliptical cross-section (tall and thin) swept along a helix of
// radius 0.40 that climbs from just above the plinth to the shoulders in 1.75 turns.
// u runs around the cross-section, t along the helix.
V3 helixCentre(double t) {
    double angle = 0.6 + 1.75 * 2 * vyxPi * t;
    return {0.40 * std::cos(angle), -0.62 + 0.96 * t, -0.40 * std::sin(angle)};
}
V3 ribbonPoint(double u, double t) {
    const double dt = 1e-4;
    V3 centre = helixCentre(t);
    V3 tangent = normalized(helixCentre(t + dt) - helixCentre(t - dt));
    V3 radial = normalized({centre.x, 0, centre.z});
    V3 across = normalized(cross(tangent, radial)); // roughly vertical
    double phi = 2 * vyxPi * u;
    return centre + across * (0.036 * std::cos(phi)) + radial * (0.010 * std::sin(phi));
}

// The octagonal plinth: two flat-faced tiers joined by chamfers, each face with its own
// vertices and normal (hard edges), textured with marble by world distance.
void addPlinth(Model& m, Group& g) {
    const double profile[][2] = {
        {0.29, kPlinthBottom}, {0.29, -0.86}, {0.25, -0.83}, {0.25, -0.745}, {0.23, kPlinthTop}};
    const int bands = sizeof profile / sizeof profile[0] - 1, sides = 8;
    const double texelsPerUnit = 1.0 / 0.35; // one marble tile per 0.35 units
    auto cornerAt = [&](int side, double radius, double y) {
        double theta = 2 * vyxPi * side / sides + vyxPi / sides;
        return V3{radius * std::cos(theta), y, -radius * std::sin(theta)};
    };
    for (int b = 0; b < bands; ++b) {
        double r0 = profile[b][0], y0 = profile[b][1], r1 = profile[b + 1][0], y1 = profile[b + 1][1];
        for (int k = 0; k < sides; ++k) {
            V3 p00 = cornerAt(k, r0, y0), p10 = cornerAt(k + 1, r0, y0);
            V3 p01 = cornerAt(k, r1, y1), p11 = cornerAt(k + 1, r1, y1);
            V3 mid = (p00 + p10) * 0.5;
            V3 outward = normalized(cross(p10 - p00, p01 - p00));
            if (dot(outward, {mid.x, 0, mid.z}) < 0)
                outward = outward * -1.0;
            int n = addNormal(m, outward);
            double width0 = length(p10 - p00), width1 = length(p11 - p01);
            double v0 = (y0 - kPlinthBottom) * texelsPerUnit, v1 = v0 + length(p01 - p00) * texelsPerUnit;
            double u0 = k * 0.37; // shift each side so neighbouring sides do not repeat
            std::vector<Corner> quad{
                {addPosition(m, p00), addTexcoord(m, u0, v0), n},
                {addPosition(m, p10), addTexcoord(m, u0 + width0 * texelsPerUnit, v0), n},
                {addPosition(m, p11), addTexcoord(m, u0 + (width0 + width1) * 0.5 * texelsPerUnit, v1), n},
                {addPosition(m, p01), addTexcoord(m, u0 + (width0 - width1) * 0.5 * texelsPerUnit, v1), n}};
            addOrientedFace(m, g, quad, outward);
        }
    }
    // Octagonal caps, planar texture mapping.
    for (int top = 0; top < 2; ++top) {
        double r = top ? profile[bands][0] : profile[0][0], y = top ? kPlinthTop : kPlinthBottom;
        V3 outward{0, top ? 1.0 : -1.0, 0};
        int n = addNormal(m, outward);
        std::vector<Corner> cap;
        for (int k = 0; k < sides; ++k) {
            V3 p = cornerAt(k, r, y);
            cap.push_back({addPosition(m, p), addTexcoord(m, 0.5 + p.x * texelsPerUnit, 0.5 + p.z * texelsPerUnit), n});
        }
        addOrientedFace(m, g, cap, outward);
    }
}

Model buildSculpture() {
    Model m;
    m.groups.reserve(16); // groups are filled through references while later ones are added

    Group& plinth = addGroup(m, "o", "plinth", "marble", false);
    addPlinth(m, plinth);

    Group& body = addGroup(m, "o", "figure", "alabaster", true);
    Surface bodySurface = addSurface(m, body, 160, 144, true, false, bodyPoint);
    addFan(m, body, surfaceRow(bodySurface, 0), bodyAxis(0), {0, -1, 0});
    addFan(m, body, surfaceRow(bodySurface, 144), bodyAxis(1), {0, 1, 0});

    // Collar between neck and head: a short 24-sided cylinder with 24-gon caps.
    Group& collar = addGroup(m, "g", "collar", "gold", true);
    auto collarPoint = [](double u, double t) {
        double theta = 2 * vyxPi * u;
        return V3{0.085 * std::cos(theta), 0.40 + 0.05 * t, -0.085 * std::sin(theta)};
    };
    Surface collarSurface = addSurface(m, collar, 24, 1, true, false, collarPoint);
    addCap(m, collar, surfaceRow(collarSurface, 0), {0, -1, 0});
    addCap(m, collar, surfaceRow(collarSurface, 1), {0, 1, 0});

    Group& gold = addGroup(m, "g", "ring_gold", "gold", true);
    addSurface(m, gold, 128, 20, true, true, [](double u, double v) {
        return torusPoint(u, v, {0.0, -0.12, 0.0}, 0.30, 0.022, normalized({1, 0, 0.3}), 0.32);
    });
    Group& mirror = addGroup(m, "g", "ring_mirror", "silver_mirror", true);
    addSurface(m, mirror, 128, 20, true, true, [](double u, double v) {
        return torusPoint(u, v, {0.0, 0.17, 0.0}, 0.32, 0.022, normalized({-0.4, 0, 1}), -0.42);
    });

    Group& head = addGroup(m, "o", "head", "chrome", true);
    addSphere(m, head, {0, kHeadY, 0}, kHeadRadius, 96, 48);

    // Crown: nine glowing beads resting on the head.
    Group& crown = addGroup(m, "g", "crown", "glow", true);
    for (int k = 0; k < 9; ++k) {
        double theta = 2 * vyxPi * k / 9;
        addSphere(m, crown, {0.115 * std::cos(theta), 0.69, -0.115 * std::sin(theta)}, 0.026, 24, 12);
    }

    Group& veil = addGroup(m, "g", "veil", "glass", true);
    Surface ribbon = addSurface(m, veil, 12, 480, true, false, ribbonPoint);
    V3 startTangent = helixCentre(0) - helixCentre(1e-3), endTangent = helixCentre(1) - helixCentre(1 - 1e-3);
    addCap(m, veil, surfaceRow(ribbon, 0), normalized(startTangent));
    addCap(m, veil, surfaceRow(ribbon, 480), normalized(endTangent));
    return m;
}

// ---------------------------------------------------------------------------------------
// OBJ and MTL writers.

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

// Counts, for the summary line and the checks below.
struct ModelStats {
    long triangles = 0, quads = 0, polygons = 0, triangleFaces = 0;
    double maxRadius = 0;
};

ModelStats measure(const Model& m) {
    ModelStats s;
    for (const V3& p : m.positions)
        s.maxRadius = std::fmax(s.maxRadius, length(p));
    for (const Group& g : m.groups)
        for (int size : g.faceSizes) {
            s.triangles += size - 2;
            if (size == 3)
                ++s.triangleFaces;
            else if (size == 4)
                ++s.quads;
            else
                ++s.polygons;
        }
    return s;
}

std::string objText(const Model& m, const char* const libraries[2], const ModelStats& stats) {
    std::string out;
    out.reserve(8u << 20);
    appendf(out, "# venus: a swaying fluted figure on an octagonal plinth, with a gold and a mirror ring,\n");
    appendf(out, "# a chrome head under a crown of glowing beads and a glass ribbon spiralling around it.\n");
    appendf(out, "# Written by vyx-make-assets. %zu positions, %zu texture coordinates, %zu normals,\n",
            m.positions.size(), m.texcoords.size() / 2, m.normals.size());
    appendf(out, "# %ld triangles after fan triangulation (%ld triangle, %ld quad and %ld larger faces).\n",
            stats.triangles, stats.triangleFaces, stats.quads, stats.polygons);
    for (int k = 0; k < 2; ++k)
        appendf(out, "mtllib %s\n", libraries[k]);
    for (const V3& p : m.positions)
        appendf(out, "v %.5f %.5f %.5f\n", p.x, p.y, p.z);
    for (size_t k = 0; k < m.texcoords.size(); k += 2)
        appendf(out, "vt %.5f %.5f\n", m.texcoords[k], m.texcoords[k + 1]);
    for (const V3& n : m.normals)
        appendf(out, "vn %.4f %.4f %.4f\n", n.x, n.y, n.z);
    for (const Group& g : m.groups) {
        appendf(out, "%s %s\nusemtl %s\ns %s\n", g.keyword, g.name, g.material, g.smooth ? "1" : "off");
        size_t c = 0;
        for (int size : g.faceSizes) {
            std::string line = "f";
            for (int k = 0; k < size; ++k, ++c) {
                const Corner& corner = g.corners[c];
                if (corner.t >= 0)
                    appendf(line, " %d/%d/%d", corner.p + 1, corner.t + 1, corner.n + 1);
                else
                    appendf(line, " %d//%d", corner.p + 1, corner.n + 1);
            }
            out += line;
            out += '\n';
        }
    }
    return out;
}

// The two libraries: stone and light in one, metals and glass in the other. Every
// material property the shading reads appears at least once: a colour map (marble), a
// specular highlight (alabaster, gold), mirrors with and without a fresnel term (silver,
// chrome, glass), a coloured translucent part (glass) and an unlit part (glow). "illum 3"
// follows "Ks" because it averages the Ks read so far.
const char* const kStoneLibrary = "# Stone and light materials of the sculpture venus.\n"
                                  "\n"
                                  "newmtl marble\n"
                                  "Ka 0.2 0.2 0.2\n"
                                  "Kd 1.0 1.0 1.0\n"
                                  "Ks 0.12 0.12 0.12\n"
                                  "illum 2\n"
                                  "map_Kd venus-marble.png\n"
                                  "map_Ka venus-marble.png\n"
                                  "\n"
                                  "newmtl alabaster\n"
                                  "Ka 0.2 0.2 0.2\n"
                                  "Kd 0.88 0.82 0.74\n"
                                  "Ks 0.35 0.33 0.30\n"
                                  "illum 2\n"
                                  "\n"
                                  "newmtl glow\n"
                                  "Kd 1.6 0.85 0.3\n"
                                  "Ke 1.6 0.85 0.3\n"
                                  "illum 0\n";

const char* const kMetalLibrary = "# Metal and glass materials of the sculpture venus.\n"
                                  "\n"
                                  "newmtl gold\n"
                                  "Ka 0.1 0.08 0.02\n"
                                  "Kd 0.75 0.55 0.18\n"
                                  "Ks 0.95 0.80 0.45\n"
                                  "illum 2\n"
                                  "\n"
                                  "newmtl silver_mirror\n"
                                  "Kd 0.08 0.08 0.09\n"
                                  "Ks 0.75 0.77 0.80\n"
                                  "illum 3\n"
                                  "Ft 0.3\n"
                                  "\n"
                                  "newmtl chrome\n"
                                  "Kd 0.05 0.05 0.05\n"
                                  "Ks 0.9 0.9 0.9\n"
                                  "illum 3\n"
                                  "\n"
                                  "newmtl glass\n"
                                  "Kd 0.25 0.70 1.0\n"
                                  "Ks 0.5 0.5 0.5\n"
                                  "illum 3\n"
                                  "Ft 1.0\n"
                                  "d 0.45\n";

bool writeSculpture(const std::string& dir) {
    const char* const libraries[2] = {"venus-stone.mtl", "venus-metal.mtl"};
    Model model = buildSculpture();
    ModelStats stats = measure(model);
    // Guards against edits that break what the scene relies on.
    if (stats.triangles < 60000 || stats.maxRadius > 0.995) {
        std::fprintf(stderr, "vyx-make-assets: sculpture out of bounds (%ld triangles, radius %.4f)\n", stats.triangles,
                     stats.maxRadius);
        return false;
    }
    std::string obj = objText(model, libraries, stats);
    return writeBytes(joinPath(dir, libraries[0]), kStoneLibrary, std::strlen(kStoneLibrary)) &&
           writeBytes(joinPath(dir, libraries[1]), kMetalLibrary, std::strlen(kMetalLibrary)) &&
           writeMarble(dir, "venus-marble.png") && writeBytes(joinPath(dir, "venus.obj"), obj.data(), obj.size());
}

// ---------------------------------------------------------------------------------------
// Font.

bool copyFont(const std::string& dir) {
    std::string font, licence;
    if (!vyxReadWholeFile(kFontSource, font) || font.empty()) {
        std::fprintf(stderr, "vyx-make-assets: cannot read the font %s; install the Debian package fonts-dejavu-core\n",
                     kFontSource);
        return false;
    }
    if (!vyxReadWholeFile(kFontLicence, licence) || licence.empty()) {
        std::fprintf(stderr,
                     "vyx-make-assets: cannot read the font licence %s; install the Debian package "
                     "fonts-dejavu-core\n",
                     kFontLicence);
        return false;
    }
    return writeBytes(joinPath(dir, "Prelude-Medium.ttf"), font.data(), font.size()) &&
           writeBytes(joinPath(dir, "Prelude-Medium.LICENSE.txt"), licence.data(), licence.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: vyx-make-assets OUTDIR\n");
        return 2;
    }
    std::string dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error || !std::filesystem::is_directory(dir, error)) {
        std::fprintf(stderr, "vyx-make-assets: cannot create the folder %s: %s\n", dir.c_str(),
                     error ? error.message().c_str() : "not a directory");
        return 1;
    }
    bool ok = writeChecker(dir) && writeSand(dir) && writeSkyFaces(dir) && writeSculpture(dir) && copyFont(dir);
    return ok ? 0 : 1;
}
