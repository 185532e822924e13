// Fuzzes the OBJ reader together with the MTL reader and checks that every face it
// keeps indexes inside the model's lists, and that the text read in many small pieces on
// the worker threads gives the model read whole.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scenefiles/obj.h"
#include "tests/fuzz/fuzz_util.h"
#include "tests/support/same_model.h"

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
    if (!objtest::modelDifference(model, pieces).empty())
        std::abort();
    return 0;
}
