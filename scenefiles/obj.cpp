#include "scenefiles/obj.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/types.h>

#include <vector>

static bool isSeparator(char c) {
    return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool vyxReadLine(FILE* file, std::string& line) {
    line.clear();
    // getline keeps NUL bytes in the count, so a stray NUL cannot merge two lines.
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = getline(&buffer, &capacity, file);
    if (length < 0) {
        std::free(buffer);
        return false;
    }
    size_t kept = static_cast<size_t>(length);
    if (kept > 0 && buffer[kept - 1] == '\n') {
        --kept;
    }
    line.assign(buffer, kept);
    std::free(buffer);
    return true;
}

int vyxNextToken(int start, const std::string& line, std::string& token) {
    if (start < 0) {
        return -1;
    }
    size_t position = static_cast<size_t>(start);
    while (position < line.size() && isSeparator(line[position])) {
        ++position;
    }
    if (position >= line.size()) {
        return -1;
    }
    size_t end = position;
    while (end < line.size() && !isSeparator(line[end])) {
        ++end;
    }
    if (end > static_cast<size_t>(INT_MAX)) {
        return -1;
    }
    token.assign(line, position, end - position);
    return static_cast<int>(end);
}

// The next token of the line, or an empty string when the line has no more; position
// follows along (and stays -1 once the line is exhausted).
static std::string nextArgument(int& position, const std::string& line) {
    std::string token;
    position = vyxNextToken(position, line, token);
    return token;
}

static float parseFloat(const std::string& text) {
    return std::strtof(text.c_str(), nullptr);
}

// One index field of a face corner. Returns false when the field is present but does
// not name a valid element; an empty field leaves index at -1 ("none").
static bool resolveIndex(const std::string& field, int32_t count, int32_t& index) {
    index = -1;
    if (field.empty()) {
        return true;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(field.c_str(), &end, 10);
    if (end == field.c_str() || errno == ERANGE) {
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

struct Corner {
    int32_t position;
    int32_t texcoord;
    int32_t normal;
};

// A vertex token "p", "p/t", "p//n" or "p/t/n". The position is required; the other
// fields are -1 when absent.
static bool parseCorner(const std::string& token, const vyxObjModel& model, Corner& corner) {
    std::string fields[3];
    size_t fieldCount = 0;
    size_t start = 0;
    while (true) {
        size_t slash = token.find('/', start);
        if (fieldCount == 3) {
            return false; // more than three fields
        }
        fields[fieldCount++] =
            token.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    if (fields[0].empty()) {
        return false;
    }
    return resolveIndex(fields[0], model.positionCount(), corner.position) &&
           resolveIndex(fields[1], model.texcoordCount(), corner.texcoord) &&
           resolveIndex(fields[2], model.normalCount(), corner.normal);
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

static void readFace(const std::string& line, int position, vyxObjModel& model, int32_t& groupIndex,
                     int32_t material, const char* path, long lineNumber) {
    // Every corner is checked before any triangle is made, so a bad polygon is dropped whole.
    std::vector<Corner> corners;
    std::string token;
    while ((position = vyxNextToken(position, line, token)) >= 0) {
        Corner corner;
        if (!parseCorner(token, model, corner)) {
            std::fprintf(stderr,
                         "vyx: %s:%ld: face corner \"%s\" is malformed or names no element read so far; face "
                         "dropped\n",
                         path, lineNumber, token.c_str());
            return;
        }
        corners.push_back(corner);
    }
    if (corners.size() < 3) {
        return;
    }
    vyxObjGroup& group = currentGroup(model, groupIndex);
    const Corner& first = corners[0];
    for (size_t i = 2; i < corners.size(); ++i) {
        const Corner& previous = corners[i - 1];
        const Corner& current = corners[i];
        vyxObjFace face;
        face.position[0] = first.position;
        face.position[1] = previous.position;
        face.position[2] = current.position;
        face.texcoord[0] = first.texcoord;
        face.texcoord[1] = previous.texcoord;
        face.texcoord[2] = current.texcoord;
        face.normal[0] = first.normal;
        face.normal[1] = previous.normal;
        face.normal[2] = current.normal;
        face.material = material;
        group.material = material;
        group.faces.push_back(face);
    }
}

static std::string directoryPrefix(const std::string& path) {
    size_t last = path.find_last_of("/\\");
    if (last == std::string::npos) {
        return "./";
    }
    return path.substr(0, last + 1);
}

void vyxLoadObj(const char* path, vyxObjModel& model) {
    if (!path) {
        std::fputs("Unable to open file.\n", stdout);
        return;
    }
    const std::string prefix = directoryPrefix(path);
    FILE* file = std::fopen(path, "r");
    if (!file) {
        std::fputs("Unable to open file.\n", stdout);
        return;
    }
    std::printf("Opened file %s\n", path);

    int32_t groupIndex = 0;
    int32_t material = 0;
    long lineNumber = 0;
    std::string line;
    std::string keyword;
    while (vyxReadLine(file, line)) {
        ++lineNumber;
        keyword.clear();
        int position = vyxNextToken(0, line, keyword);
        if (position < 0) {
            continue;
        }
        if (keyword == "mtllib") {
            std::string name = nextArgument(position, line);
            if (!name.empty()) {
                vyxLoadMtl(model, (prefix + name).c_str());
            }
        } else if (keyword == "g" || keyword == "o") {
            std::string name = nextArgument(position, line);
            groupIndex = groupIndexByName(model, name.empty() ? std::string("default") : name);
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
        } else if (keyword == "f") {
            readFace(line, position, model, groupIndex, material, path, lineNumber);
        } else if (keyword == "usemtl") {
            std::string name = nextArgument(position, line);
            for (size_t i = model.materials.size(); i-- > 0;) {
                if (model.materials[i].name == name) {
                    material = static_cast<int32_t>(i);
                    break;
                }
            }
        }
    }
    // A folder opens as a file here but cannot be read.
    if (std::ferror(file)) {
        std::fprintf(stderr, "vyx: error reading %s after line %ld\n", path, lineNumber);
    }
    std::fclose(file);
}
