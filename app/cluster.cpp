#include "app/cluster.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if VYX_MPI

#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "geometry/mesh.h"
#include "render/accumulate.h"
#include "render/frame.h"
#include "render/frame_state.h"
#include "render/tiles.h"
#include "trace/random.h"
#include "util/bytes.h"
#include "util/escape.h"
#include "util/file.h"
#include "util/parallel.h"

namespace {

// Message tags. Ranks first tell each other who they are by a gather of fixed-size blocks
// (helloBlock), the same in every build, so that ranks of different builds can tell each
// other apart; every message after that is one of these.
enum Tag : int {
    TagScene = 3,      // rank 0 -> rank: the scene message's size and generation; its chunks follow
    TagSceneChunk = 4, // rank 0 -> rank: a piece of the scene message, in order
    TagSceneAck = 5,   // rank -> rank 0: generation, then the scene's signature
    TagFrame = 6,      // rank 0 -> rank: a frame state
    TagWork = 7,       // rank 0 -> rank: frame id and tile indices
    TagResult = 8,     // rank -> rank 0: a tile batch (header, colours)
    TagAlive = 9,      // rank -> rank 0: still working
    TagJob = 10,       // rank 0 -> rank: a whole job's index
    TagJobResult = 11, // rank -> rank 0: the job's index and bytes
    TagQuit = 12,      // rank 0 -> rank: finish the task at hand and stop
    TagBye = 13,       // rank -> rank 0: the rank's last message
};

// The hello block: marker, cores, identity hash, then the identity as text (for messages).
constexpr int kHelloBytes = 1024;
constexpr size_t kHelloText = 16;
const char kHelloMarker[4] = {'V', 'Y', 'X', 'H'};
// Silence, while work or an answer is awaited, after which a rank is left out.
constexpr double kSilenceSeconds = 1.5;
// How often a working rank says it is still working.
constexpr double kAliveSeconds = 0.25;
// The scene message travels in chunks, so that a rank holds the whole message and one
// chunk at most while it arrives.
constexpr size_t kChunkBytes = size_t(1) << 26;
constexpr uint32_t kSceneMarker = 0x4e435356; // "VSCN"
// The most tiles a rank accepts in one work message (rank 0 sends at most one per core).
constexpr size_t kMaxBatchTiles = 64;
// Polling: a short sleep between looks while messages come and go, a longer one once a
// rank has had nothing to do for a while (a paused window should not keep cores busy).
constexpr auto kShortPoll = std::chrono::microseconds(150);
constexpr auto kLongPoll = std::chrono::milliseconds(2);
constexpr double kQuietSeconds = 0.05;
// Batches of tiles that took less than this are rendered by a rank's main thread itself.
constexpr double kInlineSeconds = 0.05;

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void idle() { std::this_thread::sleep_for(kShortPoll); }

// The program's own file, hashed: ranks of different builds differ here even when
// their versions agree.
uint64_t programHash() {
    std::string bytes;
    if (!vyxReadWholeFile("/proc/self/exe", bytes))
        return 0;
    return vyxHashBytes(bytes.data(), bytes.size());
}

std::string baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Who a rank is: program, version, build, arguments. Ranks must agree on all of it.
std::string identity(int argc, char** argv) {
    char build[32];
    std::snprintf(build, sizeof build, "%016llx", static_cast<unsigned long long>(programHash()));
    std::string text = baseName(argc > 0 ? argv[0] : "vyx") + " " + VYX_VERSION + ", build " + build + ", arguments:";
    for (int i = 1; i < argc; ++i)
        text += std::string(" ") + argv[i];
    return text;
}

std::string sceneSignature(const vyxScene& scene) {
    std::string text = std::to_string(scene.meshCount) + " meshes, " + std::to_string(scene.lightCount) + " lights;";
    for (int32_t i = 0; i < scene.meshCount; ++i) {
        const vyxMesh* mesh = scene.meshes[i];
        text += mesh == nullptr ? " -"
                                : " " + std::to_string(mesh->triangleCount) + "/" + std::to_string(mesh->materialCount);
    }
    return text;
}

// A message on its way out. The bytes are shared so that one scene goes to every rank
// from one buffer; they live until MPI is done with them.
struct Outgoing {
    std::shared_ptr<const std::string> bytes;
    MPI_Request request;
};

// A message on its way in, in its own allocation: MPI writes into the buffer until the
// request completes, so neither may move.
struct Incoming {
    int tag = 0;
    std::string bytes;
    MPI_Request request = MPI_REQUEST_NULL;
};

} // namespace

struct Peer {
    bool live = true;                             // answers; false once left out for silence (for good)
    bool renders = true;                          // renders tiles (false: its scene differs, or it is not live)
    int32_t cores = 1;                            // threads its pool renders with
    double lastHeard = 0;                         // when a message of it was last seen arriving
    bool awaited = false;                         // rank 0 waits for its scene acknowledgement or goodbye
    std::deque<std::vector<int32_t>> outstanding; // batches sent, oldest first
    double lastResult = 0;                        // when its last result came
    double batchSeconds = 0;                      // the time between its results, smoothed
};

struct vyxCluster {
    int32_t rank = 0;
    int32_t size = 1;
    std::vector<Peer> peers; // rank 0: index = rank (entry 0 unused)
    std::vector<std::unique_ptr<Outgoing>> sending;
    // Messages being received, per sending rank in the order they were sent.
    std::vector<std::deque<std::unique_ptr<Incoming>>> receiving;
    uint32_t frameId = 0;
    uint32_t sceneGeneration = 0;
    std::string signature; // rank 0: the scene's signature
    vyxClusterFrameStats last;
    uint64_t bytes = 0; // bytes of messages since the frame began
    bool anyLost = false;
};

