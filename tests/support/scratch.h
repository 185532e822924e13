#pragma once
// Scratch folders and files for the tests. Whatever a helper makes is removed when it
// goes out of scope, so a test run leaves nothing in the temporary directory.

#include <string>

// A fresh, empty folder in the temporary directory (testing::TempDir(), which follows
// TMPDIR), removed with everything in it when the object is destroyed. A folder that
// cannot be made or removed is a test failure; path() is empty when it could not be made.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name; name may go through folders below it.
    std::string file(const std::string& name) const;
    // Writes bytes to file(name), replacing it, and returns file(name).
    std::string write(const std::string& name, const std::string& bytes) const;
    // Makes the folder file(name) (its parent must exist) and returns its path.
    std::string makeFolder(const std::string& name) const;

private:
    std::string path_;
};

// Makes dir the working directory while the object lives and returns to the previous
// one afterwards. A folder that cannot be entered is a test failure.
class WorkingDir {
public:
    explicit WorkingDir(const std::string& dir);
    ~WorkingDir();
    WorkingDir(const WorkingDir&) = delete;
    WorkingDir& operator=(const WorkingDir&) = delete;

private:
    std::string previous_;
};

// A ScratchDir that is the working directory while it lives.
class ScratchWorkDir : public ScratchDir {
private:
    WorkingDir enter_{path()};
};

// Writes bytes to path (absolute or from the working directory), replacing the file; a
// file that cannot be written is a test failure.
void writeFile(const std::string& path, const std::string& bytes);

// The bytes of the file at path; empty when it cannot be read.
std::string readFile(const std::string& path);
