#include "scenefiles/obj.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scenefiles/text.h"
#include "util/escape.h"

// The next token of the line, or an empty string when the line has no more; position
// follows along (and stays -1 once the line is exhausted).
static std::string nextArgument(int& position, const std::string& line) {
    std::string token;
    position = vyxNextToken(position, line, token);
    return token;
}

// The number at the start of text, as strtof reads it. Plain decimal numbers, the bulk
// of every file, take the faster std::from_chars, which rounds them just as correctly;
// anything else (a sign "+", hexadecimal, inf and nan, trailing bytes, a value out of
// range) goes to strtof itself.
static float parseFloat(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const char* first = begin != end && *begin == '-' ? begin + 1 : begin;
    if (first != end && (*first == '.' || (*first >= '0' && *first <= '9'))) {
        float value = 0.0f;
        const std::from_chars_result read = std::from_chars(begin, end, value);
        if (read.ec == std::errc() && read.ptr == end)
            return value;
    }
    return std::strtof(text.c_str(), nullptr);
}

// The integer at the start of the field's length bytes, as strtoll reads it: false when
// there is none or it is out of range. Plain digits (with a "-") take std::from_chars;
// anything else (blanks, a sign "+") goes to strtoll on a copy.
static bool parseIndex(const char* field, size_t length, long long& value) {
    const std::from_chars_result read = std::from_chars(field, field + length, value);
    if (read.ec == std::errc::result_out_of_range)
        return false;
    if (read.ec == std::errc() && read.ptr != field)
        return true;
    const std::string copy(field, length);
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(copy.c_str(), &end, 10);
    return end != copy.c_str() && errno != ERANGE;
}

// One index field of a face corner, length bytes at field. Returns false when the field
// is present but does not name a valid element; an empty field leaves index at -1
// ("none").
static bool resolveIndex(const char* field, size_t length, int32_t count, int32_t& index) {
    index = -1;
    if (length == 0) {
        return true;
    }
    long long value = 0;
    if (!parseIndex(field, length, value)) {
        return false;
    }
    // Positive indices count from 1 at the start of the file, negative ones back from
    // the element read most recently (-1); 0 names nothing.
    if (value > 0 && value <= count) {
        index = static_cast<int32_t>(value - 1);
        return true;
    }
    // Compared as value >= -count, so the most negative number cannot overflow.
    if (value < 0 && value >= -static_cast<long long>(count)) {
        index = static_cast<int32_t>(count + value);
        return true;
    }
    return false;
}

namespace {

struct Corner {
    int32_t position;
    int32_t texcoord;
    int32_t normal;
};

} // namespace