namespace {

void sendShared(vyxCluster& cluster, int to, int tag, std::shared_ptr<const std::string> bytes, size_t offset,
                size_t size) {
    auto message = std::make_unique<Outgoing>();
    message->bytes = std::move(bytes);
    cluster.bytes += size;
    MPI_Isend(message->bytes->data() + offset, static_cast<int>(size), MPI_BYTE, to, tag, MPI_COMM_WORLD,
              &message->request);
    cluster.sending.push_back(std::move(message));
}

// Sends bytes to rank `to` without waiting.
void sendLater(vyxCluster& cluster, int to, int tag, std::string bytes) {
    auto shared = std::make_shared<const std::string>(std::move(bytes));
    const size_t size = shared->size();
    sendShared(cluster, to, tag, std::move(shared), 0, size);
}

// Frees the sends MPI has finished with (and lets it move the others along).
void progressSends(vyxCluster& cluster) {
    auto& list = cluster.sending;
    for (size_t i = 0; i < list.size();) {
        int done = 0;
        MPI_Test(&list[i]->request, &done, MPI_STATUS_IGNORE);
        if (done) {
            list[i] = std::move(list.back());
            list.pop_back();
        } else {
            ++i;
        }
    }
}

// Starts receiving every message from `source` (or any rank) that has arrived, without
// waiting for any; a message counts as heard from the moment it is seen. Then hands each
// message received whole to handle(rank, tag, bytes), each rank's in the order sent.
// Returns whether anything arrived or was handed over.
template <typename Handle>
bool pump(vyxCluster& cluster, int source, Handle&& handle) {
    bool any = false;
    for (;;) {
        int found = 0;
        MPI_Message message;
        MPI_Status status;
        MPI_Improbe(source, MPI_ANY_TAG, MPI_COMM_WORLD, &found, &message, &status);
        if (!found)
            break;
        any = true;
        int count = 0;
        MPI_Get_count(&status, MPI_BYTE, &count);
        auto in = std::make_unique<Incoming>();
        in->tag = status.MPI_TAG;
        in->bytes.resize(static_cast<size_t>(std::max(count, 0)));
        MPI_Imrecv(in->bytes.empty() ? nullptr : &in->bytes[0], count, MPI_BYTE, &message, &in->request);
        cluster.bytes += in->bytes.size();
        const int from = status.MPI_SOURCE;
        if (cluster.rank == 0 && from > 0 && from < cluster.size)
            cluster.peers[static_cast<size_t>(from)].lastHeard = seconds();
        cluster.receiving[static_cast<size_t>(from)].push_back(std::move(in));
    }
    for (int r = 0; r < cluster.size; ++r) {
        auto& queue = cluster.receiving[static_cast<size_t>(r)];
        while (!queue.empty()) {
            int done = 0;
            MPI_Test(&queue.front()->request, &done, MPI_STATUS_IGNORE);
            if (!done)
                break;
            std::unique_ptr<Incoming> in = std::move(queue.front());
            queue.pop_front();
            any = true;
            handle(r, in->tag, std::move(in->bytes));
        }
    }
    return any;
}

int32_t rendering(const vyxCluster& cluster) {
    int32_t n = 1;
    for (int r = 1; r < cluster.size; ++r)
        n += cluster.peers[static_cast<size_t>(r)].renders ? 1 : 0;
    return n;
}

// Leaves rank r out of the rendering; returns the batches it still held. A rank that
// no longer answers is lost for good (and the job must end without MPI_Finalize); one that
// answers wrongly is told to stop with the others at the end.
std::deque<std::vector<int32_t>> leaveOut(vyxCluster& cluster, int r, const char* why, bool answers) {
    Peer& peer = cluster.peers[static_cast<size_t>(r)];
    if (peer.renders)
        std::fprintf(stderr, "vyx: rank %d %s; rank 0 renders its share and goes on without it\n", r, why);
    else
        std::fprintf(stderr, "vyx: rank %d %s\n", r, why);
    peer.renders = false;
    peer.awaited = false;
    if (!answers) {
        peer.live = false;
        cluster.anyLost = true;
    }
    return std::move(peer.outstanding);
}

// Ranks that have been silent too long while rank 0 waits for them (for work, an answer,
// or the rest of a message) are left out; their batches go back into queue (when given).
void checkSilence(vyxCluster& cluster, std::deque<int32_t>* queue) {
    const double now = seconds();
    for (int r = 1; r < cluster.size; ++r) {
        Peer& peer = cluster.peers[static_cast<size_t>(r)];
        const bool waitedOn =
            peer.awaited || !peer.outstanding.empty() || !cluster.receiving[static_cast<size_t>(r)].empty();
        if (!peer.live || !waitedOn || now - peer.lastHeard < kSilenceSeconds)
            continue;
        char why[96];
        std::snprintf(why, sizeof why, "stopped answering (nothing for %.1f s)", now - peer.lastHeard);
        for (auto& batch : leaveOut(cluster, r, why, false))
            if (queue != nullptr)
                queue->insert(queue->end(), batch.begin(), batch.end());
    }
}

// The rank-0 side of sharing out items (tiles, or whole jobs) among the ranks: rank 0
// takes batches from the queue on a thread of its own, the others get batches by
// message, a few ahead (aheadOf) so that none waits for the next.
struct Dispatch {
    int32_t itemCount = 0;
    int workTag = TagWork;
    int resultTag = TagResult;
    // How many items rank r (0: rank 0 itself) takes at a time.
    std::function<int32_t(int32_t rank)> batchSize;
    // Renders a batch on rank 0's thread.
    std::function<void(const std::vector<int32_t>&)> runLocal;
    // The work message for a batch.
    std::function<std::string(const std::vector<int32_t>&)> workMessage;
    // Takes a result message of rank r for its oldest batch; false when it does not fit
    // (the rank is then left out).
    std::function<bool(int32_t rank, const std::vector<int32_t>& batch, const std::string& bytes)> takeResult;
    // Called on the main thread between messages (may be empty).
    std::function<void()> poll;
};

// Rank 0's own share, rendered on a thread of its own while the main thread talks to the
// other ranks. It takes batches from the queue until every item is done, waiting when
// the queue is empty but items are still out with other ranks (a rank left out gives
// its items back).
struct LocalWorker {
    std::mutex lock;
    std::deque<int32_t> queue;    // under lock
    double ranDry = 0;            // under lock: when the queue was last found empty
    std::atomic<int32_t> done{0}; // items rank 0 finished
    std::atomic<bool> finished{false};
    std::thread thread;
};

std::vector<int32_t> takeBatch(std::deque<int32_t>& queue, int32_t size) {
    std::vector<int32_t> batch;
    while (!queue.empty() && static_cast<int32_t>(batch.size()) < size) {
        batch.push_back(queue.front());
        queue.pop_front();
    }
    return batch;
}

void localLoop(LocalWorker& local, const Dispatch& dispatch) {
    bool dry = false;
    while (!local.finished.load()) {
        std::vector<int32_t> batch;
        {
            std::lock_guard<std::mutex> hold(local.lock);
            batch = takeBatch(local.queue, dispatch.batchSize(0));
            if (batch.empty() && !dry)
                local.ranDry = seconds();
            dry = batch.empty();
        }
        if (batch.empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
        }
        dispatch.runLocal(batch);
        local.done += static_cast<int32_t>(batch.size());
    }
}

// How many batches a rank may hold at once: enough that the next ones arrive before it
// runs out, given a message's way there and back (about a millisecond, polls included)
// and the time it takes for a batch; at least two, so that it never waits for the next.
size_t aheadOf(const Peer& peer) {
    constexpr double kRoundTrip = 0.0015;
    if (peer.batchSeconds <= 0)
        return 2;
    const double ahead = 1.0 + std::ceil(kRoundTrip / peer.batchSeconds);
    return static_cast<size_t>(std::min(8.0, std::max(2.0, ahead)));
}

// Takes a result message of rank r (tag resultTag) for its oldest batch.
void takeRemoteResult(vyxCluster& cluster, const Dispatch& dispatch, LocalWorker& local, int r,
                      const std::string& bytes, int32_t& remoteDone, std::vector<int32_t>& byRank) {
    Peer& peer = cluster.peers[static_cast<size_t>(r)];
    if (!peer.renders || peer.outstanding.empty())
        return; // a late answer of a rank left out
    std::vector<int32_t> batch = std::move(peer.outstanding.front());
    peer.outstanding.pop_front();
    const double now = seconds();
    if (peer.lastResult > 0 && now - peer.lastResult < 1.0)
        peer.batchSeconds =
            peer.batchSeconds > 0 ? 0.7 * peer.batchSeconds + 0.3 * (now - peer.lastResult) : now - peer.lastResult;
    peer.lastResult = now;
    if (dispatch.takeResult(r, batch, bytes)) {
        remoteDone += static_cast<int32_t>(batch.size());
        byRank[static_cast<size_t>(r)] += static_cast<int32_t>(batch.size());
        return;
    }
    peer.outstanding.push_front(std::move(batch));
    std::lock_guard<std::mutex> hold(local.lock);
    for (auto& held : leaveOut(cluster, r, "sent a result that does not fit its work", true))
        local.queue.insert(local.queue.end(), held.begin(), held.end());
}

// Runs a dispatch to the end; fills cluster.last (but for the tile count).
void runDispatch(vyxCluster& cluster, const Dispatch& dispatch) {
    LocalWorker local;
    for (int32_t i = 0; i < dispatch.itemCount; ++i)
        local.queue.push_back(i);
    std::vector<int32_t> byRank(static_cast<size_t>(cluster.size), 0);
    int32_t remoteDone = 0;
    const int32_t ranksAtStart = rendering(cluster);
    int32_t allCores = dispatch.batchSize(0);
    for (int r = 1; r < cluster.size; ++r)
        allCores += cluster.peers[static_cast<size_t>(r)].renders ? dispatch.batchSize(r) : 0;
    local.thread = std::thread([&local, &dispatch] { localLoop(local, dispatch); });

    while (local.done.load() + remoteDone < dispatch.itemCount) {
        bool busy = false;
        // Work for every rank that has room for it; more than one batch ahead only while
        // the queue holds more than a round of batches, so that the last ones spread out.
        for (int r = 1; r < cluster.size; ++r) {
            Peer& peer = cluster.peers[static_cast<size_t>(r)];
            if (!peer.renders || peer.outstanding.size() >= aheadOf(peer))
                continue;
            std::vector<int32_t> batch;
            {
                std::lock_guard<std::mutex> hold(local.lock);
                if (!peer.outstanding.empty() &&
                    local.queue.size() <= peer.outstanding.size() * static_cast<size_t>(allCores))
                    continue;
                batch = takeBatch(local.queue, dispatch.batchSize(r));
            }
            if (batch.empty())
                break;
            if (peer.outstanding.empty())
                peer.lastHeard = seconds(); // the silence counts from when it has work
            sendLater(cluster, r, dispatch.workTag, dispatch.workMessage(batch));
            peer.outstanding.push_back(std::move(batch));
            busy = true;
        }
        progressSends(cluster);
        busy |= pump(cluster, MPI_ANY_SOURCE, [&](int r, int tag, std::string&& bytes) {
            if (r > 0 && tag == dispatch.resultTag && cluster.peers[static_cast<size_t>(r)].live)
                takeRemoteResult(cluster, dispatch, local, r, bytes, remoteDone, byRank);
        });
        {
            std::lock_guard<std::mutex> hold(local.lock);
            checkSilence(cluster, &local.queue);
        }
        if (dispatch.poll)
            dispatch.poll();
        if (!busy)
            idle();
    }
    const double end = seconds();
    local.finished.store(true);
    local.thread.join();
    progressSends(cluster);
    byRank[0] = local.done.load();
    cluster.last.tilesByRank = byRank;
    cluster.last.ranks = ranksAtStart;
    cluster.last.waitMs = local.ranDry > 0 && end > local.ranDry ? (end - local.ranDry) * 1000 : 0;
    cluster.last.bytesSent = cluster.bytes;
}

// Rank 0's tiles: the plan, the settings of each picture, where the colours go.
struct TileWork {
    const vyxScene* scene;
    vyxCamera camera;
    vyxTilePlan plan;
    std::vector<vyxRenderSettings> settings; // per picture
    FrameBuffer* frames;
};

// Renders tile index of work into pixels (resized to the tile); a tile that cannot be
// rendered (memory) is black, on every rank alike.
void renderTileOrBlack(const vyxScene& scene, const vyxCamera& camera, const std::vector<vyxRenderSettings>& settings,
                       const vyxTilePlan& plan, int32_t index, const vyxTile& tile, std::vector<vyxVec3>& pixels) {
    pixels.resize(static_cast<size_t>(tile.width) * tile.height);
    if (!vyxRenderTile(scene, camera, settings[static_cast<size_t>(tile.sample)], plan, index, pixels.data()))
        std::fill(pixels.begin(), pixels.end(), vyxVec3{0.0f, 0.0f, 0.0f});
}

void renderTilesShared(vyxCluster& cluster, const TileWork& work, vyxFrameState& state) {
    cluster.bytes = 0;
    ++cluster.frameId;
    state.frameId = cluster.frameId;
    auto stateBytes = std::make_shared<const std::string>(vyxEncodeFrameState(state));
    for (int r = 1; r < cluster.size; ++r)
        if (cluster.peers[static_cast<size_t>(r)].renders)
            sendShared(cluster, r, TagFrame, stateBytes, 0, stateBytes->size());

    const int cores = vyxWorkerCores();
    Dispatch dispatch;
    dispatch.itemCount = work.plan.tileCount;
    const int32_t live = rendering(cluster);
    dispatch.batchSize = [&](int32_t r) {
        const int32_t wanted = r == 0 ? cores : cluster.peers[static_cast<size_t>(r)].cores;
        // Smaller batches as the queue empties, so that the last ones spread out.
        const int32_t fair = std::max<int32_t>(1, work.plan.tileCount / (4 * live));
        return std::max<int32_t>(1, std::min({wanted, fair, static_cast<int32_t>(kMaxBatchTiles)}));
    };
    dispatch.runLocal = [&](const std::vector<int32_t>& batch) {
        vyxParallelFor(static_cast<int>(batch.size()), cores, [&](int i) {
            const int32_t index = batch[static_cast<size_t>(i)];
            vyxTile tile;
            if (!vyxTileOf(work.plan, work.camera, index, tile))
                return;
            std::vector<vyxVec3> pixels;
            renderTileOrBlack(*work.scene, work.camera, work.settings, work.plan, index, tile, pixels);
            vyxPlaceTile(work.frames[tile.sample], tile, pixels.data());
        });
    };
    dispatch.workMessage = [&](const std::vector<int32_t>& batch) {
        vyxTileBatchHeader header{cluster.frameId, batch};
        return vyxEncodeTileBatchHeader(header);
    };
    dispatch.takeResult = [&](int32_t, const std::vector<int32_t>& batch, const std::string& bytes) {
        vyxTileBatchHeader header;
        size_t at = 0;
        std::string error;
        if (!vyxDecodeTileBatchHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), batch.size(),
                                      header, at, error) ||
            header.frameId != cluster.frameId || header.tiles != batch)
            return false;
        size_t colours = 0;
        std::vector<vyxTile> tiles(batch.size());
        for (size_t i = 0; i < batch.size(); ++i) {
            if (!vyxTileOf(work.plan, work.camera, batch[i], tiles[i]))
                return false;
            colours += static_cast<size_t>(tiles[i].width) * tiles[i].height;
        }
        if (bytes.size() - at != colours * sizeof(vyxVec3))
            return false;
        const char* data = bytes.data() + at;
        std::vector<vyxVec3> pixels;
        for (const vyxTile& tile : tiles) {
            pixels.resize(static_cast<size_t>(tile.width) * tile.height);
            std::memcpy(pixels.data(), data, pixels.size() * sizeof(vyxVec3));
            data += pixels.size() * sizeof(vyxVec3);
            vyxPlaceTile(work.frames[tile.sample], tile, pixels.data());
        }
        return true;
    };
    runDispatch(cluster, dispatch);
    cluster.last.tileCount = work.plan.tileCount;
}

