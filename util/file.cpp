#include "util/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/file_bundle.h"
#include "util/large_alloc.h"

static std::string gigabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    return text;
}

static std::string diskFileProblem(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0)
        return std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return "is a folder";
    if (!S_ISREG(info.st_mode)) {
        const char* kind = S_ISFIFO(info.st_mode)   ? "a FIFO"
                           : S_ISCHR(info.st_mode)  ? "a character device"
                           : S_ISBLK(info.st_mode)  ? "a block device"
                           : S_ISSOCK(info.st_mode) ? "a socket"
                                                    : "something else";
        return std::string("is ") + kind + ", not a regular file";
    }
    const double half = static_cast<double>(vyxPhysicalMemoryBytes()) / 2;
    if (static_cast<double>(info.st_size) > half)
        return "is " + gigabytes(static_cast<double>(info.st_size)) + ", more than half the memory (" +
               gigabytes(half) + ")";
    return std::string();
}

std::string vyxFileProblem(const char* path) {
    vyxBundleEntry entry;
    if (vyxBundleLookup(BundleProblem, path, entry))
        return entry.ok ? std::string() : entry.bytes;
    std::string problem = diskFileProblem(path);
    if (vyxBundleRecording()) {
        entry.ok = problem.empty();
        entry.bytes = problem;
        vyxBundleRecord(BundleProblem, path, entry);
    }
    return problem;
}

// vyxReadWholeFile from the disk.
static bool readFromDisk(const char* path, std::string& bytes, bool* opened, std::string* why) {
    bytes.clear();
    if (opened)
        *opened = false;
    std::string problem = vyxFileProblem(path);
    // A folder is opened as before, so that the caller learns it cannot be read.
    if (!problem.empty() && problem != "is a folder") {
        if (why)
            *why = problem;
        errno = EINVAL;
        return false;
    }
    FILE* file = std::fopen(path, "rb");
    if (opened)
        *opened = file != nullptr;
    if (!file) {
        if (why)
            *why = std::strerror(errno);
        return false;
    }
    // Straight into the string when the size is known (one allocation, no copy), then
    // whatever the file grew by since.
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        bytes.resize(static_cast<size_t>(info.st_size));
        bytes.resize(std::fread(&bytes[0], 1, bytes.size(), file));
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    // A folder opens as a file here but cannot be read.
    bool failed = std::ferror(file) != 0;
    int error = errno;
    std::fclose(file);
    errno = error;
    if (failed) {
        bytes.clear();
        if (why)
            *why = std::strerror(error);
    }
    return !failed;
}

bool vyxReadWholeFile(const char* path, std::string& bytes, bool* opened, std::string* why) {
    vyxBundleEntry entry;
    if (vyxBundleLookup(BundleFile, path, entry)) {
        bytes.clear();
        if (opened)
            *opened = entry.opened;
        if (!entry.ok) {
            if (why)
                *why = entry.bytes;
            errno = entry.error;
            return false;
        }
        bytes = std::move(entry.bytes);
        return true;
    }
    std::string reason;
    bool wasOpened = false;
    bool read = readFromDisk(path, bytes, &wasOpened, &reason);
    int error = errno;
    if (vyxBundleRecording()) {
        entry.ok = read;
        entry.opened = wasOpened;
        entry.error = read ? 0 : error;
        entry.bytes = read ? bytes : reason;
        vyxBundleRecord(BundleFile, path, entry);
    }
    if (opened)
        *opened = wasOpened;
    if (why && !read)
        *why = reason;
    errno = error;
    return read;
}

std::string vyxReadFileHead(const char* path, size_t maxBytes) {
    vyxBundleEntry entry;
    if (vyxBundleLookup(BundleHead, path, entry))
        return entry.bytes.substr(0, maxBytes);
    std::string head(maxBytes, '\0');
    FILE* file = std::fopen(path, "rb");
    size_t got = file ? std::fread(&head[0], 1, head.size(), file) : 0;
    if (file)
        std::fclose(file);
    head.resize(got);
    if (vyxBundleRecording()) {
        entry.ok = file != nullptr;
        entry.bytes = head;
        vyxBundleRecord(BundleHead, path, entry);
    }
    return head;
}
