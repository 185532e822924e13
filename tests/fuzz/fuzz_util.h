#pragma once
// Helpers shared by the harnesses: a private scratch folder and file writing.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// A per-process folder under /tmp; the readers' messages on standard output are
// silenced once so the fuzzer's own output stays readable.
inline const std::string& fuzzScratchDir() {
    static std::string dir = [] {
        std::string d = "/tmp/vyx-fuzz-" + std::to_string(getpid());
        std::string command = "mkdir -p " + d;
        if (std::system(command.c_str()) != 0)
            std::abort();
        if (!std::freopen("/dev/null", "w", stdout))
            std::abort();
        return d;
    }();
    return dir;
}

inline void fuzzWriteFile(const std::string& path, const char* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

// Splits the input at the first "\n#MTL\n": the part before is the model, the part after
// is the library "lib.mtl" that the model may name with "mtllib lib.mtl".
inline void fuzzWriteModel(const char* data, size_t size, std::string& objPath) {
    const std::string& dir = fuzzScratchDir();
    std::string all(data, size);
    static const std::string marker = "\n#MTL\n";
    size_t at = all.find(marker);
    std::string model = at == std::string::npos ? all : all.substr(0, at);
    std::string library = at == std::string::npos ? std::string() : all.substr(at + marker.size());
    objPath = dir + "/model.obj";
    fuzzWriteFile(objPath, model.data(), model.size());
    fuzzWriteFile(dir + "/lib.mtl", library.data(), library.size());
}
