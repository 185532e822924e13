// Fuzzes the program's decoding of what the import helper sends back, then builds the
// decoded model into a mesh: the helper runs a third-party library on untrusted files,
// so its output is as hostile as the files.
#include <cstdlib>
#include <utility>

#include "geometry/mesh.h"
#include "scenefiles/import_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vyxImportedModel model;
    std::string error;
    // A small triangle limit keeps a lying count from costing the fuzzer its memory.
    const bool decoded = vyxDecodeImportStream(data, size, "./", 100000, model, error);
    if (decoded != error.empty())
        std::abort();
    for (const vyxObjGroup& group : model.model.groups)
        for (const vyxObjFace& face : group.faces)
            for (int c = 0; c < 3; ++c)
                if (face.position[c] < 0 || face.position[c] >= model.model.positionCount() || face.normal[c] < -1 ||
                    face.normal[c] >= model.model.normalCount() || face.texcoord[c] < -1 ||
                    face.texcoord[c] >= model.model.texcoordCount() || face.material < 0 ||
                    face.material >= static_cast<int32_t>(model.model.materials.size()))
                    std::abort();
    vyxMesh mesh{};
    vyxBuildMeshFromObj(std::move(model.model), "model", mesh);
    vyxFreeMesh(mesh);
    return 0;
}
