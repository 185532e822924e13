#include "scenefiles/obj.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <map>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scenefiles/text.h"
#include "util/escape.h"
#include "util/parallel.h"

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
static float parseFloat(std::string_view text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const char* first = begin != end && *begin == '-' ? begin + 1 : begin;
    if (first != end && (*first == '.' || (*first >= '0' && *first <= '9'))) {
        float value = 0.0f;
        const std::from_chars_result read = std::from_chars(begin, end, value);
        if (read.ec == std::errc() && read.ptr == end)
            return value;
    }
    return std::strtof(std::string(text).c_str(), nullptr);
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

// How many positions, texture coordinates and normals the lines before the current one
// defined: what face indices may name.
struct Counts {
    int32_t positions = 0;
    int32_t texcoords = 0;
    int32_t normals = 0;
};

} // namespace

// A vertex token "p", "p/t", "p//n" or "p/t/n". The position is required; the other
// fields are -1 when absent.
static bool parseCorner(const std::string& token, const Counts& counts, Corner& corner) {
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
    return resolveIndex(fields[0], lengths[0], counts.positions, corner.position) &&
           resolveIndex(fields[1], lengths[1], counts.texcoords, corner.texcoord) &&
           resolveIndex(fields[2], lengths[2], counts.normals, corner.normal);
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

// What the lines read so far left behind for the next ones, while the model is put
// together in file order.
struct ReadState {
    ReadState(vyxObjModel& model_, const char* path_, std::string folder_, vyxMtlLibraryReader readLibrary_,
              void* context_)
        : model(model_), path(path_), folder(std::move(folder_)), readLibrary(readLibrary_), context(context_) {}

    vyxObjModel& model;
    const char* path; // what messages call the text
    std::string folder;
    vyxMtlLibraryReader readLibrary;
    void* context;
    Counts counts;
    int32_t groupIndex = 0;
    int32_t material = 0;
    // Material names used that no library read so far defines, with the line of first use.
    std::map<std::string, long> unknownMaterials;
    size_t faceRoom = 0; // faces the first group to get any is given room for
    FaceScratch scratch;
};

} // namespace

// Gives the whole 2 MB pages inside bytes at memory to the kernel's transparent huge
// pages: a large list then costs one page fault per 2 MB as it fills, not one per 4 KB.
static void adviseHugePages(const void* memory, size_t bytes) {
    const uintptr_t huge = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(memory) + huge - 1) / huge * huge;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + bytes) / huge * huge;
    if (begin < end)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Adds the triangles of the polygon whose corners are in state.scratch.corners (three or
// more, every index valid) to the current group.
static void addFace(ReadState& state, long lineNumber) {
    const std::vector<Corner>& corners = state.scratch.corners;
    std::vector<int32_t>& triangles = state.scratch.triangles;
    if (corners.size() == 3) {
        triangles.assign({0, 1, 2});
    } else {
        std::vector<int32_t>& positions = state.scratch.positions;
        positions.resize(corners.size());
        for (size_t i = 0; i < corners.size(); ++i)
            positions[i] = corners[i].position;
        if (!triangulate(positions, state.model, triangles))
            std::fprintf(stderr,
                         "vyx: %s:%ld: face of %zu corners with more than %d inward corners; fanned from its first "
                         "corner, so it may cover its own notches\n",
                         vyxEscapeText(state.path).c_str(), lineNumber, corners.size(),
                         static_cast<int>(kMaxInwardCorners));
    }
    vyxObjGroup& group = currentGroup(state.model, state.groupIndex);
    if (state.faceRoom > 0 && group.faces.capacity() == 0) {
        group.faces.reserve(state.faceRoom);
        adviseHugePages(group.faces.data(), state.faceRoom * sizeof(vyxObjFace));
        state.faceRoom = 0;
    }
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        vyxObjFace face;
        for (int c = 0; c < 3; ++c) {
            const Corner& corner = corners[static_cast<size_t>(triangles[t + c])];
            face.position[c] = corner.position;
            face.texcoord[c] = corner.texcoord;
            face.normal[c] = corner.normal;
        }
        face.material = state.material;
        group.material = state.material;
        group.faces.push_back(face);
    }
}