// A vertex token "p", "p/t", "p//n" or "p/t/n". The position is required; the other
// fields are -1 when absent.
static bool parseCorner(const std::string& token, const vyxObjModel& model, Corner& corner) {
    const char* fields[3] = {token.data(), token.data(), token.data()};
    size_t lengths[3] = {0, 0, 0};
    size_t fieldCount = 0;
    size_t start = 0;
    while (true) {
        size_t slash = token.find('/', start);
        if (fieldCount == 3) {
            return false; // more than three fields
        }
        fields[fieldCount] = token.data() + start;
        lengths[fieldCount++] = (slash == std::string::npos ? token.size() : slash) - start;
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    if (lengths[0] == 0) {
        return false;
    }
    return resolveIndex(fields[0], lengths[0], model.positionCount(), corner.position) &&
           resolveIndex(fields[1], lengths[1], model.texcoordCount(), corner.texcoord) &&
           resolveIndex(fields[2], lengths[2], model.normalCount(), corner.normal);
}

// The group that faces go to now. A group named "default" is made for faces that arrive
// while no group exists yet.
static vyxObjGroup& currentGroup(vyxObjModel& model, int32_t& groupIndex) {
    if (model.groups.empty()) {
        model.groups.emplace_back();
        model.groups.back().name = "default";
        groupIndex = 0;
    }
    return model.groups[static_cast<size_t>(groupIndex)];
}

static int32_t groupIndexByName(vyxObjModel& model, const std::string& name) {
    // "default" is the first group; it is created with the first face when it is missing.
    if (name == "default") {
        return 0;
    }
    for (size_t i = 0; i < model.groups.size(); ++i) {
        if (model.groups[i].name == name) {
            return static_cast<int32_t>(i);
        }
    }
    model.groups.emplace_back();
    model.groups.back().name = name;
    return static_cast<int32_t>(model.groups.size() - 1);
}

// Polygon triangulation. Corners are given as indices into the model's positions; the
// result lists triangles as triples of corner numbers (0 .. n-1), in the polygon's
// winding.

namespace {

struct Point2 {
    double u, v;
};

} // namespace

// Twice the signed area of triangle a b c: positive when it turns counter-clockwise.
static double area2(Point2 a, Point2 b, Point2 c) { return (b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u); }

// The polygon projected onto the coordinate plane its Newell normal is most nearly
// perpendicular to, turned so that it winds counter-clockwise. False when the normal is
// zero (every corner on one line or one point).
static bool projectPolygon(const std::vector<int32_t>& corners, const vyxObjModel& model, std::vector<Point2>& out) {
    const size_t n = corners.size();
    double normal[3] = {0, 0, 0};
    for (size_t i = 0; i < n; ++i) {
        const float* a = &model.positions[3 * static_cast<size_t>(corners[i])];
        const float* b = &model.positions[3 * static_cast<size_t>(corners[(i + 1) % n])];
        normal[0] += (static_cast<double>(a[1]) - b[1]) * (static_cast<double>(a[2]) + b[2]);
        normal[1] += (static_cast<double>(a[2]) - b[2]) * (static_cast<double>(a[0]) + b[0]);
        normal[2] += (static_cast<double>(a[0]) - b[0]) * (static_cast<double>(a[1]) + b[1]);
    }
    int drop = 0;
    for (int k = 1; k < 3; ++k)
        if (std::fabs(normal[k]) > std::fabs(normal[drop]))
            drop = k;
    if (!(std::fabs(normal[drop]) > 0.0))
        return false; // also false for NaN coordinates
    // The two remaining axes in cyclic order (x y, y z, z x) see the polygon wind
    // counter-clockwise exactly when the dropped component of the normal is positive.
    const int uAxis = (drop + 1) % 3, vAxis = (drop + 2) % 3;
    const double flip = normal[drop] > 0 ? 1.0 : -1.0;
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const float* p = &model.positions[3 * static_cast<size_t>(corners[i])];
        out[i] = {flip * p[uAxis], static_cast<double>(p[vAxis])};
    }
    return true;
}

// Convex: no corner turns clockwise (beyond rounding) and the turns add up to one full
// turn, which rules out star shapes that wind twice.
static bool isConvex(const std::vector<Point2>& p) {
    const size_t n = p.size();
    double turning = 0;
    for (size_t i = 0; i < n; ++i) {
        Point2 a = p[(i + n - 1) % n], b = p[i], c = p[(i + 1) % n];
        double e1u = b.u - a.u, e1v = b.v - a.v, e2u = c.u - b.u, e2v = c.v - b.v;
        double cross = e1u * e2v - e1v * e2u;
        double lengths = std::sqrt((e1u * e1u + e1v * e1v) * (e2u * e2u + e2v * e2v));
        if (cross < -1e-6 * lengths)
            return false;
        turning += std::atan2(cross, e1u * e2u + e1v * e2v);
    }
    return turning < 3.0 * 3.14159265358979323846;
}

static bool insideTriangle(Point2 p, Point2 a, Point2 b, Point2 c) {
    return area2(a, b, p) >= 0 && area2(b, c, p) >= 0 && area2(c, a, p) >= 0;
}

// Past this many corners that do not turn counter-clockwise, a polygon is fanned instead
// of cut into ears: each ear test looks at every such corner, so the cost of a face grows
// with its corners times this count, and a crafted face could otherwise stall loading.
static const int32_t kMaxInwardCorners = 1024;

