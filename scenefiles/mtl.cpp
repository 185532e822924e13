#include "scenefiles/mtl.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "scenefiles/obj.h"
#include "scenefiles/text.h"
#include "util/escape.h"

vyxMaterial vyxDefaultMaterial() {
    vyxMaterial material;
    material.color[0] = 0.8f;
    material.color[1] = 0.8f;
    material.color[2] = 0.8f;
    material.alpha = 1.0f;
    material.texture = nullptr;
    material.textureFile = nullptr;
    material.specular = 0.0f;
    material.reflectivity = 0.0f;
    material.tintedReflectivity = 0.0f;
    material.fresnel = 0.0f;
    material.unlit = 0;
    material.castsShadows = 1;
    return material;
}

vyxMaterial vyxMaterialFromMtl(const vyxMtlMaterial& mtl) {
    vyxMaterial material = vyxDefaultMaterial();
    material.color[0] = mtl.kd[0];
    material.color[1] = mtl.kd[1];
    material.color[2] = mtl.kd[2];
    material.alpha = mtl.dissolve;
    if (mtl.hasMapKd) {
        // A failed allocation leaves the material without a texture, as a missing image would.
        const std::string path = vyxFindPath(mtl.folder, mtl.mapKd, mtl.confinedTo);
        material.textureFile = path.empty() ? nullptr : static_cast<char*>(std::malloc(path.size() + 1));
        if (material.textureFile) {
            std::memcpy(material.textureFile, path.c_str(), path.size() + 1);
        }
    }
    material.specular = std::sqrt(mtl.ks[0] * mtl.ks[0] + mtl.ks[1] * mtl.ks[1] + mtl.ks[2] * mtl.ks[2]);
    material.reflectivity = mtl.reflectivity;
    material.fresnel = mtl.ft;
    material.unlit = mtl.lit == 0 ? 1 : 0;
    return material;
}

void vyxFreeMaterial(vyxMaterial& material) {
    std::free(material.textureFile);
    material.textureFile = nullptr;
}

namespace {

// Where a library line is, for warnings.
struct LineSource {
    const char* path;
    long line;
};

} // namespace

// The largest colour component kept; beyond it a surface only blows out the picture.
static const float kMaxColour = 1000.0f;

// The next number of the line. present is false at the end of the line; usable is
// false there and for a number that is not finite, which the shading could not use (a
// NaN opacity would turn every shadow through the surface into NaN); that is warned of.
static float nextFloat(int& position, const std::string& line, const std::string& keyword, const LineSource& at,
                       bool& present, bool& usable) {
    std::string token;
    position = vyxNextToken(position, line, token);
    present = position >= 0;
    float value = present ? std::strtof(token.c_str(), nullptr) : 0.0f;
    usable = present && std::isfinite(value);
    if (present && !usable)
        std::fprintf(stderr, "vyx: %s:%ld: %s value %s is not a finite number; line ignored\n",
                     vyxEscapeText(at.path).c_str(), at.line, vyxEscapeText(keyword).c_str(),
                     vyxEscapeText(token).c_str());
    return usable ? value : 0.0f;
}

// value limited to [low, high], with a warning when it was outside.
static float clampWarned(float value, float low, float high, const std::string& keyword, const LineSource& at) {
    if (value >= low && value <= high)
        return value;
    float kept = value < low ? low : high;
    std::fprintf(stderr, "vyx: %s:%ld: %s value %g is outside [%g, %g]; %g used\n", vyxEscapeText(at.path).c_str(),
                 at.line, vyxEscapeText(keyword).c_str(), static_cast<double>(value), static_cast<double>(low),
                 static_cast<double>(high), static_cast<double>(kept));
    return kept;
}

// "Kd r [g b]": a colour given by one number is grey, as the MTL format defines it. A
// line without numbers, or with one that is not finite, changes nothing; components are
// kept in [0, kMaxColour].
static void readColor(int position, const std::string& line, const std::string& keyword, const LineSource& at,
                      float color[3]) {
    bool present = false, usable = false;
    float r = nextFloat(position, line, keyword, at, present, usable);
    if (!usable)
        return;
    float g = nextFloat(position, line, keyword, at, present, usable);
    bool hasG = present;
    if (hasG && !usable)
        return;
    float b = hasG ? nextFloat(position, line, keyword, at, present, usable) : r;
    if (hasG && present && !usable)
        return;
    color[0] = clampWarned(r, 0.0f, kMaxColour, keyword, at);
    color[1] = hasG ? clampWarned(g, 0.0f, kMaxColour, keyword, at) : color[0];
    color[2] = hasG ? clampWarned(b, 0.0f, kMaxColour, keyword, at) : color[0];
}