// ---- the ranks other than 0

// One piece of work for a rank's render thread, in the order rank 0 sent it.
struct Task {
    int tag;
    std::string bytes;
    uint32_t generation = 0; // TagScene: the scene's generation, as announced
};

struct WorkerSide {
    vyxCluster* cluster;
    const vyxClusterWorker* worker;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Task> tasks;          // under lock
    std::deque<Task> replies;        // under lock: tag and bytes to send to rank 0
    std::condition_variable replied; // the main thread waits on it for replies
    bool stopping = false;           // under lock
    bool busy = false;               // under lock: a task is running
    // How long the last batch of tiles took: short ones are rendered by the main thread
    // itself (see takeFromRankZero).
    std::atomic<double> lastBatchSeconds{1.0};
    // Render thread only:
    vyxScene* scene = nullptr;
    vyxCamera camera{};
    vyxFrameState state;
    bool stateValid = false;
    vyxTilePlan plan{};
    std::vector<vyxRenderSettings> settings;
};

void reply(WorkerSide& side, int tag, std::string bytes) {
    std::lock_guard<std::mutex> hold(side.lock);
    side.replies.push_back({tag, std::move(bytes)});
    side.replied.notify_one();
}

// The scene message: marker, generation, model path, asset folder, random table, file
// bundle. Everything is checked before anything of this rank changes.
void loadSceneTask(WorkerSide& side, const Task& task) {
    std::string ack;
    vyxPutBytes(ack, task.generation);
    auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "vyx: rank %d: the scene from rank 0 is unusable (%s)\n", side.cluster->rank, why.c_str());
        side.scene = nullptr;
        reply(side, TagSceneAck, ack + "no scene: " + why);
    };
    vyxByteReader in(task.bytes.data(), task.bytes.size());
    uint32_t marker = 0, generation = 0, pathSize = 0, folderSize = 0;
    std::string modelPath, assetFolder;
    std::vector<float> table;
    if (!in.get(marker) || marker != kSceneMarker || !in.get(generation) || generation != task.generation ||
        !in.get(pathSize) || !in.bytes(pathSize, modelPath) || !in.get(folderSize) ||
        !in.bytes(folderSize, assetFolder))
        return refuse("bad header");
    if (!in.array(vyxRandomTableSize, table))
        return refuse("no random table");
    for (float value : table)
        if (!(value >= 0.0f && value <= 1.0f))
            return refuse("random table out of range");
    vyxFileBundle bundle;
    std::string error;
    if (!vyxDecodeFileBundle(in.data, in.left, bundle, error))
        return refuse(error);
    std::memcpy(vyxRandomTable, table.data(), sizeof(float) * vyxRandomTableSize);
    vyxRandomTableFilled.store(true);
    vyxBundleReplayStart(std::move(bundle));
    side.scene = side.worker->loadScene ? side.worker->loadScene(modelPath, assetFolder) : nullptr;
    vyxBundleReplayStop();
    side.stateValid = false;
    reply(side, TagSceneAck, ack + (side.scene != nullptr ? sceneSignature(*side.scene) : std::string("no scene")));
}

