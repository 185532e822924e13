#pragma once
// The life of a rank other than 0 in a job started by mpirun: no window, no clock, no
// files of its own; it loads the scene rank 0 sends and renders what rank 0 asks for.

#include <cstdint>
#include <functional>
#include <string>

struct vyxCluster;
class GSSampleScene;

// Serves rank 0 with state (whose scene it loads from rank 0's files, with the
// presentation image at width x height) until rank 0 says to stop; runJob, when given,
// runs whole jobs (vyxClusterFarm) on state. Returns the exit status. Main thread.
int vyxServeRank(vyxCluster* cluster, GSSampleScene& state, int32_t width, int32_t height,
                 const std::function<std::string(int32_t)>& runJob = {});
