// Fuzzes mesh building from a model file and traces a fixed set of rays through it,
// checking every reported hit against the triangle it names.
#include <cmath>
#include <cstdlib>

#include "fuzz_util.h"
#include "geometry/mesh.h"
#include "geometry/query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path;
    fuzzWriteModel(reinterpret_cast<const char*>(data), size, path);
    vyxMesh mesh{};
    vyxLoadMeshFromObj(path.c_str(), mesh);
    static const vyxVec3 origins[] = {{0, 0, 5}, {0, 0, 0}, {3, 4, -5}, {1e20f, 0, 0}, {NAN, 0, 0}};
    static const vyxVec3 directions[] = {{0, 0, -1}, {1, 0, 0}, {-0.3f, -0.4f, 0.5f}, {0, 0, 0},
                                         {INFINITY, 1, 0}};
    for (const vyxVec3& o : origins)
        for (const vyxVec3& d : directions) {
            vyxTraceResult hit = vyxTraceMesh(mesh, o, d, -1.0f);
            if (hit.t >= 0 && (hit.triangle < 0 || hit.triangle >= mesh.triangleCount))
                std::abort();
            vyxTraceMesh(mesh, o, d, 2.0f);
        }
    vyxReleaseMesh(mesh);
    return 0;
}
