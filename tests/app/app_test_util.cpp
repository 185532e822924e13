#include "app_test_util.h"

#include <unistd.h>

#include <climits>
#include <cstdio>

ScopedWorkDir::ScopedWorkDir(const char* dir) {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof(buffer)) != nullptr)
        previous = buffer;
    if (dir != nullptr) {
        path = dir;
    } else {
        char pattern[] = "/tmp/vyx-app-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path = pattern;
        temporary = true;
    }
    if (!path.empty() && chdir(path.c_str()) != 0)
        std::perror("chdir");
}

ScopedWorkDir::~ScopedWorkDir() {
    if (!previous.empty() && chdir(previous.c_str()) != 0)
        std::perror("chdir back");
    if (temporary && !path.empty()) {
        std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
}
