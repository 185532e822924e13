#include "scenefiles/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "util/escape.h"
#include "util/file.h"
#include "util/file_bundle.h"
#include "util/large_alloc.h"

static bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool vyxReadFileBytes(const char* path, const char* kind, std::string& bytes) {
    bool opened = false;
    std::string why = "no file name";
    const char* name = path ? path : "(no name)";
    bool read = path && vyxReadWholeFile(path, bytes, &opened, &why);
    if (!opened) {
        bytes.clear();
        std::fputs("Unable to open file.\n", stdout);
        std::fprintf(stderr, "vyx: cannot open %s %s: %s\n", kind, vyxEscapeText(name).c_str(), why.c_str());
        return false;
    }
    std::printf("Opened file %s\n", vyxEscapeText(name).c_str());
    if (!read) {
        std::fprintf(stderr, "vyx: cannot read %s %s: %s\n", kind, vyxEscapeText(name).c_str(), why.c_str());
        return false;
    }
    return true;
}

static void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 code units from start (high byte first when bigEndian) to UTF-8.
static std::string utf16ToUtf8(const std::string& bytes, size_t start, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unit = [&](size_t at) {
        uint32_t a = static_cast<unsigned char>(bytes[at]), b = static_cast<unsigned char>(bytes[at + 1]);
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    for (size_t at = start; at + 1 < bytes.size(); at += 2) {
        uint32_t code = unit(at);
        if (code >= 0xD800 && code < 0xDC00 && at + 3 < bytes.size()) {
            uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
                at += 2;
                continue;
            }
        }
        appendUtf8(out, code >= 0xD800 && code < 0xE000 ? 0xFFFD : code);
    }
    return out;
}

// How size bytes at data are encoded: 0 for UTF-8 (skip the first `start` bytes, a
// byte-order mark), 1 for UTF-16LE and 2 for UTF-16BE (their units begin at start).
static int detectEncoding(const char* data, size_t size, size_t& start) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(data);
    start = 0;
    if (size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        start = 3;
        return 0;
    }
    if (size >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        start = 2;
        return 1;
    }
    if (size >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        start = 2;
        return 2;
    }
    // Without a mark: OBJ and MTL text is nearly all ASCII, which UTF-16 stores with a
    // NUL in every second byte. Three quarters of the first 32 pairs must agree.
    size_t pairs = size / 2 < 32 ? size / 2 : 32;
    size_t oddZero = 0, evenZero = 0;
    for (size_t i = 0; i < pairs; ++i) {
        oddZero += b[2 * i] != 0 && b[2 * i + 1] == 0;
        evenZero += b[2 * i] == 0 && b[2 * i + 1] != 0;
    }
    if (pairs >= 2 && evenZero * 4 >= pairs * 3)
        return 2;
    if (pairs >= 2 && oddZero * 4 >= pairs * 3)
        return 1;
    return 0;
}

const char* vyxDecodeText(std::string& text) {
    size_t start = 0;
    const int encoding = detectEncoding(text.data(), text.size(), start);
    if (encoding == 0) {
        text.erase(0, start);
        return nullptr;
    }
    text = utf16ToUtf8(text, start, encoding == 2);
    return encoding == 2 ? "UTF-16BE" : "UTF-16LE";
}

// A mapped file that another program shortens while it is read would end the process
// (SIGBUS on the first page past the new end). The mappings being read are registered
// here; a fault inside one puts a page of zeros where the file's page was, marks the
// mapping changed and lets the read go on (zeros read as NUL bytes, which the readers
// skip), so that the reader can report the file as changed instead of crashing. A fault
// anywhere else goes to whatever handled SIGBUS before.
namespace {

const int kGuardSlots = 64;
struct GuardSlot {
    std::atomic<bool> taken{false};
    std::atomic<uintptr_t> begin{0}, end{0}; // an empty range while not guarding
    std::atomic<bool> changed{false};
};
GuardSlot guardSlots[kGuardSlots];
struct sigaction previousBusAction;
uintptr_t guardPage = 4096; // the page size, read before the handler is installed

void onBusError(int number, siginfo_t* info, void* context) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& slot : guardSlots) {
        if (address < slot.begin.load() || address >= slot.end.load())
            continue;
        void* at = reinterpret_cast<void*>(address / guardPage * guardPage);
        if (mmap(at, guardPage, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            slot.changed.store(true);
            return; // the read is tried again, on zeros
        }
        break;
    }
    if (previousBusAction.sa_flags & SA_SIGINFO) {
        if (previousBusAction.sa_sigaction) {
            previousBusAction.sa_sigaction(number, info, context);
            return;
        }
    } else if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
        previousBusAction.sa_handler(number);
        return;
    }
    // The default action: the faulting read is tried again and ends the process.
    ::signal(SIGBUS, SIG_DFL);
}