// Ear clipping: repeatedly cuts off a corner whose triangle turns counter-clockwise and
// holds no other remaining corner. Only corners that do not turn counter-clockwise
// ("inward" corners, collinear ones included) need that check: in a simple polygon a
// triangle of three consecutive corners that holds any corner holds an inward one. Ear
// marks are kept per corner and refreshed only for the two neighbours of a cut, so a
// polygon costs O(n × inward corners). Whatever is left when no ear is found (a
// self-crossing outline) is fanned. Returns false, leaving triangles alone, when the
// polygon has more than kMaxInwardCorners inward corners.
static bool clipEars(const std::vector<Point2>& p, std::vector<int32_t>& triangles) {
    const int32_t n = static_cast<int32_t>(p.size());
    std::vector<int32_t> prev(n), next(n);
    for (int32_t i = 0; i < n; ++i) {
        prev[i] = (i + n - 1) % n;
        next[i] = (i + 1) % n;
    }
    std::vector<char> inward(n), removed(n);
    std::vector<int32_t> inwardList;
    auto turnsInward = [&](int32_t i) { return area2(p[prev[i]], p[i], p[next[i]]) <= 0; };
    for (int32_t i = 0; i < n; ++i) {
        inward[i] = turnsInward(i);
        if (inward[i])
            inwardList.push_back(i);
    }
    if (static_cast<int32_t>(inwardList.size()) > kMaxInwardCorners)
        return false;
    auto isEar = [&](int32_t i) {
        if (inward[i])
            return false;
        Point2 a = p[prev[i]], b = p[i], c = p[next[i]];
        for (int32_t j : inwardList) {
            if (removed[j] || !inward[j] || j == prev[i] || j == next[i])
                continue;
            Point2 q = p[j];
            bool atCorner = (q.u == a.u && q.v == a.v) || (q.u == b.u && q.v == b.v) || (q.u == c.u && q.v == c.v);
            if (!atCorner && insideTriangle(q, a, b, c))
                return false;
        }
        return true;
    };
    // A cut changes the turn of its two neighbours only.
    auto refresh = [&](int32_t i) {
        bool now = turnsInward(i);
        if (now && !inward[i])
            inwardList.push_back(i); // only a self-crossing outline turns a corner inward
        inward[i] = now;
    };
    std::vector<char> ear(n);
    for (int32_t i = 0; i < n; ++i)
        ear[i] = isEar(i);
    int32_t left = n, at = 0;
    while (left > 3) {
        int32_t tried = 0;
        while (!ear[at] && tried < left) {
            at = next[at];
            ++tried;
        }
        if (!ear[at])
            break;
        triangles.insert(triangles.end(), {prev[at], at, next[at]});
        int32_t before = prev[at], after = next[at];
        next[before] = after;
        prev[after] = before;
        removed[at] = 1;
        --left;
        refresh(before);
        refresh(after);
        ear[before] = isEar(before);
        ear[after] = isEar(after);
        at = after;
    }
    for (int32_t second = next[at], third = next[second]; third != at; second = third, third = next[third])
        triangles.insert(triangles.end(), {at, second, third});
    return true;
}

// Triangles of the polygon as corner-number triples: the fan around corner 0 when the
// polygon is convex (or degenerate), ear clipping otherwise. Returns false when a
// concave polygon had too many inward corners to cut into ears and was fanned.
static bool triangulate(const std::vector<int32_t>& corners, const vyxObjModel& model,
                        std::vector<int32_t>& triangles) {
    triangles.clear();
    const int32_t n = static_cast<int32_t>(corners.size());
    std::vector<Point2> projected;
    bool cut = true;
    if (n > 3 && projectPolygon(corners, model, projected) && !isConvex(projected)) {
        if (clipEars(projected, triangles))
            return true;
        cut = false;
    }
    for (int32_t i = 2; i < n; ++i)
        triangles.insert(triangles.end(), {0, i - 1, i});
    return cut;
}

namespace {

// The lists readFace fills for every face, kept from one face to the next so that a
// large model's faces do not each allocate them anew.
struct FaceScratch {
    std::vector<Corner> corners;
    std::vector<int32_t> positions, triangles;
    std::string token;
};

} // namespace