// Options of a texture map line and how many arguments each takes; -o, -s and -t take
// one to three numbers.
static int optionArguments(const std::string& option) {
    static const char* const one[] = {"-blendu", "-blendv",  "-boost", "-texres", "-clamp",
                                      "-bm",     "-imfchan", "-type",  "-cc"};
    for (const char* name : one)
        if (option == name)
            return 1;
    if (option == "-mm")
        return 2;
    if (option == "-o" || option == "-s" || option == "-t")
        return 3;
    return 0;
}

static bool isNumber(const std::string& token) {
    char* end = nullptr;
    std::strtod(token.c_str(), &end);
    return end != token.c_str() && *end == '\0';
}

// The file name of a texture map line: known options skipped with their arguments, then
// the rest of the line with surrounding white space removed. Empty when there is none.
static std::string textureName(int position, const std::string& line) {
    std::string token;
    int start = position;
    while ((position = vyxNextToken(start, line, token)) >= 0) {
        int arguments = optionArguments(token);
        if (arguments == 0)
            break;
        bool upToThree = arguments == 3;
        for (int taken = 0; taken < arguments; ++taken) {
            int after = vyxNextToken(position, line, token);
            if (after < 0 || (upToThree && taken > 0 && !isNumber(token)))
                break;
            position = after;
        }
        start = position;
    }
    if (position < 0)
        return std::string();
    size_t first = line.find_first_not_of(" \t\v\f\r\n", static_cast<size_t>(start));
    size_t last = line.find_last_not_of(" \t\v\f\r\n");
    return line.substr(first, last + 1 - first);
}

// The reader proper, over the file's bytes, which it decodes in place: the path version
// hands over the bytes it read instead of copying them.
static void readMtlText(vyxObjModel& model, std::string decoded, const char* displayName, const char* folder) {
    vyxDecodeText(decoded);
    const char* path = displayName ? displayName : "(no name)"; // what messages call the text
    const std::string textureFolder = vyxFolderPrefix(folder);

    // Properties before the first "newmtl" of this library belong to no material.
    vyxMtlMaterial* current = nullptr;
    vyxLineCursor cursor;
    cursor.text = &decoded;
    std::string line;
    std::string keyword;
    std::string token;
    bool present = false;
    while (vyxNextLine(cursor, line)) {
        int position = vyxNextToken(0, line, keyword);
        if (position < 0) {
            continue;
        }
        const LineSource at = {path, cursor.lineNumber};
        if (keyword == "newmtl") {
            model.materials.emplace_back();
            current = &model.materials.back();
            token.clear();
            vyxNextToken(position, line, token);
            current->name = token;
            current->folder = textureFolder;
            current->confinedTo = model.confinedTo;
            continue;
        }
        if (!current) {
            continue;
        }
        if (keyword == "Kd") {
            readColor(position, line, keyword, at, current->kd);
        } else if (keyword == "Ka") {
            readColor(position, line, keyword, at, current->ka);
        } else if (keyword == "Ks") {
            readColor(position, line, keyword, at, current->ks);
        } else if (keyword == "Ke") {
            readColor(position, line, keyword, at, current->ke);
        } else if (keyword == "Ft" || keyword == "d") {
            bool usable = false;
            float value = nextFloat(position, line, keyword, at, present, usable);
            if (usable && keyword == "Ft") {
                current->ft = value;
            } else if (usable) {
                // An opacity outside [0, 1] would add negative light behind the surface.
                current->dissolve = clampWarned(value, 0.0f, 1.0f, keyword, at);
            }
        } else if (keyword == "illum") {
            token.clear();
            if (vyxNextToken(position, line, token) < 0) {
                continue;
            }
            double illum = std::strtod(token.c_str(), nullptr);
            if (illum == 3.0) {
                current->reflectivity = (current->ks[1] + current->ks[0] + current->ks[2]) / 3.0f;
            } else if (illum != 0.0) {
                current->reflectivity = 0.0f;
            } else {
                current->lit = 0;
            }
        } else if (keyword == "map_Kd" || keyword == "map_Ka") {
            std::string name = textureName(position, line);
            if (name.empty()) {
                continue;
            }
            if (keyword == "map_Kd") {
                current->hasMapKd = 1;
                current->mapKd = name;
            } else {
                current->hasMapKa = 1;
                current->mapKa = name;
            }
        }
    }
    vyxReportSkippedLines(cursor, path);
}

void vyxLoadMtlFromText(vyxObjModel& model, const char* text, size_t size, const char* displayName,
                        const char* folder) {
    readMtlText(model, size > 0 ? std::string(text, size) : std::string(), displayName, folder);
}

bool vyxLoadMtl(vyxObjModel& model, const char* path, const char* folder) {
    std::string bytes;
    if (!vyxReadFileBytes(path, "material library", bytes))
        return false;
    readMtlText(model, std::move(bytes), path, folder ? folder : vyxFolderOf(path).c_str());
    return true;
}
