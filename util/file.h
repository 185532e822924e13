#pragma once
// Whole-file reading for every reader of the program: models, material libraries,
// images and the font are all read into memory first and parsed from there.

#include <string>

// Reads the file at path whole into bytes (emptied first). Returns false when it cannot
// be opened or read, with errno saying why and *opened (when not null) whether it was
// opened. Prints nothing; any file, not only text. Any thread.
bool vyxReadWholeFile(const char* path, std::string& bytes, bool* opened = nullptr);
