// Fuzzes the OBJ reader together with the MTL reader and checks that every face it
// keeps indexes inside the model's lists, and that the text read in many small pieces on
// the worker threads gives the model read whole.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scenefiles/obj.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool sameModel(const vyxObjModel& a, const vyxObjModel& b) {
    if (!sameBits(a.positions, b.positions) || !sameBits(a.texcoords, b.texcoords) || !sameBits(a.normals, b.normals) ||
        a.materials.size() != b.materials.size() || a.groups.size() != b.groups.size())
        return false;
    for (size_t m = 0; m < a.materials.size(); ++m)
        if (a.materials[m].name != b.materials[m].name || a.materials[m].mapKd != b.materials[m].mapKd)
            return false;
    for (size_t g = 0; g < a.groups.size(); ++g)
        if (a.groups[g].name != b.groups[g].name || a.groups[g].material != b.groups[g].material ||
            !sameBits(a.groups[g].faces, b.groups[g].faces))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vyxObjModel model;
    fuzzLoadModel(data, size, model);
    const int32_t materials = static_cast<int32_t>(model.materials.size());
    for (const vyxObjGroup& group : model.groups)
        for (const vyxObjFace& face : group.faces)
            for (int c = 0; c < 3; ++c) {
                if (face.position[c] < 0 || face.position[c] >= model.positionCount())
                    std::abort();
                if (face.texcoord[c] < -1 || face.texcoord[c] >= model.texcoordCount())
                    std::abort();
                if (face.normal[c] < -1 || face.normal[c] >= model.normalCount())
                    std::abort();
                if (face.material >= materials && face.material != 0)
                    std::abort();
            }
    // Inputs this small are read whole; pieces of 1 to 64 bytes cut them everywhere.
    vyxSetObjChunkBytes(1 + size % 64);
    vyxObjModel pieces;
    fuzzLoadModel(data, size, pieces);
    vyxSetObjChunkBytes(0);
    if (!sameModel(model, pieces))
        std::abort();
    return 0;
}
