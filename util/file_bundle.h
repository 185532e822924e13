#pragma once
// The files a scene is loaded from, kept as one block of bytes so that another process
// can load the same scene without seeing the disk: while recording, every question the
// loaders ask the disk (a file's bytes, whether it can be read, the first bytes of a
// model, which spelling of a texture's name exists, what the import helper sent) is kept
// with its answer; while replaying, the same questions are answered from the bundle and
// the disk is not touched. The process-wide mode is set by one thread while no
// loader runs; the loaders' threads may record or look up at once.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// What a bundle entry answers; the key is the kind's letter followed by the name.
enum vyxBundleKind : char {
    BundleFile = 'F',    // vyxReadWholeFile(name)
    BundleProblem = 'P', // vyxFileProblem(name)
    BundleHead = 'H',    // vyxReadFileHead(name)
    BundlePath = 'L',    // a name looked up on the disk: "folder\nname" -> the path found
    BundleImport = 'I',  // the import helper's output for the model file name
};

struct vyxBundleEntry {
    bool ok = false;     // the question was answered without failure
    bool opened = false; // BundleFile: the file was opened
    int32_t error = 0;   // errno of a failure
    std::string bytes;   // the answer: contents, problem, path; on failure the reason
};

struct vyxFileBundle {
    std::map<std::string, vyxBundleEntry> entries; // key: kind letter + name
    uint64_t byteCount = 0;                        // derived: bytes of every answer together
};

// Starts recording into a fresh, process-wide bundle (a recording already running is
// dropped). The thread that loads, while no loader runs.
void vyxBundleRecordStart();
// Stops recording and hands over what was recorded (empty when nothing was recording).
vyxFileBundle vyxBundleRecordStop();
// From now on every question is answered from bundle (moved in); a question it does not
// hold fails as a missing file would. The thread that loads, while no loader runs.
void vyxBundleReplayStart(vyxFileBundle&& bundle);
// Back to the disk; the bundle is freed.
void vyxBundleReplayStop();

// For the loaders. While replaying: fills entry with the answer recorded for (kind, name)
// and returns true; a question not in the bundle gets a failure (ENOENT, "is not among the
// files the first process sent"). Otherwise returns false and the caller asks the disk.
bool vyxBundleLookup(vyxBundleKind kind, const std::string& name, vyxBundleEntry& entry);
// While recording, keeps the answer to (kind, name) (the first answer stays); otherwise
// nothing. Any thread.
void vyxBundleRecord(vyxBundleKind kind, const std::string& name, const vyxBundleEntry& entry);
// Whether anything is recording (so that callers can skip building an entry).
bool vyxBundleRecording();

// The bundle as bytes, and back. Decoding checks everything before it keeps anything:
// the marker and version, every count and length against the bytes that are left, the
// kinds, names without NUL bytes and at most 64 KiB long, no key twice. On failure it
// returns false with error in words and bundle emptied.
std::string vyxEncodeFileBundle(const vyxFileBundle& bundle);
bool vyxDecodeFileBundle(const uint8_t* data, size_t size, vyxFileBundle& bundle, std::string& error);