void frameTask(WorkerSide& side, const std::string& bytes) {
    std::string error;
    side.stateValid = false;
    if (side.scene == nullptr)
        return;
    if (!vyxDecodeFrameState(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), side.state, error) ||
        !vyxApplyFrameState(side.state, *side.scene, side.camera, error)) {
        std::fprintf(stderr, "vyx: rank %d: a frame from rank 0 is unusable (%s)\n", side.cluster->rank, error.c_str());
        return;
    }
    vyxPrepareFrame(*side.scene);
    const int32_t pictures = side.state.work == TileSamples ? static_cast<int32_t>(side.state.sampleSeeds.size()) : 1;
    side.plan = vyxPlanTiles(side.camera, side.state.settings, side.state.work, pictures);
    side.settings.clear();
    for (int32_t k = 0; k < pictures; ++k) {
        vyxRenderSettings s = side.state.settings;
        if (side.state.work == TileSamples) {
            s = vyxStillSampleSettings(s, side.state.firstSample + k);
            s.jitterSeed = side.state.sampleSeeds[static_cast<size_t>(k)];
        }
        side.settings.push_back(s);
    }
    side.stateValid = true;
}

void workTask(WorkerSide& side, const std::string& bytes) {
    const double began = seconds();
    vyxTileBatchHeader header;
    size_t at = 0;
    std::string error;
    bool usable = vyxDecodeTileBatchHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), kMaxBatchTiles,
                                           header, at, error) &&
                  at == bytes.size() && side.stateValid && header.frameId == side.state.frameId;
    std::vector<vyxTile> tiles(usable ? header.tiles.size() : 0);
    size_t colours = 0;
    for (size_t i = 0; usable && i < tiles.size(); ++i) {
        usable = vyxTileOf(side.plan, side.camera, header.tiles[i], tiles[i]);
        colours += usable ? static_cast<size_t>(tiles[i].width) * tiles[i].height : 0;
    }
    if (!usable) {
        // An empty answer: rank 0 sees that it does not fit and renders the batch itself.
        std::fprintf(stderr, "vyx: rank %d: cannot render a batch of frame %u\n", side.cluster->rank, header.frameId);
        reply(side, TagResult, std::string());
        return;
    }
    std::string message = vyxEncodeTileBatchHeader(header);
    const size_t start = message.size();
    message.resize(start + colours * sizeof(vyxVec3));
    std::vector<size_t> offsets(tiles.size());
    for (size_t i = 0, offset = start; i < tiles.size(); ++i) {
        offsets[i] = offset;
        offset += static_cast<size_t>(tiles[i].width) * tiles[i].height * sizeof(vyxVec3);
    }
    vyxParallelFor(static_cast<int>(tiles.size()), vyxWorkerCores(), [&](int i) {
        std::vector<vyxVec3> pixels;
        renderTileOrBlack(*side.scene, side.camera, side.settings, side.plan, header.tiles[static_cast<size_t>(i)],
                          tiles[static_cast<size_t>(i)], pixels);
        std::memcpy(&message[offsets[static_cast<size_t>(i)]], pixels.data(), pixels.size() * sizeof(vyxVec3));
    });
    reply(side, TagResult, std::move(message));
    side.lastBatchSeconds.store(seconds() - began);
}

