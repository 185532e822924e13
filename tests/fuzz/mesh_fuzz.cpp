// Fuzzes mesh building from a model and its library, then traces a fixed set of rays
// through the mesh, checking every reported hit against the triangle it names.
#include <cmath>
#include <cstdlib>
#include <utility>

#include "geometry/mesh.h"
#include "geometry/query.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vyxObjModel model;
    fuzzLoadModel(data, size, model);
    vyxMesh mesh{};
    vyxBuildMeshFromObj(std::move(model), "model.obj", mesh);
    static const vyxVec3 origins[] = {{0, 0, 5}, {0, 0, 0}, {3, 4, -5}, {1e20f, 0, 0}, {NAN, 0, 0}};
    // Besides plain rays: zero and infinite directions, and a nearly parallel one with
    // huge components whose hit points overflow to infinity.
    static const vyxVec3 directions[] = {{0, 0, -1}, {1, 0, 0},        {-0.3f, -0.4f, 0.5f},
                                         {0, 0, 0},  {INFINITY, 1, 0}, {1e30f, -1e-10f, 1e30f}};
    for (const vyxVec3& o : origins)
        for (const vyxVec3& d : directions) {
            vyxTraceResult hit = vyxTraceMesh(mesh, o, d, -1.0f);
            if (hit.t >= 0 && (hit.triangle < 0 || hit.triangle >= mesh.triangleCount))
                std::abort();
            // A real hit lies at a finite distance with weights in [0, 1].
            if (hit.t >= 0 && (!std::isfinite(hit.t) || !(hit.w0 >= 0 && hit.w0 <= 1) ||
                               !(hit.w1 >= 0 && hit.w1 <= 1) || !(hit.w2 >= 0 && hit.w2 <= 1)))
                std::abort();
            vyxTraceMesh(mesh, o, d, 2.0f);
        }
    vyxFreeMesh(mesh);
    return 0;
}
