#include "util/file.h"

#include <cerrno>
#include <cstdio>

bool vyxReadWholeFile(const char* path, std::string& bytes, bool* opened) {
    bytes.clear();
    FILE* file = std::fopen(path, "rb");
    if (opened)
        *opened = file != nullptr;
    if (!file)
        return false;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    // A folder opens as a file here but cannot be read.
    bool failed = std::ferror(file) != 0;
    int error = errno;
    std::fclose(file);
    errno = error;
    if (failed)
        bytes.clear();
    return !failed;
}
