#pragma once
// OBJ model reader: positions, texture coordinates, normals, the materials of the MTL
// libraries it names, and its faces grouped by name and triangulated.

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

    int32_t positionCount() const { return static_cast<int32_t>(positions.size() / 3); }
    int32_t texcoordCount() const { return static_cast<int32_t>(texcoords.size() / 3); }
    int32_t normalCount() const { return static_cast<int32_t>(normals.size() / 3); }
};

// Reads the OBJ file at path into model (which should be empty). Prints "Opened file
// <path>\n" or "Unable to open file.\n" on standard output; a file that cannot be opened
// or read leaves the model empty, says why on stderr and returns false. The text is read
// as vyxLoadTextFile and vyxNextLine give it (any line end, UTF-16 decoded, comments cut).
// Convex polygons are fanned around their first corner; others are cut into triangles
// by ear clipping in their plane. Warnings go to stderr, one line each with file and
// line: faces naming an index outside what the file defined so far or with fewer than
// three corners (dropped), material names no library defines (their faces use the
// default material), lines holding NUL bytes (skipped). Libraries named by "mtllib"
// (several per line allowed) are read from the folder of path.
bool vyxLoadObj(const char* path, vyxObjModel& model);
