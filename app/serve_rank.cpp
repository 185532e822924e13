#include "app/serve_rank.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "app/app_context.h"
#include "app/cluster.h"
#include "app/sample_scene.h"
#include "util/large_alloc.h"

namespace {

// Standard output and error sent to /dev/null while it lives: rank 0 has already said
// whatever the loaders say about its files.
class Silence {
public:
    Silence() {
        std::fflush(stdout);
        std::fflush(stderr);
        int null = open("/dev/null", O_WRONLY);
        if (null < 0)
            return;
        out = dup(1);
        err = dup(2);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silence() {
        std::fflush(stdout);
        std::fflush(stderr);
        if (out >= 0) {
            dup2(out, 1);
            close(out);
        }
        if (err >= 0) {
            dup2(err, 2);
            close(err);
        }
    }
    Silence(const Silence&) = delete;
    Silence& operator=(const Silence&) = delete;

private:
    int out = -1;
    int err = -1;
};

} // namespace

int vyxServeRank(vyxCluster* cluster, GSSampleScene& state, int32_t width, int32_t height,
                 const std::function<std::string(int32_t)>& runJob) {
    vyxKeepFreedMemory();
    static int32_t running = 1;
    AppContext context = vyxHeadlessContext(width, height, &running);
    state.cluster = nullptr; // this rank renders only its own share
    state.wantsFont = false;

    vyxClusterWorker worker;
    worker.loadScene = [&](const std::string& modelPath, const std::string& assetFolder) -> vyxScene* {
        Silence quiet;
        state.modelPath = modelPath;
        state.assetFolder = assetFolder;
        state.Load();
        state.Init(context);
        return state.terrain.triangleCount > 0 ? &state.scene : nullptr;
    };
    worker.runJob = runJob;
    int status = vyxClusterServe(cluster, worker);
    state.Unload();
    return status;
}