static void readFace(const std::string& line, int position, vyxObjModel& model, int32_t& groupIndex, int32_t material,
                     const char* path, long lineNumber, size_t& faceRoom, FaceScratch& scratch) {
    // Every corner is checked before any triangle is made, so a bad polygon is dropped whole.
    std::vector<Corner>& corners = scratch.corners;
    std::string& token = scratch.token;
    corners.clear();
    while ((position = vyxNextToken(position, line, token)) >= 0) {
        Corner corner;
        if (!parseCorner(token, model, corner)) {
            std::fprintf(stderr,
                         "vyx: %s:%ld: face corner \"%s\" is malformed or names no element read so far; face "
                         "dropped\n",
                         vyxEscapeText(path).c_str(), lineNumber, vyxEscapeText(token).c_str());
            return;
        }
        corners.push_back(corner);
    }
    if (corners.size() < 3) {
        std::fprintf(stderr, "vyx: %s:%ld: face of %zu corner%s; a face needs three; face dropped\n",
                     vyxEscapeText(path).c_str(), lineNumber, corners.size(), corners.size() == 1 ? "" : "s");
        return;
    }
    std::vector<int32_t>& positions = scratch.positions;
    std::vector<int32_t>& triangles = scratch.triangles;
    positions.resize(corners.size());
    for (size_t i = 0; i < corners.size(); ++i)
        positions[i] = corners[i].position;
    if (!triangulate(positions, model, triangles))
        std::fprintf(stderr,
                     "vyx: %s:%ld: face of %zu corners with more than %d inward corners; fanned from its first "
                     "corner, so it may cover its own notches\n",
                     vyxEscapeText(path).c_str(), lineNumber, corners.size(), static_cast<int>(kMaxInwardCorners));
    vyxObjGroup& group = currentGroup(model, groupIndex);
    if (faceRoom > 0 && group.faces.capacity() == 0) {
        group.faces.reserve(faceRoom);
        faceRoom = 0;
    }
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        vyxObjFace face;
        for (int c = 0; c < 3; ++c) {
            const Corner& corner = corners[static_cast<size_t>(triangles[t + c])];
            face.position[c] = corner.position;
            face.texcoord[c] = corner.texcoord;
            face.normal[c] = corner.normal;
        }
        face.material = material;
        group.material = material;
        group.faces.push_back(face);
    }
}

// Index of the last material named name, or -1.
static int32_t materialByName(const vyxObjModel& model, const std::string& name) {
    for (size_t i = model.materials.size(); i-- > 0;)
        if (model.materials[i].name == name)
            return static_cast<int32_t>(i);
    return -1;
}

// How many lines of text start with "v" and "f" (after blanks) followed by a blank: the
// positions and, about, the faces to come.
static void countListLines(const std::string& text, size_t& positions, size_t& faces) {
    const char* at = text.data();
    const char* end = at + text.size();
    while (at < end) {
        while (at < end && (*at == ' ' || *at == '\t'))
            ++at;
        if (end - at >= 2 && (at[1] == ' ' || at[1] == '\t')) {
            positions += at[0] == 'v';
            faces += at[0] == 'f';
        }
        const void* newline = std::memchr(at, '\n', static_cast<size_t>(end - at));
        at = newline ? static_cast<const char*>(newline) + 1 : end;
    }
}

// What "mtllib" does unless the caller says otherwise: read the library file.
static void readLibraryFile(vyxObjModel& model, const char* path, const char* folder, void*) {
    vyxLoadMtl(model, path, folder);
}

// The folder of a library that vyxFindPath found at path from folder. Below folder every
// "\" of the name has become "/" unless the file exists as written, so a "\" left there is
// part of a file's name, not a separator: "venus\stone.mtl" opened as written lies in
// folder itself, and its textures are found there.
static std::string libraryFolder(const std::string& folder, const std::string& path) {
    const bool below = path.compare(0, folder.size(), folder) == 0;
    const size_t slash = path.rfind('/');
    if (below && (slash == std::string::npos || slash < folder.size()))
        return folder;
    return path.substr(0, slash + 1); // an absolute name: it starts with "/"
}

