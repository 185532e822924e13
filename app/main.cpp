// Entry point of vyx-raytracer and vyx-raytracer-640: the command line, then the program
// (or, on ranks other than 0 of a job started by mpirun, the rendering for rank 0).
// The two programs differ only in VYX_RESOLUTION_WIDTH/HEIGHT.

#include <cstdlib>

#include "app/cluster.h"
#include "app/install_layout.h"
#include "app/program.h"
#include "app/sample_scene.h"
#include "app/serve_rank.h"

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
    if (commandLine.version) {
        vyxPrintVersion(argv[0], stdout);
        return 0;
    }
    // Under mpirun, rank 0 is the program and the other ranks render for it.
    vyxCluster* cluster = nullptr;
    status = vyxClusterStart(&argc, &argv, &cluster);
    if (status >= 0)
        return status;
    if (vyxClusterRank(cluster) != 0)
        return vyxServeRank(cluster, vyxSampleScene, VYX_RESOLUTION_WIDTH, VYX_RESOLUTION_HEIGHT);
    vyxSampleScene.cluster = cluster;
    if (commandLine.model != nullptr)
        vyxSampleScene.modelPath = commandLine.model;
    vyxSampleScene.importRun.confine = commandLine.confine;
    vyxSampleScene.assetFolder = vyxFindAssetFolder();
    status = vyxRunProgram(vyxSampleScene, VYX_RESOLUTION_WIDTH, VYX_RESOLUTION_HEIGHT);
    std::exit(vyxClusterFinish(cluster, status));
}
