#pragma once
// Which reader a model file goes to, judged by its first bytes: OBJ text to the
// program's own reader, anything else a model library might read to the import helper,
// and files that are plainly something else (images, documents, archives of other
// kinds) to neither.

#include <cstddef>

enum vyxModelKind {
    ModelObj,      // OBJ text: the program's reader
    ModelImported, // another format (or an unknown one): the import helper
    ModelNotModel, // an image, document or archive: refused
};

// Bytes of a file's start that vyxDetectModelKind looks at (fewer when the file is shorter).
constexpr size_t vyxModelHeadBytes = 4096;

// The reader for a file whose first size bytes are head (may be null when size is 0);
// path is used for its extension only. OBJ text is recognised by its first keyword
// (UTF-8 or UTF-16, after comments and blank lines); a file named ".obj" with no keyword
// at all (empty, or comments only) is OBJ too. For ModelNotModel, *what (when not null)
// is set to what the file is instead ("a PNG image"); otherwise it is left alone.
vyxModelKind vyxDetectModelKind(const char* head, size_t size, const char* path, const char** what);
