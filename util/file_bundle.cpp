#include "util/file_bundle.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "util/bytes.h"

namespace {

std::mutex recordLock;
std::atomic<bool> recording{false};
vyxFileBundle recorded; // under recordLock
// Set and cleared by the main thread while no loader runs; read by loaders.
vyxFileBundle replayed;
std::atomic<bool> replaying{false};

const char kMarker[4] = {'V', 'Y', 'X', 'B'};
constexpr uint32_t kVersion = 1;
constexpr size_t kMaxName = 65536;

std::string key(vyxBundleKind kind, const std::string& name) { return std::string(1, static_cast<char>(kind)) + name; }

bool knownKind(char kind) {
    return kind == BundleFile || kind == BundleProblem || kind == BundleHead || kind == BundlePath ||
           kind == BundleImport;
}

} // namespace

void vyxBundleRecordStart() {
    std::lock_guard<std::mutex> hold(recordLock);
    recorded = vyxFileBundle();
    recording.store(true);
}

vyxFileBundle vyxBundleRecordStop() {
    std::lock_guard<std::mutex> hold(recordLock);
    recording.store(false);
    vyxFileBundle taken = std::move(recorded);
    recorded = vyxFileBundle();
    return taken;
}

void vyxBundleReplayStart(vyxFileBundle&& bundle) {
    replayed = std::move(bundle);
    replaying.store(true);
}

void vyxBundleReplayStop() {
    replaying.store(false);
    replayed = vyxFileBundle();
}

bool vyxBundleRecording() { return recording.load(); }

bool vyxBundleLookup(vyxBundleKind kind, const std::string& name, vyxBundleEntry& entry) {
    if (!replaying.load())
        return false;
    auto found = replayed.entries.find(key(kind, name));
    if (found != replayed.entries.end()) {
        entry = found->second;
        return true;
    }
    entry = vyxBundleEntry();
    entry.error = ENOENT;
    entry.bytes = "is not among the files the first process sent";
    return true;
}

void vyxBundleRecord(vyxBundleKind kind, const std::string& name, const vyxBundleEntry& entry) {
    if (!recording.load())
        return;
    std::lock_guard<std::mutex> hold(recordLock);
    if (!recording.load())
        return;
    if (recorded.entries.emplace(key(kind, name), entry).second)
        recorded.byteCount += entry.bytes.size();
}

std::string vyxEncodeFileBundle(const vyxFileBundle& bundle) {
    std::string out;
    out.reserve(static_cast<size_t>(bundle.byteCount) + 64 * bundle.entries.size() + 16);
    out.append(kMarker, sizeof(kMarker));
    vyxPutBytes(out, kVersion);
    vyxPutBytes(out, static_cast<uint64_t>(bundle.entries.size()));
    for (const auto& [name, entry] : bundle.entries) {
        vyxPutBytes(out, static_cast<uint32_t>(name.size()));
        out += name;
        vyxPutBytes(out, static_cast<uint8_t>((entry.ok ? 1 : 0) | (entry.opened ? 2 : 0)));
        vyxPutBytes(out, entry.error);
        vyxPutBytes(out, static_cast<uint64_t>(entry.bytes.size()));
        out += entry.bytes;
    }
    return out;
}

bool vyxDecodeFileBundle(const uint8_t* data, size_t size, vyxFileBundle& bundle, std::string& error) {
    bundle = vyxFileBundle();
    auto fail = [&](const std::string& why) {
        bundle = vyxFileBundle();
        error = why;
        return false;
    };
    if (data == nullptr && size > 0)
        return fail("no bytes");
    vyxByteReader in(data, size);
    char marker[4];
    uint32_t version = 0;
    uint64_t count = 0;
    if (!in.get(marker) || std::memcmp(marker, kMarker, sizeof(marker)) != 0)
        return fail("not a file bundle");
    if (!in.get(version) || version != kVersion)
        return fail("file bundle of another version");
    // An entry takes at least 17 bytes beside its name and answer.
    if (!in.get(count) || count > in.left / 17)
        return fail("more entries than bytes");
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t nameSize = 0;
        std::string name;
        uint8_t flags = 0;
        int32_t errorNumber = 0;
        uint64_t byteSize = 0;
        vyxBundleEntry entry;
        if (!in.get(nameSize) || nameSize < 1 || nameSize > kMaxName || !in.bytes(nameSize, name))
            return fail("entry " + std::to_string(i) + ": bad name");
        if (!knownKind(name[0]) || name.find('\0') != std::string::npos)
            return fail("entry " + std::to_string(i) + ": bad kind or name");
        if (!in.get(flags) || flags > 3 || !in.get(errorNumber) || !in.get(byteSize) || byteSize > in.left ||
            !in.bytes(static_cast<size_t>(byteSize), entry.bytes))
            return fail("entry " + std::to_string(i) + " (" + name.substr(1) + "): truncated");
        entry.ok = (flags & 1) != 0;
        entry.opened = (flags & 2) != 0;
        entry.error = errorNumber;
        bundle.byteCount += entry.bytes.size();
        if (!bundle.entries.emplace(std::move(name), std::move(entry)).second)
            return fail("entry " + std::to_string(i) + ": a second answer to one question");
    }
    if (in.left != 0)
        return fail(std::to_string(in.left) + " bytes after the last entry");
    return true;
}