static void readFace(const std::string& line, int position, ReadState& state, long lineNumber) {
    // Every corner is checked before any triangle is made, so a bad polygon is dropped whole.
    std::vector<Corner>& corners = state.scratch.corners;
    std::string& token = state.scratch.token;
    corners.clear();
    while ((position = vyxNextToken(position, line, token)) >= 0) {
        Corner corner;
        if (!parseCorner(token, state.counts, corner)) {
            std::fprintf(stderr,
                         "vyx: %s:%ld: face corner \"%s\" is malformed or names no element read so far; face "
                         "dropped\n",
                         vyxEscapeText(state.path).c_str(), lineNumber, vyxEscapeText(token).c_str());
            return;
        }
        corners.push_back(corner);
    }
    if (corners.size() < 3) {
        std::fprintf(stderr, "vyx: %s:%ld: face of %zu corner%s; a face needs three; face dropped\n",
                     vyxEscapeText(state.path).c_str(), lineNumber, corners.size(), corners.size() == 1 ? "" : "s");
        return;
    }
    addFace(state, lineNumber);
}

// Index of the last material named name, or -1.
static int32_t materialByName(const vyxObjModel& model, const std::string& name) {
    for (size_t i = model.materials.size(); i-- > 0;)
        if (model.materials[i].name == name)
            return static_cast<int32_t>(i);
    return -1;
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

// Every line but the lists of numbers ("v", "vt", "vn") and well-formed faces, which the
// chunks read ahead: faces with anything wrong, "mtllib", "g" / "o", "usemtl" and lines
// the reader does not know (ignored).
static void readOtherLine(const std::string& line, long lineNumber, ReadState& state) {
    vyxObjModel& model = state.model;
    std::string keyword;
    int position = vyxNextToken(0, line, keyword);
    if (position < 0)
        return;
    if (keyword == "f") {
        readFace(line, position, state, lineNumber);
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
            const std::string found = vyxFindPath(state.folder, library, model.confinedTo);
            if (!found.empty())
                state.readLibrary(model, found.c_str(), libraryFolder(state.folder, found).c_str(), state.context);
        }
        for (auto it = state.unknownMaterials.begin(); it != state.unknownMaterials.end();) {
            if (materialByName(model, it->first) < 0) {
                ++it;
                continue;
            }
            std::fprintf(stderr,
                         "vyx: %s:%ld: material \"%s\" is used before line %ld, whose library defines it; "
                         "faces before that use the default material\n",
                         vyxEscapeText(state.path).c_str(), it->second, vyxEscapeText(it->first).c_str(), lineNumber);
            it = state.unknownMaterials.erase(it);
        }
    } else if (keyword == "g" || keyword == "o") {
        std::string name = nextArgument(position, line);
        state.groupIndex = groupIndexByName(model, name.empty() ? std::string("default") : name);
    } else if (keyword == "usemtl") {
        std::string name = nextArgument(position, line);
        state.material = materialByName(model, name);
        if (state.material < 0)
            state.unknownMaterials.emplace(name, lineNumber);
    }
}

// Reading in chunks. A large text is cut at line ends into chunks that are read at once
// on the worker threads, each on its own: the numbers of "v", "vt" and "vn" lines are
// converted and the fields of faces parsed, which is nearly all the work. What a line
// means can depend on every line before it (the indices a face may name, the current
// group and material, the libraries read), so the chunks only record what they found,
// and one thread then puts the model together from those records in file order: it
// resolves the faces' indices, and it reads every other line itself, from the text, as a
// reader going through the file line by line would. Every message is printed then, in
// file order.

