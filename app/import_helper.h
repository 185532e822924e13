#pragma once
// Running the import helper (vyx-import) on one model file: a separate process, started
// with posix_spawn, limited in address space and wall-clock time, whose standard output
// is collected whole and whose death, however it comes, is put into words.

#include <cstdint>
#include <string>

// How the helper is run. Callers set every field; vyxDefaultImportHelperRun fills them.
struct vyxImportHelperRun {
    std::string helperPath;  // the vyx-import executable
    uint64_t memoryLimit;    // bytes of address space the helper may use
    uint64_t maxTriangles;   // the helper stops past this many
    uint64_t maxOutputBytes; // the helper is stopped when it sends more
    double secondsLimit;     // wall-clock time before the helper is stopped; <= 0 = derived
                             // from the file's size (5 s and 1 s per MiB)
    bool progress;           // print one line on stderr when the import passes a second
    bool confine;            // every file the model names (buffers, images, libraries,
                             // textures) must lie in the model's folder; the helper is
                             // started with --confine
};

// The run for this machine: the helper found by vyxFindImportHelper, a memory limit of
// half the memory but at most 4 GiB, as many triangles as fit a quarter of the memory
// once built, an output limit of 2 GiB, the size-derived time limit, progress on, files
// named by the model followed wherever they are (confine off).
vyxImportHelperRun vyxDefaultImportHelperRun();

// Runs the helper on modelPath and collects what it writes into output. Returns true when
// it ended by itself with status 0 or 1 (1: the library refused the file; the stream then
// says why). Otherwise returns false with why in words ("the importer crashed
// (segmentation fault)", "the importer did not finish within 5 s"), output holding what
// came before. Never leaves the helper running. Prints only the progress line. Any
// thread; the caller must not wait for children of its own with waitpid(-1) meanwhile.
bool vyxRunImportHelper(const vyxImportHelperRun& run, const char* modelPath, std::string& output, std::string& why);
