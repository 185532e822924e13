#pragma once
// The text of OBJ and MTL files: read whole, decoded to UTF-8, and walked as logical
// lines (any line end, backslash continuations joined, comments cut). Shared by both
// readers; nothing here keeps state between calls.

#include <cstddef>
#include <string>
#include <string_view>

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

// Text to be read, decoded as vyxDecodeText decodes it: the bytes of a file mapped
// read-only from the disk where that works (a large model is then neither copied nor
// given fresh pages), else a string of its own. Not copyable; unmaps when destroyed.
struct vyxTextBuffer {
    const char* data = nullptr; // the decoded text, size bytes (not NUL-terminated)
    size_t size = 0;
    std::string owned;       // holds the text when it is not mapped
    void* mapping = nullptr; // the file's mapping, or null
    size_t mappingSize = 0;
    int guardSlot = -1; // the mapping's entry among those guarded against shrinking files

    vyxTextBuffer() = default;
    vyxTextBuffer(const vyxTextBuffer&) = delete;
    vyxTextBuffer& operator=(const vyxTextBuffer&) = delete;
    ~vyxTextBuffer();

    // Takes text as it is (moved in) and decodes it.
    void adopt(std::string&& text);
    // Says that bytes [from, to) of the text are not needed for now: the whole pages of a
    // mapping among them leave the process's memory at once (read again, they come back
    // from the file). Nothing for owned text.
    void release(size_t from, size_t to) const;
    // True when the mapped file was shortened while it was read: the pages past its new
    // end read as zeros (instead of ending the process), so what was read is not the
    // file's text.
    bool changedWhileRead() const;
};

// vyxReadFileBytes into text, decoded: the same messages, the same result, but a regular
// file on the disk is mapped instead of read (while a file bundle records or replays,
// or when mapping fails, it is read as vyxReadFileBytes reads it).
bool vyxReadFileText(const char* path, const char* kind, vyxTextBuffer& text);

// size bytes at data as vyxDecodeText would decode them: text is left pointing into the
// bytes themselves (past a UTF-8 byte-order mark) when they need no conversion, else it
// owns the converted text.
void vyxDecodeTextView(const char* data, size_t size, vyxTextBuffer& text);

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

// vyxNextLine over bytes that stay put, without copying a line that needs no joining.
// Set text and end (the walk stops there; it must be the end of the text or follow a
// line end that no backslash continues) and offset; the numbers start as below.
struct vyxLineView {
    const char* text = nullptr; // not owned
    size_t end = 0;             // where the walk stops
    size_t offset = 0;          // where the next line starts
    size_t lineStart = 0;       // derived: where the last returned line starts
    long lineNumber = 0;        // derived: 1-based line on which the last returned line starts
    long nextLineNumber = 1;    // derived
    long binaryLines = 0;       // derived: lines skipped because they hold NUL bytes
    std::string joined;         // derived: holds lines joined by backslashes
};

// The next logical line as vyxNextLine gives it, into line, which points into the text
// or into cursor.joined until the next call. False at the end.
bool vyxNextLineView(vyxLineView& cursor, std::string_view& line);

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
