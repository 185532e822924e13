// Fuzzes the OBJ reader together with the MTL reader and checks that every face it
// keeps indexes inside the model's lists.
#include <cstdlib>

#include "scenefiles/obj.h"
#include "tests/fuzz/fuzz_util.h"

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
    return 0;
}