// The slot guarding [begin, begin + size), or -1 when every slot is taken (the mapping
// then goes unguarded, as before).
int guardMapping(const void* begin, size_t size) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        guardPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previousBusAction);
    });
    const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    for (int i = 0; i < kGuardSlots; ++i) {
        bool taken = false;
        if (guardSlots[i].taken.compare_exchange_strong(taken, true)) {
            guardSlots[i].changed.store(false);
            guardSlots[i].begin.store(start);
            guardSlots[i].end.store(start + size);
            return i;
        }
    }
    return -1;
}

void unguardMapping(int slot) {
    if (slot < 0)
        return;
    guardSlots[slot].end.store(0);
    guardSlots[slot].begin.store(0);
    guardSlots[slot].taken.store(false);
}

} // namespace

vyxTextBuffer::~vyxTextBuffer() {
    if (mapping) {
        unguardMapping(guardSlot);
        munmap(mapping, mappingSize);
    }
}

bool vyxTextBuffer::changedWhileRead() const { return guardSlot >= 0 && guardSlots[guardSlot].changed.load(); }

void vyxTextBuffer::adopt(std::string&& text) {
    if (mapping) {
        unguardMapping(guardSlot);
        guardSlot = -1;
        munmap(mapping, mappingSize);
    }
    mapping = nullptr;
    mappingSize = 0;
    owned = std::move(text);
    vyxDecodeText(owned);
    data = owned.data();
    size = owned.size();
}

void vyxTextBuffer::release(size_t from, size_t to) const {
    if (!mapping || from >= to)
        return;
    // Clean pages of a private file mapping: dropping them loses nothing.
    vyxReleaseWholePages(data + from, data + to);
}

void vyxDecodeTextView(const char* data, size_t size, vyxTextBuffer& text) {
    size_t start = 0;
    const int encoding = size > 0 ? detectEncoding(data, size, start) : 0;
    if (encoding == 0) {
        text.data = data + start;
        text.size = size - start;
        return;
    }
    text.owned = utf16ToUtf8(std::string(data, size), start, encoding == 2);
    text.data = text.owned.data();
    text.size = text.owned.size();
}

// The file at path mapped read-only into text, decoded, with "Opened file" printed;
// false, printing nothing, when it is not a regular file that can be mapped.
static bool mapFile(const char* path, vyxTextBuffer& text) {
    if (!vyxFileProblem(path).empty())
        return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    void* mapping = MAP_FAILED;
    size_t size = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        size = static_cast<size_t>(info.st_size);
        // Populated up front: one call maps every page instead of one fault per few pages.
        mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    }
    close(fd);
    if (mapping == MAP_FAILED)
        return false;
    std::printf("Opened file %s\n", vyxEscapeText(path).c_str());
    text.mapping = mapping;
    text.mappingSize = size;
    text.guardSlot = guardMapping(mapping, size);
    madvise(mapping, size, MADV_SEQUENTIAL);
    vyxDecodeTextView(static_cast<const char*>(mapping), size, text);
    if (!text.owned.empty() || text.size == 0) {
        // Converted from UTF-16 (or nothing left): the mapping is no longer needed.
        unguardMapping(text.guardSlot);
        text.guardSlot = -1;
        munmap(mapping, size);
        text.mapping = nullptr;
        text.mappingSize = 0;
        if (text.owned.empty())
            text.data = nullptr;
    }
    return true;
}