// The reader proper, over the file's bytes, which it decodes in place: the path version
// hands over the bytes it read instead of copying them.
static void readObjText(std::string decoded, const char* displayName, const char* baseDir, vyxObjModel& model,
                        vyxMtlLibraryReader readLibrary, void* context) {
    vyxDecodeText(decoded);
    const char* path = displayName ? displayName : "(no name)"; // what messages call the text
    const std::string folder = vyxFolderPrefix(baseDir);
    if (!readLibrary)
        readLibrary = readLibraryFile;

    // Room for the position list and the first group's faces up front, so that a large
    // model is not copied again and again as its lists grow.
    size_t positionLines = 0;
    size_t faceRoom = 0;
    countListLines(decoded, positionLines, faceRoom);
    model.positions.reserve(model.positions.size() + 3 * positionLines);

    int32_t groupIndex = 0;
    int32_t material = 0;
    // Material names used that no library read so far defines, with the line of first use.
    std::map<std::string, long> unknownMaterials;
    FaceScratch faceScratch;
    vyxLineCursor cursor;
    cursor.text = &decoded;
    std::string line;
    std::string keyword;
    while (vyxNextLine(cursor, line)) {
        keyword.clear();
        int position = vyxNextToken(0, line, keyword);
        if (position < 0) {
            continue;
        }
        // The two kinds of line that make up nearly all of a large file come first.
        if (keyword == "f") {
            readFace(line, position, model, groupIndex, material, path, cursor.lineNumber, faceRoom, faceScratch);
        } else if (keyword == "v" || keyword == "vn") {
            std::vector<float>& list = keyword == "v" ? model.positions : model.normals;
            for (int i = 0; i < 3; ++i) {
                list.push_back(parseFloat(nextArgument(position, line)));
            }
        } else if (keyword == "vt") {
            float u = parseFloat(nextArgument(position, line));
            float v = parseFloat(nextArgument(position, line));
            model.texcoords.push_back(u);
            model.texcoords.push_back(v);
            model.texcoords.push_back(0.0f);
        } else if (keyword == "mtllib") {
            std::string library, more;
            while ((position = vyxNextToken(position, line, library)) >= 0) {
                // "venus\ stone.mtl": some exporters escape a space in a name with a backslash.
                int next;
                while (library.back() == '\\' && (next = vyxNextToken(position, line, more)) >= 0) {
                    library.back() = ' ';
                    library += more;
                    position = next;
                }
                const std::string found = vyxFindPath(folder, library, model.confinedTo);
                if (!found.empty())
                    readLibrary(model, found.c_str(), libraryFolder(folder, found).c_str(), context);
            }
            for (auto it = unknownMaterials.begin(); it != unknownMaterials.end();) {
                if (materialByName(model, it->first) < 0) {
                    ++it;
                    continue;
                }
                std::fprintf(stderr,
                             "vyx: %s:%ld: material \"%s\" is used before line %ld, whose library defines it; "
                             "faces before that use the default material\n",
                             vyxEscapeText(path).c_str(), it->second, vyxEscapeText(it->first).c_str(),
                             cursor.lineNumber);
                it = unknownMaterials.erase(it);
            }
        } else if (keyword == "g" || keyword == "o") {
            std::string name = nextArgument(position, line);
            groupIndex = groupIndexByName(model, name.empty() ? std::string("default") : name);
        } else if (keyword == "usemtl") {
            std::string name = nextArgument(position, line);
            material = materialByName(model, name);
            if (material < 0)
                unknownMaterials.emplace(name, cursor.lineNumber);
        }
    }
    for (const auto& unknown : unknownMaterials)
        std::fprintf(stderr, "vyx: %s:%ld: no material library defines \"%s\"; its faces use the default material\n",
                     vyxEscapeText(path).c_str(), unknown.second, vyxEscapeText(unknown.first).c_str());
    vyxReportSkippedLines(cursor, path);
}

void vyxLoadObjFromText(const char* text, size_t size, const char* displayName, const char* baseDir, vyxObjModel& model,
                        vyxMtlLibraryReader readLibrary, void* context) {
    readObjText(size > 0 ? std::string(text, size) : std::string(), displayName, baseDir, model, readLibrary, context);
}

bool vyxLoadObj(const char* path, vyxObjModel& model) {
    std::string bytes;
    if (!vyxReadFileBytes(path, "model", bytes))
        return false;
    readObjText(std::move(bytes), path, vyxFolderOf(path).c_str(), model, nullptr, nullptr);
    return true;
}