namespace {

// A record is one word holding its kind in the low 4 bits and a number above them, and
// for some kinds more words.
enum RecordKind : int32_t {
    kPositions = 0, // number: so many "v" lines; their numbers are in the chunk's list
    kTexcoords = 1, // the same for "vt"
    kNormals = 2,   // the same for "vn"
    // number: corners | texture coordinates present << 24 | normals present << 25 (bits
    // 28 and 29 of the word); then how many lines and bytes the line starts after the
    // one of the record before (after line 0 at the chunk's start for the first), then
    // per corner its position, texture coordinate (when present) and normal (when
    // present), coded as codeIndex does.
    kFace = 3,
    kLine = 4, // another line, read again when the model is put together; lines and bytes on as for kFace
    kSkip = 5, // lines and bytes on too many for one word each: two words each (low first)
};

const int32_t kMaxRun = 1 << 24;         // of kPositions & co.
const int32_t kMaxFastCorners = 1 << 20; // faces with more are read as other lines
const int32_t kAbsent = INT32_MIN;       // an empty index field

// A list of numbers in memory mapped for it alone rather than taken from the C library's
// heap: a program that keeps freed heap memory for later (vyxKeepFreedMemory) would
// otherwise keep a large model's records for good. Its first mapping is as large as
// the hint given (pages not touched cost nothing); it moves to one twice as large when
// full; it lies on huge pages and goes back to the system when destroyed. Throws
// std::bad_alloc when memory runs out.
template <typename T>
class MappedList {
public:
    MappedList() = default;
    MappedList(const MappedList&) = delete;
    MappedList& operator=(const MappedList&) = delete;
    MappedList(MappedList&& other) noexcept { swap(other); }
    MappedList& operator=(MappedList&& other) noexcept {
        MappedList gone;
        gone.swap(*this);
        swap(other);
        return *this;
    }
    ~MappedList() {
        if (data_)
            munmap(data_, bytes_);
    }

