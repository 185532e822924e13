#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

ScratchDir::ScratchDir() {
    std::string pattern = testing::TempDir() + "vyx-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr)
        path_ = pattern;
    else
        ADD_FAILURE() << "cannot make a scratch folder like " << pattern;
}

ScratchDir::~ScratchDir() {
    if (path_.empty())
        return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error)
        ADD_FAILURE() << "cannot remove the scratch folder " << path_ << ": " << error.message();
}

std::string ScratchDir::file(const std::string& name) const { return path_ + "/" + name; }

std::string ScratchDir::write(const std::string& name, const std::string& bytes) const {
    writeFile(file(name), bytes);
    return file(name);
}

std::string ScratchDir::makeFolder(const std::string& name) const {
    if (mkdir(file(name).c_str(), 0700) != 0)
        ADD_FAILURE() << "cannot make the folder " << file(name);
    return file(name);
}

WorkingDir::WorkingDir(const std::string& dir) {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) != nullptr)
        previous_ = buffer;
    if (dir.empty() || chdir(dir.c_str()) != 0)
        ADD_FAILURE() << "cannot enter the folder \"" << dir << "\"";
}

WorkingDir::~WorkingDir() {
    if (previous_.empty() || chdir(previous_.c_str()) != 0)
        ADD_FAILURE() << "cannot return to the folder \"" << previous_ << "\"";
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.good())
        ADD_FAILURE() << "cannot write " << path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}
