#include "scenefiles/model_format.h"

#include <cctype>
#include <cstring>
#include <string>

#include "scenefiles/text.h"

namespace {

struct Signature {
    const char* bytes;
    size_t length;
    const char* what;
};

// Files the import helper has no reader for, by their first bytes. ZIP is not here: a
// zipped Collada model (.zae) is one.
const Signature kNotModels[] = {
    {"\x89PNG\r\n\x1a\n", 8, "a PNG image"},
    {"\xff\xd8\xff", 3, "a JPEG image"},
    {"GIF8", 4, "a GIF image"},
    {"BM", 2, "a BMP image"},
    {"II*\0", 4, "a TIFF image"},
    {"%PDF", 4, "a PDF document"},
    {"\x1f\x8b", 2, "a gzip archive"},
    {"7z\xbc\xaf\x27\x1c", 6, "a 7-Zip archive"},
    {"\x7f"
     "ELF",
     4, "a program"},
};

// Keywords an OBJ file may start with (after comments and blank lines).
const char* const kObjKeywords[] = {"v",      "vt",     "vn",     "vp",     "f",      "g",   "o",    "s",
                                    "l",      "p",      "mtllib", "usemtl", "cstype", "deg", "curv", "surf",
                                    "maplib", "usemap", "mg",     "lod",    "call",   "csh"};

bool extensionIs(const char* path, const char* extension) {
    const char* dot = path ? std::strrchr(path, '.') : nullptr;
    const char* slash = path ? std::strrchr(path, '/') : nullptr;
    if (!dot || (slash && dot < slash))
        return false;
    std::string lower(dot + 1);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == extension;
}

} // namespace

vyxModelKind vyxDetectModelKind(const char* head, size_t size, const char* path, const char** what) {
    if (size > 0 && head == nullptr)
        size = 0;
    for (const Signature& s : kNotModels)
        if (size >= s.length && std::memcmp(head, s.bytes, s.length) == 0) {
            // A binary STL starts with 80 bytes of free text, which may be anything.
            if (extensionIs(path, "stl"))
                break;
            if (what)
                *what = s.what;
            return ModelNotModel;
        }
    std::string text(head ? head : "", size);
    vyxDecodeText(text);
    vyxLineCursor cursor;
    cursor.text = &text;
    std::string line, keyword;
    // The first line holding a keyword decides; text without one (empty, or comments
    // only) is an empty OBJ model when it is named so.
    while (vyxNextLine(cursor, line)) {
        if (vyxNextToken(0, line, keyword) < 0)
            continue;
        for (const char* k : kObjKeywords)
            if (keyword == k)
                return ModelObj;
        return ModelImported;
    }
    return extensionIs(path, "obj") && cursor.binaryLines == 0 ? ModelObj : ModelImported;
}
