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
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "geometry/mesh.h"
#include "render/frame.h"
#include "render/frame_state.h"
#include "render/tiles.h"
#include "trace/random.h"
#include "util/bytes.h"
#include "util/escape.h"
#include "util/file.h"
#include "util/parallel.h"

namespace {

// Message tags. The first exchange (TagHello, a gather of fixed-size blocks) must stay
// the same in every build, so that ranks of different builds can tell each other apart.
enum Tag : int {
    TagHello = 1,
    TagVerdict = 2,
    TagScene = 3,      // rank 0 -> rank: size of the scene message, then its chunks
    TagSceneChunk = 4, // rank 0 -> rank
    TagSceneAck = 5,   // rank -> rank 0: generation, then the scene's signature
    TagFrame = 6,      // rank 0 -> rank: a frame state
    TagWork = 7,       // rank 0 -> rank: frame id and tile indices
    TagResult = 8,     // rank -> rank 0: a tile batch (header, colours)
    TagAlive = 9,      // rank -> rank 0: still working
    TagJob = 10,       // rank 0 -> rank: a whole job's index
    TagJobResult = 11, // rank -> rank 0: the job's index and bytes
    TagQuit = 12,      // rank 0 -> rank: stop
};

constexpr int kHelloBytes = 1024;
const char kHelloMarker[4] = {'V', 'Y', 'X', 'H'};
// Silence, while work or an answer is awaited, after which a rank is left out.
constexpr double kSilenceSeconds = 1.5;
// How often a working rank says it is still working.
constexpr double kAliveSeconds = 0.25;
// Scene messages travel in chunks below MPI's int count.
constexpr size_t kChunkBytes = size_t(1) << 29;
constexpr uint32_t kSceneMarker = 0x4e435356; // "VSCN"

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void idle() { std::this_thread::sleep_for(std::chrono::microseconds(150)); }

uint64_t fnv(const void* data, size_t size, uint64_t h = 1469598103934665603ull) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        h ^= bytes[i];
        h *= 1099511628211ull;
    }
    return h;
}

// The program's own file, hashed: ranks of different builds differ here even when
// their versions agree.
uint64_t programHash() {
    std::string bytes;
    if (!vyxReadWholeFile("/proc/self/exe", bytes))
        return 0;
    return fnv(bytes.data(), bytes.size());
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

template <typename T>
bool take(const std::string& in, size_t& at, T& value) {
    if (in.size() - at < sizeof(T) || at > in.size())
        return false;
    std::memcpy(&value, in.data() + at, sizeof(T));
    at += sizeof(T);
    return true;
}

// A message rank 0 has sent and MPI may still be reading from.
struct Outgoing {
    std::string bytes;
    MPI_Request request;
};

} // namespace

struct Peer {
    bool live = true;                             // answers; false once left out for silence (for good)
    bool renders = true;                          // renders tiles (false: its scene differs, or it is not live)
    int32_t cores = 1;                            // threads its pool renders with
    double lastHeard = 0;                         // when it last sent anything
    bool awaited = false;                         // rank 0 waits for its scene acknowledgement
    std::deque<std::vector<int32_t>> outstanding; // batches sent, oldest first
    double lastResult = 0;                        // when its last result came
    double batchSeconds = 0;                      // the time between its results, smoothed
};

struct vyxCluster {
    int32_t rank = 0;
    int32_t size = 1;
    std::vector<Peer> peers; // rank 0: index = rank (entry 0 unused)
    std::vector<std::unique_ptr<Outgoing>> sending;
    uint32_t frameId = 0;
    uint32_t sceneGeneration = 0;
    std::string signature; // rank 0: the scene's signature
    vyxClusterFrameStats last;
    uint64_t bytes = 0; // bytes of messages since the frame began
    bool anyLost = false;
};

