// Entry point of vyx-raytracer and vyx-raytracer-640: the command line, then the program.
// The two programs differ only in VYX_RESOLUTION_WIDTH/HEIGHT.

#include <cstdlib>

#include "app/install_layout.h"
#include "app/program.h"
#include "app/sample_scene.h"

#ifndef VYX_RESOLUTION_WIDTH
#define VYX_RESOLUTION_WIDTH 1280
#define VYX_RESOLUTION_HEIGHT 720
#endif

int main(int argc, char** argv) {
    vyxCommandLine commandLine;
    int status = vyxParseCommandLine(argc, argv, commandLine);
    if (status >= 0)
        return status;
    if (commandLine.help) {
        vyxPrintHelp(argv[0], stdout);
        return 0;
    }
    if (commandLine.model != nullptr)
        vyxSampleScene.modelPath = commandLine.model;
    vyxSampleScene.assetFolder = vyxFindAssetFolder();
    std::exit(vyxRunProgram(vyxSampleScene, VYX_RESOLUTION_WIDTH, VYX_RESOLUTION_HEIGHT));
}
