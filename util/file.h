#pragma once
// Whole-file reading for every reader of the program: models, material libraries,
// images and the font are all read into memory first and parsed from there. While a file
// bundle records or replays (util/file_bundle.h), these functions record their answers or
// take them from the bundle instead of the disk.

#include <cstdint>
#include <string>

// Why the file at path should not be read whole: "" when it is a regular file of at
// most half the machine's memory; otherwise one phrase such as "is a FIFO, not a regular
// file", "is 30.2 GB, more than half the memory (12.0 GB)" or the system's reason it
// cannot be looked at ("No such file or directory"). Follows links. Any thread.
std::string vyxFileProblem(const char* path);

// Reads the file at path whole into bytes (emptied first). Returns false when it cannot
// be opened or read, with errno saying why, *opened (when not null) whether it was
// opened, and *why (when not null) the reason in words. What vyxFileProblem refuses is
// not opened: a device or FIFO would be read for ever or wait for a writer. Prints
// nothing; any file, not only text. Any thread.
bool vyxReadWholeFile(const char* path, std::string& bytes, bool* opened = nullptr, std::string* why = nullptr);

// The first bytes of the file at path, at most maxBytes; empty when it cannot be opened.
// Any thread.
std::string vyxReadFileHead(const char* path, size_t maxBytes);