namespace {

// Sends bytes to rank `to` without waiting; the buffer lives until MPI is done with it.
void sendLater(vyxCluster& cluster, int to, int tag, std::string bytes) {
    auto message = std::make_unique<Outgoing>();
    message->bytes = std::move(bytes);
    cluster.bytes += message->bytes.size();
    MPI_Isend(message->bytes.data(), static_cast<int>(message->bytes.size()), MPI_BYTE, to, tag, MPI_COMM_WORLD,
              &message->request);
    cluster.sending.push_back(std::move(message));
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

// Receives the message a probe found.
std::string receive(vyxCluster& cluster, const MPI_Status& status) {
    int count = 0;
    MPI_Get_count(&status, MPI_BYTE, &count);
    std::string bytes(static_cast<size_t>(count < 0 ? 0 : count), '\0');
    MPI_Recv(bytes.empty() ? nullptr : &bytes[0], count, MPI_BYTE, status.MPI_SOURCE, status.MPI_TAG, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
    cluster.bytes += bytes.size();
    return bytes;
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
    std::fprintf(stderr, "vyx: rank %d %s; rank 0 renders its share and goes on without it\n", r, why);
    peer.renders = false;
    peer.awaited = false;
    if (!answers) {
        peer.live = false;
        cluster.anyLost = true;
    }
    return std::move(peer.outstanding);
}

// Ranks that have been silent too long while rank 0 waits for them are left out; their
// batches go back into queue (when given).
void checkSilence(vyxCluster& cluster, std::deque<int32_t>* queue) {
    const double now = seconds();
    for (int r = 1; r < cluster.size; ++r) {
        Peer& peer = cluster.peers[static_cast<size_t>(r)];
        if (!peer.live || (!peer.awaited && peer.outstanding.empty()) || now - peer.lastHeard < kSilenceSeconds)
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
// message as they return results, two batches ahead so that none waits for the next.
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
        // Work for every rank that has room for it; a second batch ahead only while the
        // queue holds more than a round of batches, so that the last ones spread out.
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
        int found = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &found, &status);
        if (found) {
            busy = true;
            const int r = status.MPI_SOURCE;
            std::string bytes = receive(cluster, status);
            Peer* peer = r > 0 && r < cluster.size ? &cluster.peers[static_cast<size_t>(r)] : nullptr;
            if (peer != nullptr && peer->live) {
                peer->lastHeard = seconds();
                if (status.MPI_TAG == dispatch.resultTag && peer->renders && !peer->outstanding.empty()) {
                    std::vector<int32_t> batch = std::move(peer->outstanding.front());
                    peer->outstanding.pop_front();
                    const double now = seconds();
                    if (peer->lastResult > 0 && now - peer->lastResult < 1.0)
                        peer->batchSeconds = peer->batchSeconds > 0
                                                 ? 0.7 * peer->batchSeconds + 0.3 * (now - peer->lastResult)
                                                 : now - peer->lastResult;
                    peer->lastResult = now;
                    if (dispatch.takeResult(r, batch, bytes)) {
                        remoteDone += static_cast<int32_t>(batch.size());
                        byRank[static_cast<size_t>(r)] += static_cast<int32_t>(batch.size());
                    } else {
                        peer->outstanding.push_front(std::move(batch));
                        std::lock_guard<std::mutex> hold(local.lock);
                        for (auto& held : leaveOut(cluster, r, "sent a result that does not fit its work", true))
                            local.queue.insert(local.queue.end(), held.begin(), held.end());
                    }
                }
            }
        }
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

void renderTilesShared(vyxCluster& cluster, const TileWork& work, vyxFrameState& state) {
    cluster.bytes = 0;
    ++cluster.frameId;
    state.frameId = cluster.frameId;
    const std::string stateBytes = vyxEncodeFrameState(state);
    for (int r = 1; r < cluster.size; ++r)
        if (cluster.peers[static_cast<size_t>(r)].renders)
            sendLater(cluster, r, TagFrame, stateBytes);

    const int cores = vyxWorkerCores();
    Dispatch dispatch;
    dispatch.itemCount = work.plan.tileCount;
    const int32_t live = rendering(cluster);
    dispatch.batchSize = [&](int32_t r) {
        const int32_t wanted = r == 0 ? cores : cluster.peers[static_cast<size_t>(r)].cores;
        // Smaller batches as the queue empties, so that the last ones spread out.
        const int32_t fair = std::max<int32_t>(1, work.plan.tileCount / (4 * live));
        return std::max<int32_t>(1, std::min(wanted, fair));
    };
    dispatch.runLocal = [&](const std::vector<int32_t>& batch) {
        vyxParallelFor(static_cast<int>(batch.size()), cores, [&](int i) {
            vyxTile tile;
            if (!vyxTileOf(work.plan, work.camera, batch[static_cast<size_t>(i)], tile))
                return;
            std::vector<vyxVec3> pixels(static_cast<size_t>(tile.width) * tile.height);
            if (vyxRenderTile(*work.scene, work.camera, work.settings[static_cast<size_t>(tile.sample)], work.plan,
                              batch[static_cast<size_t>(i)], pixels.data()))
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
    std::atomic<bool> busy{false};   // a task is running
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

// The scene message: generation, model path, asset folder, random table, file bundle.
void loadSceneTask(WorkerSide& side, const std::string& bytes) {
    size_t at = 0;
    uint32_t marker = 0, generation = 0, pathSize = 0, folderSize = 0;
    std::string ack;
    auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "vyx: rank %d: the scene from rank 0 is unusable (%s)\n", side.cluster->rank, why.c_str());
        side.scene = nullptr;
        vyxPutBytes(ack, generation);
        ack += "no scene: " + why;
        reply(side, TagSceneAck, ack);
    };
    if (!take(bytes, at, marker) || marker != kSceneMarker || !take(bytes, at, generation) ||
        !take(bytes, at, pathSize) || pathSize > bytes.size() - at)
        return refuse("bad header");
    const std::string modelPath = bytes.substr(at, pathSize);
    at += pathSize;
    if (!take(bytes, at, folderSize) || folderSize > bytes.size() - at)
        return refuse("bad header");
    const std::string assetFolder = bytes.substr(at, folderSize);
    at += folderSize;
    if (bytes.size() - at < sizeof(float) * vyxRandomTableSize)
        return refuse("no random table");
    float table[vyxRandomTableSize];
    std::memcpy(table, bytes.data() + at, sizeof(table));
    at += sizeof(table);
    for (float value : table)
        if (!(value >= 0.0f && value <= 1.0f))
            return refuse("random table out of range");
    vyxFileBundle bundle;
    std::string error;
    if (!vyxDecodeFileBundle(reinterpret_cast<const uint8_t*>(bytes.data()) + at, bytes.size() - at, bundle, error))
        return refuse(error);
    std::memcpy(vyxRandomTable, table, sizeof(table));
    vyxRandomTableFilled.store(true);
    vyxBundleReplayStart(std::move(bundle));
    side.scene = side.worker->loadScene ? side.worker->loadScene(modelPath, assetFolder) : nullptr;
    vyxBundleReplayStop();
    side.stateValid = false;
    vyxPutBytes(ack, generation);
    ack += side.scene != nullptr ? sceneSignature(*side.scene) : std::string("no scene");
    reply(side, TagSceneAck, ack);
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
    vyxTileBatchHeader header;
    size_t at = 0;
    std::string error;
    bool usable = vyxDecodeTileBatchHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 4096, header,
                                           at, error) &&
                  at == bytes.size() && side.stateValid && header.frameId == side.state.frameId;
    std::vector<vyxTile> tiles(header.tiles.size());
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
        const vyxTile& tile = tiles[static_cast<size_t>(i)];
        std::vector<vyxVec3> pixels(static_cast<size_t>(tile.width) * tile.height);
        if (!vyxRenderTile(*side.scene, side.camera, side.settings[static_cast<size_t>(tile.sample)], side.plan,
                           header.tiles[static_cast<size_t>(i)], pixels.data()))
            std::fill(pixels.begin(), pixels.end(), vyxVec3{0.0f, 0.0f, 0.0f});
        std::memcpy(&message[offsets[static_cast<size_t>(i)]], pixels.data(), pixels.size() * sizeof(vyxVec3));
    });
    reply(side, TagResult, std::move(message));
}

void jobTask(WorkerSide& side, const std::string& bytes) {
    int32_t job = -1;
    size_t at = 0;
    std::string result;
    vyxPutBytes(result, job);
    if (take(bytes, at, job) && job >= 0 && side.worker->runJob) {
        std::memcpy(&result[0], &job, sizeof(job));
        result += side.worker->runJob(job);
    }
    reply(side, TagJobResult, std::move(result));
}

void renderThread(WorkerSide& side) {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> hold(side.lock);
            side.wake.wait(hold, [&] { return side.stopping || !side.tasks.empty(); });
            if (side.tasks.empty())
                return;
            task = std::move(side.tasks.front());
            side.tasks.pop_front();
            side.busy.store(true);
        }
        switch (task.tag) {
        case TagScene:
            loadSceneTask(side, task.bytes);
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
        side.busy.store(false);
    }
}

// Receives the scene message whose size a TagScene message announced.
bool receiveScene(const std::string& sizeMessage, std::string& bytes) {
    uint64_t total = 0;
    size_t at = 0;
    if (!take(sizeMessage, at, total) || total > (uint64_t(1) << 40))
        return false;
    bytes.clear();
    try {
        bytes.resize(static_cast<size_t>(total));
    } catch (...) {
        return false;
    }
    for (size_t done = 0; done < bytes.size();) {
        MPI_Status status;
        MPI_Probe(0, TagSceneChunk, MPI_COMM_WORLD, &status);
        int count = 0;
        MPI_Get_count(&status, MPI_BYTE, &count);
        if (count < 0 || static_cast<size_t>(count) > bytes.size() - done)
            return false;
        MPI_Recv(&bytes[done], count, MPI_BYTE, 0, TagSceneChunk, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        done += static_cast<size_t>(count);
    }
    return true;
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
    *result = cluster;
    if (size == 1)
        return -1;

    // Every rank says who it is; rank 0 compares and says whether the job goes on.
    char hello[kHelloBytes];
    std::memset(hello, 0, sizeof hello);
    std::memcpy(hello, kHelloMarker, sizeof kHelloMarker);
    const int32_t cores = vyxWorkerCores();
    std::memcpy(hello + 4, &cores, sizeof cores);
    const std::string self = identity(*argc, *argv);
    std::memcpy(hello + 8, self.data(), std::min(self.size(), sizeof(hello) - 9));
    std::vector<char> all(rank == 0 ? static_cast<size_t>(size) * kHelloBytes : 1);
    MPI_Gather(hello, kHelloBytes, MPI_BYTE, all.data(), kHelloBytes, MPI_BYTE, 0, MPI_COMM_WORLD);
    int32_t verdict = 1;
    if (rank == 0) {
        cluster->peers.resize(static_cast<size_t>(size));
        for (int r = 1; r < size && verdict; ++r) {
            const char* other = &all[static_cast<size_t>(r) * kHelloBytes];
            std::string theirs(other + 8, strnlen(other + 8, kHelloBytes - 8));
            if (std::memcmp(other, kHelloMarker, sizeof kHelloMarker) != 0 || theirs != self) {
                std::fprintf(stderr,
                             "vyx: rank %d runs another program, build or command line than rank 0; every rank must "
                             "run the same one:\n  rank 0: %s\n  rank %d: %s\n",
                             r, vyxEscapeText(self).c_str(), r,
                             std::memcmp(other, kHelloMarker, sizeof kHelloMarker) == 0 ? vyxEscapeText(theirs).c_str()
                                                                                        : "(not a vyx program)");
                verdict = 0;
            }
            std::memcpy(&cluster->peers[static_cast<size_t>(r)].cores, other + 4, sizeof(int32_t));
            int32_t& peerCores = cluster->peers[static_cast<size_t>(r)].cores;
            peerCores = std::max<int32_t>(1, std::min<int32_t>(peerCores, 64));
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

int32_t vyxClusterLiveRanks(const vyxCluster* cluster) { return cluster != nullptr ? rendering(*cluster) : 1; }

const vyxClusterFrameStats& vyxClusterLastFrame(const vyxCluster* cluster) {
    static const vyxClusterFrameStats none;
    return cluster != nullptr ? cluster->last : none;
}

void vyxClusterShareScene(vyxCluster* cluster, vyxFileBundle&& bundle, const std::string& modelPath,
                          const std::string& assetFolder, const vyxScene& scene) {
    if (cluster == nullptr || cluster->rank != 0 || cluster->size < 2)
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

    // Every rank that answers gets the scene, even one whose last scene differed.
    auto shared = std::make_shared<std::string>(std::move(message));
    std::vector<MPI_Request> chunks;
    for (int r = 1; r < cluster->size; ++r) {
        Peer& peer = cluster->peers[static_cast<size_t>(r)];
        if (!peer.live)
            continue;
        std::string size;
        vyxPutBytes(size, static_cast<uint64_t>(shared->size()));
        sendLater(*cluster, r, TagScene, size);
        for (size_t at = 0; at < shared->size(); at += kChunkBytes) {
            MPI_Request request;
            MPI_Isend(shared->data() + at, static_cast<int>(std::min(kChunkBytes, shared->size() - at)), MPI_BYTE, r,
                      TagSceneChunk, MPI_COMM_WORLD, &request);
            chunks.push_back(request);
        }
        peer.awaited = true;
        peer.lastHeard = seconds();
    }
    for (;;) {
        bool waiting = false;
        for (int r = 1; r < cluster->size; ++r)
            waiting = waiting || cluster->peers[static_cast<size_t>(r)].awaited;
        if (!waiting)
            break;
        progressSends(*cluster);
        int found = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &found, &status);
        if (found) {
            const int r = status.MPI_SOURCE;
            std::string bytes = receive(*cluster, status);
            Peer& peer = cluster->peers[static_cast<size_t>(r)];
            if (peer.live) {
                peer.lastHeard = seconds();
                uint32_t generation = 0;
                size_t at = 0;
                if (status.MPI_TAG == TagSceneAck && take(bytes, at, generation) &&
                    generation == cluster->sceneGeneration) {
                    peer.awaited = false;
                    const std::string theirs = bytes.substr(at);
                    peer.renders = theirs == cluster->signature;
                    if (!peer.renders)
                        std::fprintf(stderr,
                                     "vyx: rank %d built another scene from the files sent (%s; rank 0: %s); it "
                                     "renders no more\n",
                                     r, vyxEscapeText(theirs).c_str(), vyxEscapeText(cluster->signature).c_str());
                }
            }
        } else {
            idle();
        }
        checkSilence(*cluster, nullptr);
    }
    // Chunks to ranks that answered are delivered; those to a rank left out are left to
    // MPI (the job ends without MPI_Finalize then).
    for (MPI_Request& request : chunks) {
        int done = 0;
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
        if (!done)
            MPI_Request_free(&request);
    }
    // MPI may still read the buffer of a freed request to a silent rank: keep it.
    static std::vector<std::shared_ptr<std::string>> kept;
    if (cluster->anyLost)
        kept.push_back(shared);
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

void vyxClusterRenderSamples(vyxCluster* cluster, const vyxScene& scene, const vyxCamera& camera,
                             const vyxRenderSettings& settings, int32_t firstIndex, const uint32_t* seeds,
                             FrameBuffer* frames, int32_t count) {
    vyxPrepareFrame(scene);
    for (int32_t k = 0; k < count; ++k)
        if (!vyxFrameFitsCamera(frames[k], camera))
            return;
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
        size_t at = 0;
        if (!take(bytes, at, job) || job != batch.front())
            return false;
        deliverFinished();
        deliver(job, bytes.substr(at));
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
    double lastSent = seconds();
    std::vector<std::unique_ptr<Outgoing>>& sending = cluster->sending;
    bool quit = false;
    while (!quit) {
        bool busy = false;
        int found = 0;
        MPI_Status status;
        MPI_Iprobe(0, MPI_ANY_TAG, MPI_COMM_WORLD, &found, &status);
        if (found) {
            busy = true;
            std::string bytes = receive(*cluster, status);
            Task task{status.MPI_TAG, std::string()};
            if (status.MPI_TAG == TagQuit) {
                quit = true;
            } else if (status.MPI_TAG == TagScene) {
                if (!receiveScene(bytes, task.bytes)) {
                    std::fprintf(stderr, "vyx: rank %d: a scene message from rank 0 is unusable\n", cluster->rank);
                    task.bytes.clear();
                }
            } else {
                task.bytes = std::move(bytes);
            }
            if (!quit) {
                std::lock_guard<std::mutex> hold(side.lock);
                side.tasks.push_back(std::move(task));
                side.wake.notify_one();
            }
        }
        std::deque<Task> replies;
        bool working = false;
        {
            std::lock_guard<std::mutex> hold(side.lock);
            replies.swap(side.replies);
            working = !side.tasks.empty() || side.busy.load();
        }
        for (Task& answer : replies) {
            sendLater(*cluster, 0, answer.tag, std::move(answer.bytes));
            lastSent = seconds();
            busy = true;
        }
        if (working && seconds() - lastSent > kAliveSeconds) {
            sendLater(*cluster, 0, TagAlive, std::string());
            lastSent = seconds();
        }
        progressSends(*cluster);
        if (!busy) {
            // A reply goes out as soon as the render thread has it; rank 0's messages are
            // looked for between waits.
            std::unique_lock<std::mutex> hold(side.lock);
            side.replied.wait_for(hold, std::chrono::microseconds(150), [&] { return !side.replies.empty(); });
        }
    }
    {
        std::lock_guard<std::mutex> hold(side.lock);
        side.stopping = true;
        side.tasks.clear();
        side.wake.notify_one();
    }
    thread.join();
    while (!sending.empty()) {
        progressSends(*cluster);
        idle();
    }
    MPI_Finalize();
    delete cluster;
    return 0;
}

int vyxClusterFinish(vyxCluster* cluster, int status) {
    if (cluster == nullptr)
        return status;
    if (cluster->rank != 0)
        return status;
    if (cluster->anyLost) {
        // MPI_Finalize would wait for the silent ranks for ever. Rank 0 ends on its own
        // instead (its files are written and closed by now), and mpirun, seeing a rank end
        // without MPI_Finalize, stops every rank of the job, the silent ones included.
        // The others are not told to stop first: mpirun's ending of a job can hang while
        // one of its ranks waits inside MPI_Finalize (and MPI_Abort's message to mpirun
        // can upset it too), so they stay in their loops until mpirun stops them.
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
    for (int r = 1; r < cluster->size; ++r)
        sendLater(*cluster, r, TagQuit, std::string());
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
int32_t vyxClusterLiveRanks(const vyxCluster*) { return 1; }

const vyxClusterFrameStats& vyxClusterLastFrame(const vyxCluster*) {
    static const vyxClusterFrameStats none;
    return none;
}

void vyxClusterShareScene(vyxCluster*, vyxFileBundle&&, const std::string&, const std::string&, const vyxScene&) {}
void vyxClusterRenderFrame(vyxCluster*, const vyxScene&, const vyxCamera&, const vyxRenderSettings&, FrameBuffer&) {}
void vyxClusterRenderSamples(vyxCluster*, const vyxScene&, const vyxCamera&, const vyxRenderSettings&, int32_t,
                             const uint32_t*, FrameBuffer*, int32_t) {}

void vyxClusterFarm(vyxCluster*, int32_t jobCount, const std::function<std::string(int32_t)>& runLocal,
                    const std::function<void(int32_t, std::string&&)>& deliver) {
    for (int32_t job = 0; job < jobCount; ++job)
        deliver(job, runLocal(job));
}

int vyxClusterServe(vyxCluster*, const vyxClusterWorker&) { return 0; }
int vyxClusterFinish(vyxCluster*, int status) { return status; }

#endif
