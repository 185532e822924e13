#include "app/install_layout.h"

#include <unistd.h>

#include <climits>

// The sample model, which every assets folder holds.
static const char* const kAssetWitness = "venus.obj";

static bool exists(const std::string& path, int mode) { return access(path.c_str(), mode) == 0; }

std::string vyxExecutableFolder() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::string();
    std::string executable(path, static_cast<size_t>(length));
    size_t slash = executable.rfind('/');
    return slash == std::string::npos ? std::string() : executable.substr(0, slash + 1);
}

std::string vyxFindAssetFolder() {
    if (exists(kAssetWitness, R_OK))
        return "./";
    const std::string beside = vyxFindAssetsBesideProgram();
    return beside.empty() ? "./" : beside;
}

std::string vyxFindAssetsBesideProgram() {
    const std::string folder = vyxExecutableFolder();
    if (!folder.empty())
        for (const char* candidate : {"assets/", "../share/vyx/"})
            if (exists(folder + candidate + kAssetWitness, R_OK))
                return folder + candidate;
    return std::string();
}

std::string vyxFindImportHelper() {
    const std::string folder = vyxExecutableFolder();
    if (folder.empty())
        return std::string();
    for (const char* candidate : {"vyx-import", "../vyx-import", "../libexec/vyx/vyx-import"})
        if (exists(folder + candidate, X_OK))
            return folder + candidate;
    return std::string();
}
