// Entry point of vyx-raytracer and vyx-raytracer-640. The two programs differ only in
// VYX_RESOLUTION_WIDTH/HEIGHT.

#include <cstdlib>

#include "app/program.h"
#include "app/sample_scene.h"

#ifndef VYX_RESOLUTION_WIDTH
#define VYX_RESOLUTION_WIDTH 1280
#define VYX_RESOLUTION_HEIGHT 720
#endif

int main(int, char**) {
    std::exit(vyxRunProgram(vyxSampleScene, VYX_RESOLUTION_WIDTH, VYX_RESOLUTION_HEIGHT));
}