bool vyxReadFileText(const char* path, const char* kind, vyxTextBuffer& text) {
    // A file bundle answers for the disk while it replays, and must see the read while
    // it records: both go the way of vyxReadFileBytes.
    vyxBundleEntry replayed;
    if (path && !vyxBundleRecording() && !vyxBundleLookup(BundleProblem, path, replayed) && mapFile(path, text))
        return true;
    std::string bytes;
    if (!vyxReadFileBytes(path, kind, bytes))
        return false;
    text.adopt(std::move(bytes));
    return true;
}

// The end of the physical line starting at offset, and where the one after it starts.
static size_t physicalLineEnd(const std::string& text, size_t offset, size_t& next) {
    size_t end = offset;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r')
        ++end;
    next = end;
    if (next < text.size())
        next += text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n' ? 2 : 1;
    return end;
}

bool vyxNextLine(vyxLineCursor& cursor, std::string& line) {
    const std::string& text = *cursor.text;
    while (cursor.offset < text.size()) {
        line.clear();
        cursor.lineNumber = cursor.nextLineNumber;
        bool binary = false;
        // Joins physical lines while one ends in a backslash.
        while (cursor.offset < text.size()) {
            size_t next;
            size_t end = physicalLineEnd(text, cursor.offset, next);
            binary |= std::memchr(text.data() + cursor.offset, '\0', end - cursor.offset) != nullptr;
            line.append(text, cursor.offset, end - cursor.offset);
            cursor.offset = next;
            ++cursor.nextLineNumber;
            if (line.empty() || line.back() != '\\' || next == end)
                break;
            line.back() = ' ';
        }
        if (binary) {
            ++cursor.binaryLines;
            continue;
        }
        for (size_t i = 0; i < line.size(); ++i)
            if (line[i] == '#' && (i == 0 || isSeparator(line[i - 1]))) {
                line.resize(i);
                break;
            }
        return true;
    }
    return false;
}

// Where the physical line starting at offset ends (before its line end, or at end),
// whether it holds a NUL byte, and where the one after it starts.
static size_t physicalLineEnd(const char* text, size_t offset, size_t end, size_t& next, bool& binary) {
    size_t at = offset;
    for (; at < end; ++at) {
        const char c = text[at];
        if (c == '\n' || c == '\r')
            break;
        binary |= c == '\0';
    }
    next = at;
    if (next < end)
        next += text[next] == '\r' && next + 1 < end && text[next + 1] == '\n' ? 2 : 1;
    return at;
}

bool vyxNextLineView(vyxLineView& cursor, std::string_view& line) {
    const char* text = cursor.text;
    while (cursor.offset < cursor.end) {
        cursor.lineStart = cursor.offset;
        cursor.lineNumber = cursor.nextLineNumber;
        bool binary = false;
        size_t next;
        size_t end = physicalLineEnd(text, cursor.offset, cursor.end, next, binary);
        ++cursor.nextLineNumber;
        // Joined while a physical line ends in a backslash and another line follows.
        if (end > cursor.offset && text[end - 1] == '\\' && next != end) {
            std::string& joined = cursor.joined;
            joined.assign(text + cursor.offset, end - cursor.offset);
            joined.back() = ' ';
            cursor.offset = next;
            while (cursor.offset < cursor.end) {
                end = physicalLineEnd(text, cursor.offset, cursor.end, next, binary);
                joined.append(text + cursor.offset, end - cursor.offset);
                cursor.offset = next;
                ++cursor.nextLineNumber;
                if (joined.back() != '\\' || next == end)
                    break;
                joined.back() = ' ';
            }
            line = std::string_view(joined);
        } else {
            line = std::string_view(text + cursor.offset, end - cursor.offset);
            cursor.offset = next;
        }
        if (binary) {
            ++cursor.binaryLines;
            continue;
        }
        // A "#" that starts a token ends the line's content.
        for (const char* hash = static_cast<const char*>(std::memchr(line.data(), '#', line.size())); hash;) {
            const size_t i = static_cast<size_t>(hash - line.data());
            if (i == 0 || isSeparator(line[i - 1])) {
                line = line.substr(0, i);
                break;
            }
            hash = static_cast<const char*>(std::memchr(hash + 1, '#', line.size() - i - 1));
        }
        return true;
    }
    return false;
}

