#pragma once
// Rendering with several processes ("ranks") started by mpirun, possibly on several
// machines. Rank 0 runs the program (window, input, clock, post-processing, files);
// every rank, rank 0 included, renders tiles of its frames (render/tiles.h) and the other
// ranks send their tiles' colours back, so the picture is exactly the one a single
// process makes. Rank 0 reads every file the scene is made from and sends the bytes
// (util/file_bundle.h), so the other ranks need no shared folder.
//
// Only the main thread of each rank calls into MPI, and it never waits inside MPI for
// another rank: every receive and send of rank 0 is started and then looked at between
// other work. Rank 0 renders its tiles on another thread, on its worker pool; the other
// ranks render slow batches on another thread too, and quick ones (under 50 ms)
// on the main thread between its looks at MPI, which saves two hand-overs a batch.
// A working rank says so four times a second; one that says nothing for 1.5 s while
// work or an answer is waited for is left out from then on and its tiles are rendered by
// the others; at the end rank 0 ends without MPI_Finalize, and mpirun then stops every
// rank of the job, the silent one too. A rank that dies ends the whole job (mpirun's own
// rule).
//
// Without MPI at build time, or when the program was not started by mpirun, there is no
// cluster (null) and everything here behaves as a single process.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "geometry/scene.h"
#include "render/framebuffer.h"
#include "trace/camera.h"
#include "trace/settings.h"
#include "util/file_bundle.h"

struct vyxCluster;

// Figures of the last frame (or set of still samples) rank 0 rendered with the others.
struct vyxClusterFrameStats {
    int32_t ranks = 1;                // ranks that rendered tiles of it, rank 0 included
    int32_t tileCount = 0;            // tiles of the frame
    std::vector<int32_t> tilesByRank; // tiles each rank rendered (index: rank)
    uint64_t bytesSent = 0;           // bytes of every message of the frame, both ways
    double waitMs = 0;                // rank 0's wait for the slowest rank after its own last tile
};

// What a rank other than 0 does with what rank 0 sends. Called on the rank's render
// thread, one at a time.
struct vyxClusterWorker {
    // Loads the scene rank 0 loaded (the file bundle is replaying: loaders read rank 0's
    // files) from rank 0's model path and asset folder; returns the scene the tiles are
    // traced in (kept until the next call) or null when it could not be built.
    std::function<vyxScene*(const std::string& modelPath, const std::string& assetFolder)> loadScene;
    // Runs whole job index of vyxClusterFarm and returns its result's bytes.
    std::function<std::string(int32_t job)> runJob;
};

// Starts MPI when the process was started by mpirun, checks that every rank runs the
// same build of the same program with the same arguments (refusing to go on otherwise,
// with a message naming the rank), and returns -1 with *cluster set (null when not
// started by mpirun, or built without MPI). Any other value is the exit status the
// process must end with now (the check failed, or MPI could not start). Main thread,
// first thing in main.
int vyxClusterStart(int* argc, char*** argv, vyxCluster** cluster);

int32_t vyxClusterRank(const vyxCluster* cluster); // 0 without a cluster
int32_t vyxClusterSize(const vyxCluster* cluster); // 1 without a cluster
// Whether rank 0 shares its work: a cluster, this is rank 0, and another rank renders.
bool vyxClusterShares(const vyxCluster* cluster);
// Whether rank 0 has other ranks that answer (whether or not they render): the scene is
// sent to them when it is loaded.
bool vyxClusterHasPeers(const vyxCluster* cluster);

// Rank 0: sends the scene just loaded (the bundle recorded while loading, rank 0's model
// path and asset folder, the random table) to every rank that answers and waits until
// each has built it; a rank whose scene differs from scene (other meshes, triangles,
// lights) renders no more, with a message. Main thread.
void vyxClusterShareScene(vyxCluster* cluster, vyxFileBundle&& bundle, const std::string& modelPath,
                          const std::string& assetFolder, const vyxScene& scene);

// Rank 0: the frame vyxRenderFrame would render into frame (the camera's size), its
// tiles shared out among the ranks as they ask for work. Main thread.
void vyxClusterRenderFrame(vyxCluster* cluster, const vyxScene& scene, const vyxCamera& camera,
                           const vyxRenderSettings& settings, FrameBuffer& frame);
// Rank 0: count still samples firstIndex, firstIndex + 1, ... into frames[0 .. count - 1]
// (each the camera's size), sample k traced as vyxRenderStillSample traces it with
// settings' jitterSeed replaced by seeds[k]. False, nothing rendered, when a frame does
// not fit the camera. Main thread.
bool vyxClusterRenderSamples(vyxCluster* cluster, const vyxScene& scene, const vyxCamera& camera,
                             const vyxRenderSettings& settings, int32_t firstIndex, const uint32_t* seeds,
                             FrameBuffer* frames, int32_t count);
// Rank 0: the figures of the last frame rendered with the others.
const vyxClusterFrameStats& vyxClusterLastFrame(const vyxCluster* cluster);
// Rank 0: ranks rendering now (1 without a cluster), and the ranks left out so far.
int32_t vyxClusterLiveRanks(const vyxCluster* cluster);

// Rank 0: jobs 0 .. jobCount - 1 shared out whole among the ranks (each rank's
// vyxClusterWorker::runJob, rank 0's runLocal on another thread of its own); deliver is
// called on the main thread with each job's bytes, in the order they arrive. A job a
// rank does not answer is run again elsewhere. Main thread.
void vyxClusterFarm(vyxCluster* cluster, int32_t jobCount, const std::function<std::string(int32_t)>& runLocal,
                    const std::function<void(int32_t, std::string&&)>& deliver);

// A rank other than 0: does what rank 0 sends until it says to stop; returns the exit
// status. Main thread.
int vyxClusterServe(vyxCluster* cluster, const vyxClusterWorker& worker);

// Ends the cluster (safe on null) and returns the exit status to end with: rank 0 tells
// every rank to stop and waits until each has sent its last message; when a rank was left
// out for not answering (before or during this wait), the process ends at once with a
// non-zero status instead (mpirun then stops every rank).
int vyxClusterFinish(vyxCluster* cluster, int status);
