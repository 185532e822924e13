#pragma once
// The text of OBJ and MTL files: read whole, decoded to UTF-8, and walked as logical
// lines (any line end, backslash continuations joined, comments cut). Shared by both
// readers; nothing here keeps state between calls.

#include <cstddef>
#include <string>

// Opens the file at path and reads its bytes whole into bytes, undecoded. Prints "Opened
// file <path>\n" or "Unable to open file.\n" on standard output, as the readers always
// have; on failure also one line on stderr naming `kind` ("model", "material library"),
// the path and the reason. Returns false when the file cannot be opened or read (bytes
// is then empty).
bool vyxReadFileBytes(const char* path, const char* kind, std::string& bytes);

// Decodes text in place to UTF-8: a UTF-8 byte-order mark is dropped; UTF-16 (little- or
// big-endian, recognised by its byte-order mark or by NUL bytes in every second place at
// the start) is converted, unpaired surrogates becoming U+FFFD. Returns the name of the
// encoding converted from ("UTF-16LE", "UTF-16BE") or null when the text was kept.
const char* vyxDecodeText(std::string& text);

// Walks decoded text line by line. Set text; the other fields start as below.
struct vyxLineCursor {
    const std::string* text = nullptr; // not owned; must outlive the cursor
    size_t offset = 0;                 // where the next line starts
    long lineNumber = 0;               // derived: 1-based line on which the last returned line starts
    long nextLineNumber = 1;           // derived
    long binaryLines = 0;              // derived: lines skipped because they hold NUL bytes
};

// Stores the next logical line into line and returns true; false at the end of the text.
// A line ends at a line feed, a carriage return followed by a line feed, or a lone
// carriage return. A backslash that ends a line joins the next line to it (the backslash
// becomes a space). A "#" that starts a token ends the line's content. A line holding a
// NUL byte is not text: it is skipped and counted in binaryLines.
bool vyxNextLine(vyxLineCursor& cursor, std::string& line);

// After a file's last line: one warning on stderr naming path when lines were skipped
// for holding NUL bytes; nothing otherwise.
void vyxReportSkippedLines(const vyxLineCursor& cursor, const char* path);

// Skips white space (space, tab, line feed, vertical tab, form feed, carriage return)
// from start; returns -1 at the end of the line leaving token untouched, else stores the
// token and returns the position of the character that ended it. start -1 returns -1.
int vyxNextToken(int start, const std::string& line, std::string& token);

// The folder part of path including its last "/" or "\", or "./" when it has none.
std::string vyxFolderOf(const std::string& path);

// folder as vyxJoinPath wants it: "./" when null or empty, else with a "/" added unless
// it already ends in "/" or "\".
std::string vyxFolderPrefix(const char* folder);

// name as found from folder: "\" in name is taken as a folder separator (files written on
// Windows) and a name starting with "/" is used as it is.
std::string vyxJoinPath(const std::string& folder, const std::string& name);

// name as found from folder on the disk: as written when a file of that name exists
// (a "\" in it taken literally: files unpacked from some archives keep them), else as
// vyxJoinPath gives it when that exists, else that path matched without regard to case,
// one folder at a time (old files name their images in upper case, the disk may not).
// When nothing matches, the vyxJoinPath form, which the caller fails to open.
// When confinedTo is not empty, a file found that lies outside that folder once ".." and
// links are resolved is refused: one line on stderr names it and the result is "" (a
// file that does not exist is let through: opening it fails anyway). Any thread.
std::string vyxFindPath(const std::string& folder, const std::string& name, const std::string& confinedTo);