// A job message is one index; the answer is the index and the job's bytes (index -1:
// the message was unusable).
void jobTask(WorkerSide& side, const std::string& bytes) {
    int32_t job = -1;
    vyxByteReader in(bytes.data(), bytes.size());
    const bool usable = in.get(job) && in.left == 0 && job >= 0 && side.worker->runJob;
    std::string result;
    vyxPutBytes(result, usable ? job : int32_t(-1));
    if (usable)
        result += side.worker->runJob(job);
    reply(side, TagJobResult, std::move(result));
}

void renderThread(WorkerSide& side) {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> hold(side.lock);
            side.busy = false;
            side.wake.wait(hold, [&] { return side.stopping || !side.tasks.empty(); });
            if (side.stopping)
                return;
            task = std::move(side.tasks.front());
            side.tasks.pop_front();
            side.busy = true;
        }
        switch (task.tag) {
        case TagScene:
            loadSceneTask(side, task);
            break;
        case TagFrame:
            frameTask(side, task.bytes);
            break;
        case TagWork:
            workTask(side, task.bytes);
            break;
        case TagJob:
            jobTask(side, task.bytes);
            break;
        default:
            break;
        }
    }
}

// The scene message as it arrives in chunks on a rank other than 0.
struct SceneArrival {
    bool active = false;
    uint64_t total = 0;
    uint32_t generation = 0;
    std::string bytes;
};

// Takes one message from rank 0 on a rank other than 0: a task for the render thread, a
// piece of the scene, or the word to stop.
void takeFromRankZero(WorkerSide& side, SceneArrival& scene, int tag, std::string&& bytes, bool& quit) {
    auto queue = [&side](Task task) {
        std::lock_guard<std::mutex> hold(side.lock);
        side.tasks.push_back(std::move(task));
        side.wake.notify_one();
    };
    // A scene that cannot be put together is handed on empty: the render thread then
    // refuses it, which rank 0 hears.
    auto sceneFailed = [&] {
        std::fprintf(stderr, "vyx: rank %d: a scene message from rank 0 is unusable\n", side.cluster->rank);
        scene.active = false;
        queue({TagScene, std::string(), scene.generation});
    };
    switch (tag) {
    case TagQuit:
        quit = true;
        return;
    case TagScene: {
        vyxByteReader in(bytes.data(), bytes.size());
        scene = SceneArrival();
        scene.active = in.get(scene.total) && in.get(scene.generation) && in.left == 0;
        if (!scene.active || scene.total > (uint64_t(1) << 40))
            return sceneFailed();
        try {
            scene.bytes.reserve(static_cast<size_t>(scene.total));
        } catch (...) {
            return sceneFailed();
        }
        break;
    }
    case TagSceneChunk:
        if (!scene.active)
            return;
        if (bytes.size() > scene.total - scene.bytes.size())
            return sceneFailed();
        scene.bytes += bytes;
        break;
    default:
        // A frame, or a batch of tiles that is quick to render, is handled right here
        // when the render thread has nothing to do: handing each small batch over to it
        // and its answer back costs two wake-ups, a large share of a batch of a tile or
        // two. Slow batches go to the render thread, so that this thread goes on saying
        // the rank is alive.
        if ((tag == TagFrame || tag == TagWork) && side.lastBatchSeconds.load() < kInlineSeconds) {
            bool idle = false;
            {
                std::lock_guard<std::mutex> hold(side.lock);
                idle = !side.busy && side.tasks.empty();
            }
            if (idle) {
                if (tag == TagFrame)
                    frameTask(side, bytes);
                else
                    workTask(side, bytes);
                return;
            }
        }
        queue({tag, std::move(bytes)});
        return;
    }
    if (scene.active && scene.bytes.size() == scene.total) {
        scene.active = false;
        queue({TagScene, std::move(scene.bytes), scene.generation});
        scene.bytes = std::string();
    }
}

} // namespace

