#pragma once
// Shared pieces of the bad-input tests: scratch folders, file writing, stderr capture
// and the process's memory figures.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#ifndef VYX_ASSETS_DIR
#define VYX_ASSETS_DIR ""
#endif

// Big inputs shrink under the address sanitizer, where every byte costs several times
// more time and memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VYX_ROBUSTNESS_SANITIZED 1
#else
#define VYX_ROBUSTNESS_SANITIZED 0
#endif

// Enters `dir` (or a fresh folder under /tmp, removed with its contents afterwards) and
// returns to the previous working directory on destruction.
struct ScopedDir {
    std::string previous, path;
    bool temporary = false;
    explicit ScopedDir(const char* dir = nullptr) {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof(buffer)) != nullptr)
            previous = buffer;
        if (dir != nullptr) {
            path = dir;
        } else {
            char pattern[] = "/tmp/vyx-robustness-XXXXXX";
            if (mkdtemp(pattern) != nullptr)
                path = pattern;
            temporary = true;
        }
        if (path.empty() || chdir(path.c_str()) != 0)
            ADD_FAILURE() << "cannot enter " << path;
    }
    ~ScopedDir() {
        if (!previous.empty() && chdir(previous.c_str()) != 0)
            std::perror("chdir back");
        if (temporary && !path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    ScopedDir(const ScopedDir&) = delete;
    ScopedDir& operator=(const ScopedDir&) = delete;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

// Peak resident memory of this process so far, in MiB.
inline long peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Standard output and standard error of a block of code.
struct CapturedOutput {
    std::string out, err;
};
template <typename F>
CapturedOutput capture(F&& body) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    CapturedOutput result;
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}
