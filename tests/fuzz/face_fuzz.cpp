// Fuzzes the float face reader and the cube-map lookups over whatever it returns.
#include <cstdlib>
#include <cstring>

#include "trace/texture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    float* texels = vyxReadFloatFaceFromBytes(data, size, "face.float");
    if (texels == nullptr)
        return 0;
    vyxTexture face;
    vyxMakeTexture(face, 256, 256, texels, 3, StorageFloats, FilterBilinear, WrapClamp, WrapClamp);
    vyxCubeMap cube;
    for (vyxTexture*& f : cube.faces)
        f = &face;
    // Directions read from the input itself, non-finite values included.
    for (size_t i = 0; i + 12 <= size && i < 1200; i += 12) {
        float d[3];
        std::memcpy(d, data + i, sizeof(d));
        float rgba[4] = {0, 0, 0, 1};
        vyxSampleCubeMap(cube, d[0], d[1], d[2], rgba);
        vyxSampleTexture(face, d[0], d[1], rgba);
    }
    std::free(texels);
    return 0;
}