    T* data() const { return data_; }
    size_t size() const { return size_; }
    // How many elements the first mapping is to hold.
    void expect(size_t count) { expected_ = count; }
    T& operator[](size_t i) { return data_[i]; }
    void resize(size_t size) {
        reserve(size);
        size_ = size;
    }
    void push_back(T value) {
        if (size_ == capacity())
            grow(1);
        data_[size_++] = value;
    }
    void append(const T* values, size_t count) {
        if (size_ + count > capacity())
            grow(count);
        std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
    }
    void reserve(size_t count) {
        if (count <= capacity())
            return;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (count > SIZE_MAX / sizeof(T) - page)
            throw std::bad_alloc();
        const size_t bytes = (count * sizeof(T) + page - 1) / page * page;
        // Not mremap: a thread sanitizer cannot follow memory that moves that way.
        void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            throw std::bad_alloc();
        if (data_) {
            std::memcpy(memory, data_, size_ * sizeof(T));
            munmap(data_, bytes_);
        }
        data_ = static_cast<T*>(memory);
        bytes_ = bytes;
        madvise(data_, bytes_, MADV_HUGEPAGE);
    }

private:
    size_t capacity() const { return bytes_ / sizeof(T); }
    void grow(size_t more) {
        size_t want = data_ ? 2 * size_ : expected_;
        if (want < size_ + more)
            want = size_ + more;
        reserve(want < 1024 ? 1024 : want);
    }
    void swap(MappedList& other) {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(bytes_, other.bytes_);
        std::swap(expected_, other.expected_);
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t bytes_ = 0;
    size_t expected_ = 0;
};

// What a chunk found: its records and lists, and its lines.
struct Chunk {
    size_t begin = 0, end = 0; // bytes of the text
    MappedList<int32_t> records;
    MappedList<float> positions, texcoords, normals;
    long lines = 0;       // physical lines
    long binaryLines = 0; // of those, logical lines skipped for holding NUL bytes
    size_t triangles = 0; // made by the faces read ahead, at most
    bool failed = false;  // threw (ran out of memory)
};

} // namespace

// A parsed index field as a record keeps it: values no count can make valid (0, or out
// of the range of int32_t) become 0.
static int32_t codeIndex(long long value) {
    return value == 0 || value > INT32_MAX || value < -static_cast<long long>(INT32_MAX) ? 0
                                                                                         : static_cast<int32_t>(value);
}

// resolveIndex for a coded field.
static bool resolveCoded(int32_t code, int32_t count, int32_t& index) {
    if (code == kAbsent) {
        index = -1;
        return true;
    }
    if (code > 0 && code <= count) {
        index = code - 1;
        return true;
    }
    if (code < 0 && code >= -count) {
        index = count + code;
        return true;
    }
    return false;
}

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The next token of line from position, as vyxNextToken finds it; empty at the end.
static std::string_view nextToken(std::string_view line, size_t& position) {
    while (position < line.size() && isBlank(line[position]))
        ++position;
    const size_t start = position;
    while (position < line.size() && !isBlank(line[position]))
        ++position;
    // vyxNextToken gives no token that ends past INT_MAX, nor any after it.
    if (position > static_cast<size_t>(INT_MAX)) {
        position = line.size();
        return std::string_view();
    }
    return line.substr(start, position - start);
}

static void pushWide(MappedList<int32_t>& records, unsigned long long value) {
    records.push_back(static_cast<int32_t>(static_cast<uint32_t>(value)));
    records.push_back(static_cast<int32_t>(static_cast<uint32_t>(value >> 32)));
}

static unsigned long long readWide(const int32_t* words) {
    return static_cast<unsigned long long>(static_cast<uint32_t>(words[0])) |
           static_cast<unsigned long long>(static_cast<uint32_t>(words[1])) << 32;
}

namespace {

// The line and offset in the chunk of the last kFace or kLine record.
struct Place {
    long line = 0;
    size_t offset = 0;
};

} // namespace

// Starts a kFace or kLine record for the line at lineNumber and offset: the kind word
// (to be filled in later) and the distance from the last.
static void placeRecord(MappedList<int32_t>& records, Place& last, long lineNumber, size_t offset) {
    unsigned long long lines = static_cast<unsigned long long>(lineNumber - last.line);
    unsigned long long bytes = offset - last.offset;
    if (lines > INT32_MAX || bytes > INT32_MAX) {
        records.push_back(kSkip);
        pushWide(records, lines);
        pushWide(records, bytes);
        lines = bytes = 0;
    }
    records.push_back(0);
    records.push_back(static_cast<int32_t>(lines));
    records.push_back(static_cast<int32_t>(bytes));
    last.line = lineNumber;
    last.offset = offset;
}

// Appends one more line of kind to the run the records end with, or starts a run.
static void countListLine(MappedList<int32_t>& records, int32_t kind, int32_t& runAt) {
    if (runAt >= 0 && (records[static_cast<size_t>(runAt)] & 15) == kind &&
        (records[static_cast<size_t>(runAt)] >> 4) < kMaxRun) {
        records[static_cast<size_t>(runAt)] += 16;
        return;
    }
    runAt = static_cast<int32_t>(records.size());
    records.push_back(kind | 16);
}

// The face in line (after its keyword, from position) as a kFace record, when every
// corner is well-formed and there are three or more; false otherwise, adding nothing.
static bool recordFace(std::string_view line, size_t position, MappedList<int32_t>& records, size_t& triangles) {
    const size_t start = records.size() - 3; // placeRecord's words
    const size_t first = records.size();
    int32_t corners = 0;
    bool texcoords = false, normals = false;
    for (std::string_view token = nextToken(line, position); !token.empty(); token = nextToken(line, position)) {
        // As parseCorner: "p", "p/t", "p//n" or "p/t/n", p required.
        int32_t codes[3] = {kAbsent, kAbsent, kAbsent};
        size_t fieldStart = 0;
        for (int field = 0;; ++field) {
            if (field == 3) {
                records.resize(first);
                return false;
            }
            const size_t slash = token.find('/', fieldStart);
            const size_t length = (slash == std::string_view::npos ? token.size() : slash) - fieldStart;
            long long value = 0;
            if (length > 0) {
                if (!parseIndex(token.data() + fieldStart, length, value)) {
                    records.resize(first);
                    return false;
                }
                codes[field] = codeIndex(value);
            } else if (field == 0) {
                records.resize(first);
                return false;
            }
            if (slash == std::string_view::npos)
                break;
            fieldStart = slash + 1;
        }
        records.append(codes, 3);
        texcoords |= codes[1] != kAbsent;
        normals |= codes[2] != kAbsent;
        if (++corners > kMaxFastCorners) {
            records.resize(first);
            return false;
        }
    }
    if (corners < 3) {
        records.resize(first);
        return false;
    }
    // Drops the fields no corner has.
    if (!texcoords || !normals) {
        size_t to = first;
        for (size_t from = first; from < records.size(); from += 3) {
            records[to++] = records[from];
            if (texcoords)
                records[to++] = records[from + 1];
            if (normals)
                records[to++] = records[from + 2];
        }
        records.resize(to);
    }
    records[start] = kFace | corners << 4 | (texcoords ? 1 << 28 : 0) | (normals ? 1 << 29 : 0);
    triangles += static_cast<size_t>(corners - 2);
    return true;
}

// Reads the chunk's lines ahead: see above.
static void readChunk(const vyxTextBuffer& text, Chunk& chunk) {
    vyxLineView cursor;
    cursor.text = text.data;
    cursor.offset = chunk.begin;
    cursor.end = chunk.end;
    const size_t bytes = chunk.end - chunk.begin;
    // Room for what a file of triangles needs, and for lists of numbers as long as a
    // typical file of nothing else gives; mapped only when the first element comes.
    chunk.records.expect(bytes / 4);
    chunk.positions.expect(bytes / 8);
    chunk.texcoords.expect(bytes / 8);
    chunk.normals.expect(bytes / 8);
    int32_t runAt = -1;
    Place last;
    std::string_view line;
    while (vyxNextLineView(cursor, line)) {
        const long lineNumber = cursor.lineNumber;
        size_t position = 0;
        const std::string_view keyword = nextToken(line, position);
        if (keyword.empty())
            continue;
        MappedList<float>* list = nullptr;
        int32_t kind = kPositions;
        if (keyword == "v") {
            list = &chunk.positions;
        } else if (keyword == "vn") {
            list = &chunk.normals;
            kind = kNormals;
        } else if (keyword == "vt") {
            list = &chunk.texcoords;
            kind = kTexcoords;
        }
        if (list) {
            const float x = parseFloat(nextToken(line, position));
            const float y = parseFloat(nextToken(line, position));
            list->push_back(x);
            list->push_back(y);
            list->push_back(kind == kTexcoords ? 0.0f : parseFloat(nextToken(line, position)));
            countListLine(chunk.records, kind, runAt);
            continue;
        }
        runAt = -1;
        placeRecord(chunk.records, last, lineNumber, cursor.lineStart - chunk.begin);
        const size_t kindAt = chunk.records.size() - 3;
        if (keyword != "f" || !recordFace(line, position, chunk.records, chunk.triangles))
            chunk.records[kindAt] = kLine;
    }
    chunk.lines = cursor.nextLineNumber - 1;
    chunk.binaryLines = cursor.binaryLines;
    // Read from the text again only for the few lines the records do not hold.
    text.release(chunk.begin, chunk.end);
}

// Where the chunks of size bytes of text end: after line ends that no backslash
// continues, about every target bytes. The last one is size.
static std::vector<size_t> chunkEnds(const char* text, size_t size, size_t target) {
    std::vector<size_t> ends;
    size_t at = 0;
    while (size - at > target) {
        size_t end = at + target;
        for (;;) {
            const void* newline = std::memchr(text + end, '\n', size - end);
            if (!newline) {
                end = size;
                break;
            }
            end = static_cast<size_t>(static_cast<const char*>(newline) - text) + 1;
            // The physical line that ends here: before its "\n", or before "\r\n".
            size_t last = end - 1;
            if (last > 0 && text[last - 1] == '\r')
                --last;
            if (end == size || last == 0 || text[last - 1] != '\\')
                break;
        }
        if (end >= size)
            break;
        ends.push_back(end);
        at = end;
    }
    ends.push_back(size);
    return ends;
}

// Chunk size in bytes for tests; 0 = chosen from the text and the worker threads.
static std::atomic<size_t> chunkBytesForTests{0};

void vyxSetObjChunkBytes(size_t bytes) { chunkBytesForTests.store(bytes); }

// Smaller texts are read as one chunk: threads would gain little there.
static const size_t kMinChunkBytes = size_t{1} << 20;
// And larger ones in pieces of at most this much (as far as their line ends allow): the
// threads then share even a huge text in many pieces, and each piece's memory goes back
// as soon as the piece is in the model.
static const size_t kMaxChunkBytes = size_t{256} << 20;

// Puts the chunk's records into the model: see above.
static void joinChunk(const vyxTextBuffer& text, const Chunk& chunk, long lineBase, ReadState& state) {
    vyxObjModel& model = state.model;
    model.positions.insert(model.positions.end(), chunk.positions.data(),
                           chunk.positions.data() + chunk.positions.size());
    model.texcoords.insert(model.texcoords.end(), chunk.texcoords.data(),
                           chunk.texcoords.data() + chunk.texcoords.size());
    model.normals.insert(model.normals.end(), chunk.normals.data(), chunk.normals.data() + chunk.normals.size());
    std::string line;
    Place place;
    const int32_t* record = chunk.records.data();
    const int32_t* const end = record + chunk.records.size();
    while (record < end) {
        const int32_t kind = *record & 15;
        if (kind == kPositions || kind == kTexcoords || kind == kNormals) {
            int32_t& count = kind == kPositions   ? state.counts.positions
                             : kind == kTexcoords ? state.counts.texcoords
                                                  : state.counts.normals;
            // Saturating: faces can name no element past the largest index anyway.
            const int32_t more = *record >> 4;
            count = count > INT32_MAX - more ? INT32_MAX : count + more;
            ++record;
            continue;
        }
        if (kind == kSkip) {
            place.line += static_cast<long>(readWide(record + 1));
            place.offset += static_cast<size_t>(readWide(record + 3));
            record += 5;
            continue;
        }
        place.line += record[1];
        place.offset += static_cast<uint32_t>(record[2]);
        const long lineNumber = lineBase + place.line;
        const size_t offset = chunk.begin + place.offset;
        bool readAgain = kind == kLine;
        if (kind == kFace) {
            const int32_t corners = (*record >> 4) & ((1 << 24) - 1);
            const bool texcoords = (*record >> 28) & 1, normals = (*record >> 29) & 1;
            const int32_t* code = record + 3;
            std::vector<Corner>& list = state.scratch.corners;
            list.resize(static_cast<size_t>(corners));
            bool valid = true;
            for (int32_t i = 0; i < corners; ++i) {
                Corner& corner = list[static_cast<size_t>(i)];
                valid &= resolveCoded(*code++, state.counts.positions, corner.position);
                valid &= resolveCoded(texcoords ? *code++ : kAbsent, state.counts.texcoords, corner.texcoord);
                valid &= resolveCoded(normals ? *code++ : kAbsent, state.counts.normals, corner.normal);
            }
            record = code;
            if (valid)
                addFace(state, lineNumber);
            // A face naming what was not read yet is dropped with a message that names
            // the corner: the line itself says which.
            readAgain = !valid;
        } else {
            record += 3;
        }
        if (readAgain) {
            vyxLineView cursor;
            cursor.text = text.data;
            cursor.offset = offset;
            cursor.end = chunk.end;
            cursor.nextLineNumber = lineNumber;
            std::string_view view;
            vyxNextLineView(cursor, view);
            line.assign(view.data(), view.size());
            readOtherLine(line, lineNumber, state);
        }
    }
}

// The reader proper, over the decoded text.
static void readObjText(vyxTextBuffer& text, const char* displayName, const char* baseDir, vyxObjModel& model,
                        vyxMtlLibraryReader readLibrary, void* context) {
    ReadState state(model, displayName ? displayName : "(no name)", vyxFolderPrefix(baseDir),
                    readLibrary ? readLibrary : readLibraryFile, context);
    state.counts.positions = model.positionCount();
    state.counts.texcoords = model.texcoordCount();
    state.counts.normals = model.normalCount();

    size_t target = chunkBytesForTests.load();
    if (target == 0) {
        // A few chunks per thread, so that one left waiting on a slow chunk is short.
        const size_t threads = static_cast<size_t>(vyxWorkerCores());
        target = text.size / (4 * threads) + 1;
        target = target < kMinChunkBytes ? kMinChunkBytes : target > kMaxChunkBytes ? kMaxChunkBytes : target;
    }
    std::vector<Chunk> chunks;
    {
        size_t begin = 0;
        for (size_t end : chunkEnds(text.data, text.size, target)) {
            chunks.emplace_back();
            chunks.back().begin = begin;
            chunks.back().end = end;
            begin = end;
        }
    }
    // Work on the pool must not throw: a chunk that runs out of memory says so, and the
    // caller gets the exception a reader on one thread would have thrown.
    vyxParallelFor(static_cast<int>(chunks.size()), vyxWorkerCores(), [&](int i) {
        Chunk& chunk = chunks[static_cast<size_t>(i)];
        try {
            readChunk(text, chunk);
        } catch (...) {
            chunk.failed = true;
        }
    });
    for (const Chunk& chunk : chunks)
        if (chunk.failed)
            throw std::bad_alloc();

    // Room for every list up front, so that a large model is not copied again and again
    // as its lists grow.
    size_t positions = 0, texcoords = 0, normals = 0;
    for (const Chunk& chunk : chunks) {
        positions += chunk.positions.size();
        texcoords += chunk.texcoords.size();
        normals += chunk.normals.size();
        state.faceRoom += chunk.triangles;
    }
    model.positions.reserve(model.positions.size() + positions);
    adviseHugePages(model.positions.data(), model.positions.capacity() * sizeof(float));
    model.texcoords.reserve(model.texcoords.size() + texcoords);
    model.normals.reserve(model.normals.size() + normals);

    long lineBase = 0, binaryLines = 0;
    for (Chunk& chunk : chunks) {
        joinChunk(text, chunk, lineBase, state);
        lineBase += chunk.lines;
        binaryLines += chunk.binaryLines;
        // Neither the chunk's records nor its text are needed any more.
        text.release(chunk.begin, chunk.end);
        chunk = Chunk();
    }
    for (const auto& unknown : state.unknownMaterials)
        std::fprintf(stderr, "vyx: %s:%ld: no material library defines \"%s\"; its faces use the default material\n",
                     vyxEscapeText(state.path).c_str(), unknown.second, vyxEscapeText(unknown.first).c_str());
    vyxLineCursor skipped;
    skipped.binaryLines = binaryLines;
    vyxReportSkippedLines(skipped, state.path);
}

void vyxLoadObjFromText(const char* text, size_t size, const char* displayName, const char* baseDir, vyxObjModel& model,
                        vyxMtlLibraryReader readLibrary, void* context) {
    vyxTextBuffer decoded;
    vyxDecodeTextView(size > 0 ? text : nullptr, size, decoded);
    readObjText(decoded, displayName, baseDir, model, readLibrary, context);
}

bool vyxLoadObj(const char* path, vyxObjModel& model) {
    vyxTextBuffer text;
    if (!vyxReadFileText(path, "model", text))
        return false;
    readObjText(text, path, vyxFolderOf(path).c_str(), model, nullptr, nullptr);
    if (text.changedWhileRead()) {
        std::fprintf(stderr, "vyx: cannot read model %s: it was shortened while it was read\n",
                     vyxEscapeText(path).c_str());
        std::string confinedTo = std::move(model.confinedTo);
        model = vyxObjModel();
        model.confinedTo = std::move(confinedTo);
        return false;
    }
    return true;
}
