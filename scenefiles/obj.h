#pragma once
// OBJ model reader: positions, texture coordinates, normals, the materials of the MTL
// libraries it names, and its faces grouped by name and triangulated.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scenefiles/mtl.h"

// One triangle; every index 0-based, -1 where the corner has none.
struct vyxObjFace {
    int32_t position[3];
    int32_t texcoord[3];
    int32_t normal[3];
    int32_t material; // index into vyxObjModel::materials; -1 = the default material
};

struct vyxObjGroup {
    std::vector<vyxObjFace> faces; // in file order
    int32_t material = -1;         // material of the most recent face; -1 before any
    std::string name;              // from "g" / "o"
};

struct vyxObjModel {
    std::vector<float> positions;          // "v": x, y, z per position
    std::vector<float> texcoords;          // "vt": u, v, 0 per coordinate
    std::vector<float> normals;            // "vn": x, y, z per normal (not normalised)
    std::vector<vyxMtlMaterial> materials; // from every "mtllib", in order
    std::vector<vyxObjGroup> groups;       // "g" / "o"
    // Set by the caller before reading: "" follows every name the model gives, else the
    // folder every library and texture it names must lie in (vyxFindPath's confinedTo).
    std::string confinedTo;

    int32_t positionCount() const { return static_cast<int32_t>(positions.size() / 3); }
    int32_t texcoordCount() const { return static_cast<int32_t>(texcoords.size() / 3); }
    int32_t normalCount() const { return static_cast<int32_t>(normals.size() / 3); }
};

// Reads the material library at path into model; path is a name from an "mtllib" line
// as found from the model's folder (vyxFindPath), folder the folder the library lies in,
// from which its texture names are found (a "\" in a name opened as written is part of
// the file's name, so such a library lies in the model's folder). context is the
// caller's, passed through.
typedef void (*vyxMtlLibraryReader)(vyxObjModel& model, const char* path, const char* folder, void* context);

// Reads an OBJ model from size bytes of text into model (which should be empty). The
// bytes need not end in NUL and may hold NUL bytes; text may be null when size is 0.
// The text is read as vyxDecodeText and vyxNextLine give it (any line end, UTF-16
// decoded, comments cut). Convex polygons are fanned around their first corner; others
// are cut into triangles by ear clipping in their plane. Warnings go to stderr, one line
// each naming displayName (null: "(no name)") and the line: faces naming an index
// outside what the text defined so far or with fewer than three corners (dropped),
// material names no library defines (their faces use the default material), lines
// holding NUL bytes (skipped). Nothing is printed on standard output. Each library named
// by "mtllib" (several per line allowed; "a\ b.mtl" names "a b.mtl") is found from the
// folder baseDir (as vyxFolderPrefix gives it) and read by readLibrary(model, path,
// folder, context), or by vyxLoadMtl when readLibrary is null. Keeps no state between calls: threads may read
// different models at once.
void vyxLoadObjFromText(const char* text, size_t size, const char* displayName, const char* baseDir, vyxObjModel& model,
                        vyxMtlLibraryReader readLibrary = nullptr, void* context = nullptr);

// Reads the OBJ file at path into model (which should be empty but for confinedTo) as vyxLoadObjFromText
// reads its bytes, with path as the display name and libraries read from the folder of
// path. Prints "Opened file <path>\n" or "Unable to open file.\n" on standard output; a
// file that cannot be opened or read, or that another program shortens while it is
// read, leaves the model empty, says why on stderr and returns false.
bool vyxLoadObj(const char* path, vyxObjModel& model);

// For tests: the size in bytes of the pieces a text is cut into to be read on several
// threads; 0 (the default) chooses it from the text's size and the worker threads. Set
// it while no model is read.
void vyxSetObjChunkBytes(size_t bytes);