int vyxClusterStart(int* argc, char*** argv, vyxCluster** result) {
    *result = nullptr;
    if (std::getenv("OMPI_COMM_WORLD_SIZE") == nullptr && std::getenv("PMIX_RANK") == nullptr &&
        std::getenv("PMI_RANK") == nullptr)
        return -1;
    int provided = 0;
    if (MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
        std::fprintf(stderr, "vyx: MPI could not start\n");
        return 1;
    }
    auto* cluster = new vyxCluster;
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    cluster->rank = rank;
    cluster->size = size;
    cluster->receiving.resize(static_cast<size_t>(size));
    *result = cluster;
    if (size == 1)
        return -1;

    // Every rank says who it is; rank 0 compares and says whether the job goes on. The
    // hash decides; the text (cut to the block) is for the message.
    char hello[kHelloBytes];
    std::memset(hello, 0, sizeof hello);
    std::memcpy(hello, kHelloMarker, sizeof kHelloMarker);
    const int32_t cores = vyxWorkerCores();
    std::memcpy(hello + 4, &cores, sizeof cores);
    const std::string self = identity(*argc, *argv);
    const uint64_t selfHash = vyxHashBytes(self.data(), self.size());
    std::memcpy(hello + 8, &selfHash, sizeof selfHash);
    std::memcpy(hello + kHelloText, self.data(), std::min(self.size(), sizeof(hello) - kHelloText - 1));
    std::vector<char> all(rank == 0 ? static_cast<size_t>(size) * kHelloBytes : 1);
    MPI_Gather(hello, kHelloBytes, MPI_BYTE, all.data(), kHelloBytes, MPI_BYTE, 0, MPI_COMM_WORLD);
    int32_t verdict = 1;
    if (rank == 0) {
        cluster->peers.resize(static_cast<size_t>(size));
        for (int r = 1; r < size && verdict; ++r) {
            const char* other = &all[static_cast<size_t>(r) * kHelloBytes];
            const bool ours = std::memcmp(other, kHelloMarker, sizeof kHelloMarker) == 0;
            uint64_t theirHash = 0;
            std::memcpy(&theirHash, other + 8, sizeof theirHash);
            if (!ours || theirHash != selfHash) {
                const std::string theirs(other + kHelloText, strnlen(other + kHelloText, kHelloBytes - kHelloText));
                std::fprintf(stderr,
                             "vyx: rank %d runs another program, build or command line than rank 0; every rank must "
                             "run the same one:\n  rank 0: %s\n  rank %d: %s\n",
                             r, vyxEscapeText(self).c_str(), r,
                             ours ? vyxEscapeText(theirs).c_str() : "(not a vyx program)");
                verdict = 0;
            }
            int32_t& peerCores = cluster->peers[static_cast<size_t>(r)].cores;
            std::memcpy(&peerCores, other + 4, sizeof peerCores);
            peerCores = std::max<int32_t>(1, std::min<int32_t>(peerCores, static_cast<int32_t>(kMaxBatchTiles)));
        }
    }
    MPI_Bcast(&verdict, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (!verdict) {
        if (rank == 0)
            std::fprintf(stderr, "vyx: refusing to start\n");
        MPI_Finalize();
        delete cluster;
        *result = nullptr;
        return 1;
    }
    return -1;
}

int32_t vyxClusterRank(const vyxCluster* cluster) { return cluster != nullptr ? cluster->rank : 0; }
int32_t vyxClusterSize(const vyxCluster* cluster) { return cluster != nullptr ? cluster->size : 1; }

bool vyxClusterShares(const vyxCluster* cluster) {
    return cluster != nullptr && cluster->rank == 0 && rendering(*cluster) > 1;
}

bool vyxClusterHasPeers(const vyxCluster* cluster) {
    if (cluster == nullptr || cluster->rank != 0)
        return false;
    for (int r = 1; r < cluster->size; ++r)
        if (cluster->peers[static_cast<size_t>(r)].live)
            return true;
    return false;
}

int32_t vyxClusterLiveRanks(const vyxCluster* cluster) { return cluster != nullptr ? rendering(*cluster) : 1; }

const vyxClusterFrameStats& vyxClusterLastFrame(const vyxCluster* cluster) {
    static const vyxClusterFrameStats none;
    return cluster != nullptr ? cluster->last : none;
}

void vyxClusterShareScene(vyxCluster* cluster, vyxFileBundle&& bundle, const std::string& modelPath,
                          const std::string& assetFolder, const vyxScene& scene) {
    if (!vyxClusterHasPeers(cluster))
        return;
    vyxFillRandomTable();
    ++cluster->sceneGeneration;
    cluster->signature = sceneSignature(scene);
    std::string message;
    vyxPutBytes(message, kSceneMarker);
    vyxPutBytes(message, cluster->sceneGeneration);
    vyxPutBytes(message, static_cast<uint32_t>(modelPath.size()));
    message += modelPath;
    vyxPutBytes(message, static_cast<uint32_t>(assetFolder.size()));
    message += assetFolder;
    message.append(reinterpret_cast<const char*>(vyxRandomTable), sizeof(float) * vyxRandomTableSize);
    message += vyxEncodeFileBundle(bundle);
    bundle = vyxFileBundle();

    // Every rank that answers gets the scene, even one whose last scene differed: its size
    // and generation first, then the chunks, all from one buffer.
    auto shared = std::make_shared<const std::string>(std::move(message));
    std::string announce;
    vyxPutBytes(announce, static_cast<uint64_t>(shared->size()));
    vyxPutBytes(announce, cluster->sceneGeneration);
    for (int r = 1; r < cluster->size; ++r) {
        Peer& peer = cluster->peers[static_cast<size_t>(r)];
        if (!peer.live)
            continue;
        sendLater(*cluster, r, TagScene, announce);
        for (size_t at = 0; at < shared->size(); at += kChunkBytes)
            sendShared(*cluster, r, TagSceneChunk, shared, at, std::min(kChunkBytes, shared->size() - at));
        peer.awaited = true;
        peer.lastHeard = seconds();
    }
    auto waiting = [cluster] {
        for (int r = 1; r < cluster->size; ++r)
            if (cluster->peers[static_cast<size_t>(r)].awaited)
                return true;
        return false;
    };
    while (waiting()) {
        progressSends(*cluster);
        const bool busy = pump(*cluster, MPI_ANY_SOURCE, [cluster](int r, int tag, std::string&& bytes) {
            Peer& peer = cluster->peers[static_cast<size_t>(r)];
            vyxByteReader in(bytes.data(), bytes.size());
            uint32_t generation = 0;
            if (r == 0 || !peer.live || tag != TagSceneAck || !in.get(generation) ||
                generation != cluster->sceneGeneration)
                return; // a late result of an earlier frame, a heartbeat, an older scene's answer
            peer.awaited = false;
            const std::string theirs(reinterpret_cast<const char*>(in.data), in.left);
            peer.renders = theirs == cluster->signature;
            if (!peer.renders)
                std::fprintf(stderr,
                             "vyx: rank %d built another scene from the files sent (%s; rank 0: %s); it renders no "
                             "more\n",
                             r, vyxEscapeText(theirs).c_str(), vyxEscapeText(cluster->signature).c_str());
        });
        checkSilence(*cluster, nullptr);
        if (!busy)
            idle();
    }
}

void vyxClusterRenderFrame(vyxCluster* cluster, const vyxScene& scene, const vyxCamera& camera,
                           const vyxRenderSettings& settings, FrameBuffer& frame) {
    vyxPrepareFrame(scene);
    if (!vyxFrameFitsCamera(frame, camera)) {
        vyxRenderSettings copy = settings;
        vyxRenderFrame(scene, camera, frame, copy); // says why nothing is rendered
        return;
    }
    TileWork work{&scene, camera, vyxPlanTiles(camera, settings, TileFrame, 1), {settings}, &frame};
    vyxFrameState state = vyxCaptureFrameState(scene, camera, settings);
    renderTilesShared(*cluster, work, state);
}

bool vyxClusterRenderSamples(vyxCluster* cluster, const vyxScene& scene, const vyxCamera& camera,
                             const vyxRenderSettings& settings, int32_t firstIndex, const uint32_t* seeds,
                             FrameBuffer* frames, int32_t count) {
    vyxPrepareFrame(scene);
    for (int32_t k = 0; k < count; ++k)
        if (!vyxFrameFitsCamera(frames[k], camera))
            return false;
    TileWork work{&scene, camera, vyxPlanTiles(camera, settings, TileSamples, count), {}, frames};
    vyxFrameState state = vyxCaptureFrameState(scene, camera, settings);
    state.work = TileSamples;
    state.firstSample = firstIndex;
    for (int32_t k = 0; k < count; ++k) {
        vyxRenderSettings s = vyxStillSampleSettings(settings, firstIndex + k);
        s.jitterSeed = seeds[k];
        work.settings.push_back(s);
        state.sampleSeeds.push_back(seeds[k]);
    }
    renderTilesShared(*cluster, work, state);
    return true;
}

void vyxClusterFarm(vyxCluster* cluster, int32_t jobCount, const std::function<std::string(int32_t)>& runLocal,
                    const std::function<void(int32_t, std::string&&)>& deliver) {
    std::mutex lock;
    std::deque<std::pair<int32_t, std::string>> finished; // rank 0's own, under lock
    auto deliverFinished = [&] {
        std::deque<std::pair<int32_t, std::string>> ready;
        {
            std::lock_guard<std::mutex> hold(lock);
            ready.swap(finished);
        }
        for (auto& [job, bytes] : ready)
            deliver(job, std::move(bytes));
    };
    if (cluster == nullptr || cluster->rank != 0 || rendering(*cluster) < 2) {
        for (int32_t job = 0; job < jobCount; ++job)
            deliver(job, runLocal(job));
        return;
    }
    cluster->bytes = 0;
    Dispatch dispatch;
    dispatch.itemCount = jobCount;
    dispatch.workTag = TagJob;
    dispatch.resultTag = TagJobResult;
    dispatch.batchSize = [](int32_t) { return 1; };
    dispatch.runLocal = [&](const std::vector<int32_t>& batch) {
        for (int32_t job : batch) {
            std::string bytes = runLocal(job);
            std::lock_guard<std::mutex> hold(lock);
            finished.emplace_back(job, std::move(bytes));
        }
    };
    dispatch.workMessage = [](const std::vector<int32_t>& batch) {
        std::string message;
        vyxPutBytes(message, batch.front());
        return message;
    };
    dispatch.takeResult = [&](int32_t, const std::vector<int32_t>& batch, const std::string& bytes) {
        int32_t job = -1;
        vyxByteReader in(bytes.data(), bytes.size());
        if (!in.get(job) || job != batch.front())
            return false;
        deliverFinished();
        deliver(job, bytes.substr(sizeof job));
        return true;
    };
    dispatch.poll = deliverFinished;
    runDispatch(*cluster, dispatch);
    deliverFinished();
}

int vyxClusterServe(vyxCluster* cluster, const vyxClusterWorker& worker) {
    if (cluster == nullptr || cluster->rank == 0)
        return 0;
    WorkerSide side;
    side.cluster = cluster;
    side.worker = &worker;
    std::thread thread([&side] { renderThread(side); });
    SceneArrival scene;
    double lastSent = seconds();
    double lastActive = seconds();
    bool quit = false;
    for (;;) {
        bool busy = pump(*cluster, 0, [&](int, int tag, std::string&& bytes) {
            if (!quit)
                takeFromRankZero(side, scene, tag, std::move(bytes), quit);
        });
        std::deque<Task> replies;
        bool working = false;
        {
            std::lock_guard<std::mutex> hold(side.lock);
            replies.swap(side.replies);
            if (quit) {
                side.tasks.clear(); // nothing more is wanted; the task at hand finishes
                scene.active = false;
            }
            working = !side.tasks.empty() || side.busy || scene.active;
        }
        for (Task& answer : replies) {
            if (!quit)
                sendLater(*cluster, 0, answer.tag, std::move(answer.bytes));
            lastSent = seconds();
            busy = true;
        }
        // Rank 0 may be waiting for this rank: say it is alive while there is work.
        if (working && seconds() - lastSent > kAliveSeconds) {
            sendLater(*cluster, 0, TagAlive, std::string());
            lastSent = seconds();
        }
        progressSends(*cluster);
        if (quit && !working)
            break;
        if (busy || working)
            lastActive = seconds();
        if (!busy) {
            // A reply goes out as soon as the render thread has it; rank 0's messages are
            // looked for between waits, less often once nothing has happened for a while.
            const auto wait = seconds() - lastActive > kQuietSeconds
                                  ? std::chrono::duration_cast<std::chrono::microseconds>(kLongPoll)
                                  : kShortPoll;
            std::unique_lock<std::mutex> hold(side.lock);
            side.replied.wait_for(hold, wait, [&] { return !side.replies.empty(); });
        }
    }
    {
        std::lock_guard<std::mutex> hold(side.lock);
        side.stopping = true;
        side.wake.notify_one();
    }
    thread.join();
    // The goodbye is the last message: everything sent before it has arrived when rank 0
    // reads it, so MPI_Finalize does not wait for anything.
    sendLater(*cluster, 0, TagBye, std::string());
    while (!cluster->sending.empty()) {
        progressSends(*cluster);
        idle();
    }
    MPI_Finalize();
    delete cluster;
    return 0;
}

int vyxClusterFinish(vyxCluster* cluster, int status) {
    if (cluster == nullptr || cluster->rank != 0)
        return status;
    // Every rank that answers is told to stop, and rank 0 waits for its goodbye (dropping
    // whatever else still arrives), so that no message is in flight at MPI_Finalize. A
    // rank that stays silent meanwhile is left out like one that stops during a frame.
    for (int r = 1; r < cluster->size; ++r) {
        Peer& peer = cluster->peers[static_cast<size_t>(r)];
        peer.outstanding.clear();
        peer.awaited = false;
        if (!peer.live)
            continue;
        sendLater(*cluster, r, TagQuit, std::string());
        peer.awaited = true;
        peer.lastHeard = seconds();
    }
    for (bool waiting = true; waiting && !cluster->anyLost;) {
        progressSends(*cluster);
        const bool busy = pump(*cluster, MPI_ANY_SOURCE, [cluster](int r, int tag, std::string&&) {
            if (r > 0 && tag == TagBye)
                cluster->peers[static_cast<size_t>(r)].awaited = false;
        });
        checkSilence(*cluster, nullptr);
        waiting = false;
        for (int r = 1; r < cluster->size; ++r)
            waiting = waiting || cluster->peers[static_cast<size_t>(r)].awaited;
        if (!busy && waiting)
            idle();
    }
    if (cluster->anyLost) {
        // MPI_Finalize would wait for the silent ranks for ever. Rank 0 ends on its own
        // instead (its files are written and closed by now), and mpirun, seeing a rank end
        // without MPI_Finalize, stops every rank of the job, the silent ones included.
        // MPI_Abort is not used: its message to mpirun can leave mpirun hanging while
        // another rank is inside MPI_Finalize.
        std::string lost;
        for (int r = 1; r < cluster->size; ++r)
            if (!cluster->peers[static_cast<size_t>(r)].live)
                lost += " " + std::to_string(r);
        std::fprintf(stderr,
                     "vyx: ending the job with status %d; rank(s)%s stopped answering and are stopped with it\n",
                     status != 0 ? status : 1, lost.c_str());
        std::fflush(nullptr);
        _exit(status != 0 ? status : 1);
    }
    while (!cluster->sending.empty()) {
        progressSends(*cluster);
        idle();
    }
    MPI_Finalize();
    delete cluster;
    return status;
}

#else // no MPI in this build: no cluster, one process

int vyxClusterStart(int*, char***, vyxCluster** cluster) {
    *cluster = nullptr;
    const char* size = std::getenv("OMPI_COMM_WORLD_SIZE");
    if (size != nullptr && std::atoi(size) > 1) {
        std::fprintf(stderr, "vyx: this build has no MPI support; start it without mpirun\n");
        return 1;
    }
    return -1;
}

int32_t vyxClusterRank(const vyxCluster*) { return 0; }
int32_t vyxClusterSize(const vyxCluster*) { return 1; }
bool vyxClusterShares(const vyxCluster*) { return false; }
bool vyxClusterHasPeers(const vyxCluster*) { return false; }
int32_t vyxClusterLiveRanks(const vyxCluster*) { return 1; }

const vyxClusterFrameStats& vyxClusterLastFrame(const vyxCluster*) {
    static const vyxClusterFrameStats none;
    return none;
}

void vyxClusterShareScene(vyxCluster*, vyxFileBundle&&, const std::string&, const std::string&, const vyxScene&) {}
void vyxClusterRenderFrame(vyxCluster*, const vyxScene&, const vyxCamera&, const vyxRenderSettings&, FrameBuffer&) {}
bool vyxClusterRenderSamples(vyxCluster*, const vyxScene&, const vyxCamera&, const vyxRenderSettings&, int32_t,
                             const uint32_t*, FrameBuffer*, int32_t) {
    return false;
}

void vyxClusterFarm(vyxCluster*, int32_t jobCount, const std::function<std::string(int32_t)>& runLocal,
                    const std::function<void(int32_t, std::string&&)>& deliver) {
    for (int32_t job = 0; job < jobCount; ++job)
        deliver(job, runLocal(job));
}

int vyxClusterServe(vyxCluster*, const vyxClusterWorker&) { return 0; }
int vyxClusterFinish(vyxCluster*, int status) { return status; }

#endif
