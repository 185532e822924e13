#pragma once
// Models read from OBJ text compared bit for bit (NaN coordinates must match too), for the
// tests and the fuzzer that read one text in different ways.

#include <cstring>
#include <string>
#include <vector>

#include "scenefiles/obj.h"

namespace objtest {

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Where the two models first differ ("" when they are the same).
inline std::string modelDifference(const vyxObjModel& a, const vyxObjModel& b) {
    if (!sameBits(a.positions, b.positions))
        return "positions";
    if (!sameBits(a.texcoords, b.texcoords))
        return "texture coordinates";
    if (!sameBits(a.normals, b.normals))
        return "normals";
    if (a.materials.size() != b.materials.size())
        return "material count";
    for (size_t m = 0; m < a.materials.size(); ++m)
        if (a.materials[m].name != b.materials[m].name || a.materials[m].mapKd != b.materials[m].mapKd)
            return "material " + std::to_string(m);
    if (a.groups.size() != b.groups.size())
        return "group count";
    for (size_t g = 0; g < a.groups.size(); ++g) {
        if (a.groups[g].name != b.groups[g].name || a.groups[g].material != b.groups[g].material)
            return "group " + std::to_string(g);
        if (a.groups[g].faces.size() != b.groups[g].faces.size())
            return "group " + std::to_string(g) + " face count";
        for (size_t f = 0; f < a.groups[g].faces.size(); ++f)
            if (std::memcmp(&a.groups[g].faces[f], &b.groups[g].faces[f], sizeof(vyxObjFace)) != 0)
                return "group " + std::to_string(g) + " face " + std::to_string(f);
    }
    return "";
}

} // namespace objtest
