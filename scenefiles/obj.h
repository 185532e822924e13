#pragma once
// OBJ model reader: positions, texture coordinates, normals, the materials of the MTL
// libraries it names, and its faces grouped by name and fan-triangulated.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "scenefiles/mtl.h"

// One triangle; every index 0-based, -1 where the corner has none.
struct vyxObjFace {
    int32_t position[3];
    int32_t texcoord[3];
    int32_t normal[3];
    int32_t material; // index into vyxObjModel::materials
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
// <path>\n" or "Unable to open file.\n" on standard output; a file that cannot be
// opened leaves the model empty. Faces naming an index outside what the file defined so
// far are dropped with one warning on stderr (file and line). Libraries are read from
// the directory part of path ("./" when it has none).
void vyxLoadObj(const char* path, vyxObjModel& model);

// Skips separators (NUL, tab, line feed, carriage return, space) from start; returns -1
// at the end of the line leaving token untouched, else stores the token and returns the
// position of the character that ended it.
int vyxNextToken(int start, const std::string& line, std::string& token);

// Reads one line of any length into line (without its line feed). Returns false only at
// the end of the file with nothing read, so a last line without a line feed is still
// returned. Shared by the OBJ and MTL readers.
bool vyxReadLine(FILE* file, std::string& line);