void vyxReportSkippedLines(const vyxLineCursor& cursor, const char* path) {
    if (cursor.binaryLines > 0)
        std::fprintf(stderr, "vyx: %s: %ld line%s holding NUL bytes (not text) skipped\n", vyxEscapeText(path).c_str(),
                     cursor.binaryLines, cursor.binaryLines == 1 ? "" : "s");
}

int vyxNextToken(int start, const std::string& line, std::string& token) {
    if (start < 0) {
        return -1;
    }
    size_t position = static_cast<size_t>(start);
    while (position < line.size() && isSeparator(line[position])) {
        ++position;
    }
    if (position >= line.size()) {
        return -1;
    }
    size_t end = position;
    while (end < line.size() && !isSeparator(line[end])) {
        ++end;
    }
    if (end > static_cast<size_t>(INT_MAX)) {
        return -1;
    }
    token.assign(line, position, end - position);
    return static_cast<int>(end);
}

std::string vyxFolderOf(const std::string& path) {
    size_t last = path.find_last_of("/\\");
    if (last == std::string::npos) {
        return "./";
    }
    return path.substr(0, last + 1);
}

std::string vyxFolderPrefix(const char* folder) {
    std::string prefix = folder && *folder ? folder : "./";
    if (prefix.back() != '/' && prefix.back() != '\\')
        prefix += '/';
    return prefix;
}

std::string vyxJoinPath(const std::string& folder, const std::string& name) {
    std::string converted = name;
    for (char& c : converted)
        if (c == '\\')
            c = '/';
    if (!converted.empty() && converted[0] == '/')
        return converted;
    return folder + converted;
}

static bool pathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The entry of folder (with a final "/") whose name equals name but for case; "" when none.
static std::string entryIgnoringCase(const std::string& folder, const std::string& name) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return std::string();
    std::string found;
    while (dirent* entry = readdir(dir))
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    closedir(dir);
    return found;
}

// vyxFindPath on the disk itself.
static std::string findOnDisk(const std::string& folder, const std::string& name) {
    if (name.empty())
        return vyxJoinPath(folder, name);
    const std::string written = name[0] == '/' ? name : folder + name;
    if (name.find('\\') != std::string::npos && pathExists(written))
        return written;
    const std::string joined = vyxJoinPath(folder, name);
    if (pathExists(joined))
        return joined;
    // Walk the part below folder (all of an absolute name) one entry at a time.
    const bool absolute = joined.compare(0, folder.size(), folder) != 0;
    std::string found = absolute ? "/" : folder;
    const std::string rest = absolute ? joined.substr(1) : joined.substr(folder.size());
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        const std::string part = rest.substr(start, end - start);
        const bool last = end == rest.size();
        if (!part.empty()) {
            std::string entry = pathExists(found + part) ? part : entryIgnoringCase(found, part);
            if (entry.empty())
                return joined;
            found += entry + (last ? "" : "/");
        }
        start = end + 1;
    }
    return found;
}

// Whether path, once ".." and links are resolved, lies inside folder; one that does not
// exist counts as inside.
static bool liesInside(const std::string& path, const std::string& folder) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return errno == ENOENT || errno == ENOTDIR;
    std::string resolved = real;
    std::free(real);
    real = realpath(folder.c_str(), nullptr);
    if (real == nullptr)
        return false;
    std::string root = real;
    std::free(real);
    if (root.back() != '/')
        root += '/';
    return resolved.compare(0, root.size(), root) == 0;
}

std::string vyxFindPath(const std::string& folder, const std::string& name, const std::string& confinedTo) {
    // A process loading from a file bundle sees the disk of the process that recorded it.
    const std::string question = folder + "\n" + name;
    vyxBundleEntry entry;
    if (vyxBundleLookup(BundlePath, question, entry))
        return entry.ok ? entry.bytes : vyxJoinPath(folder, name);
    std::string found = findOnDisk(folder, name);
    if (!confinedTo.empty() && !liesInside(found, confinedTo)) {
        std::fprintf(stderr, "vyx: %s lies outside the model's folder %s; not read (--confine)\n",
                     vyxEscapeText(found).c_str(), vyxEscapeText(confinedTo).c_str());
        found.clear();
    }
    if (vyxBundleRecording()) {
        entry.ok = true;
        entry.bytes = found;
        vyxBundleRecord(BundlePath, question, entry);
    }
    return found;
}
