// The OBJ reader cuts a text into chunks read on several threads and then puts the
// model together in file order. Whatever the cut, the model and every message must be
// those of the text read in one piece; these tests compare the two on hand-written and
// generated texts, and the line walker over mapped bytes with the one over strings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "scenefiles/mtl.h"
#include "scenefiles/obj.h"
#include "scenefiles/text.h"
#include "tests/support/capture.h"
#include "tests/support/same_model.h"
#include "tests/support/scratch.h"
#include "util/parallel.h"

using namespace std::string_literals;

namespace {

// Puts the chunk size back to automatic when a test ends, whatever it checked.
struct ChunkBytes {
    explicit ChunkBytes(size_t bytes) { vyxSetObjChunkBytes(bytes); }
    ~ChunkBytes() { vyxSetObjChunkBytes(0); }
};

struct Loaded {
    vyxObjModel model;
    std::string out, err;
};

// The library every "mtllib" names, whatever its name.
const std::string libraryText = "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\n";

void readLibrary(vyxObjModel& model, const char* path, const char* folder, void*) {
    vyxLoadMtlFromText(model, libraryText.data(), libraryText.size(), path, folder);
}

Loaded loadInChunks(const std::string& text, size_t chunkBytes) {
    ChunkBytes chunks(chunkBytes);
    Loaded loaded;
    CapturedOutput output = capture([&] {
        vyxLoadObjFromText(text.data(), text.size(), "chunks.obj", nullptr, loaded.model, readLibrary, nullptr);
    });
    loaded.out = output.out;
    loaded.err = output.err;
    return loaded;
}

void expectSameModel(const Loaded& want, const Loaded& got, const std::string& what) {
    EXPECT_EQ(got.err, want.err) << what;
    EXPECT_EQ(got.out, want.out) << what;
    EXPECT_EQ(objtest::modelDifference(want.model, got.model), "") << what;
}

// Texts that exercise what a line means by what came before it, and the ways a line
// can end, be continued or be skipped.
const std::string handWritten[] = {
    ""s,
    "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf -3 -2 -1\nf 1 2 4\nv 1 1 0\nf 1 2 4\nf -1 -2 -3\n",
    "v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\nf 1 2 3\r\nf 1 2 \\\r\n3\r\nf 1 \\\n2 \\\r3\r",
    "v 0 0 0\rv 1 0 0\rv 0 1 0\rf 1 2 3\r\rf 3 2 1",
    "usemtl red\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nmtllib lib.mtl\nusemtl blue\nf 1 2 3\ng a\nf 3 2 1\n"
    "o b\nusemtl red\nf 1 2 3\ng a\nf 1 3 2\ng\nf 2 3 1\nusemtl nowhere\nf 1 2 3\n",
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.5 0.5 0\nf 1 2 5 3 4\nf 1 2 3 4\nf 1/1 2/2 3/3\nvt 0 0\n"
    "f 1/1 2/1 3/-1\nvn 0 0 1\nf 1//1 2//1 3//-1 4//1\nf 1/1/1 2/1/1 3/1/1\n",
    "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2\nf\nf 1 2 x\nf 1/2/3/4 2 3\nf 0 1 2\nf 1 2 2147483648\n"
    "f -2147483648 1 2\nf 1 2 +3\nf 1 2 3abc\nf //1 2 3\nf 1 2 99999999999999999999\n",
    "v 1 2 3 # comment\nv 4#5 6 7\n#v 8 9 10\nv \\\n 1 2 3\nv 1 2\nv\nvt 1\nvn 1 2 3 4\nvp 1\ns 1\n",
    "v 1 2 3\nv 1\0 2 3\nv 4 5 6\nf 1 2\0 3\nv 7 8 9\nf 1 2 3\n\\\n\\"s,
    "\\\n\\\nv 1 2 3\\",
    "v 0x1p3 inf -nan\nv 1e40 -1e-50 +2\nv .5 -.5 5.\nf 1 2 3\n",
};

// Random texts built from the lines above and their pieces.
std::string generatedText(std::mt19937& random) {
    static const std::string pieces[] = {"v 0 0 0",
                                         "v 1 0 0",
                                         "v 0 1 0",
                                         "v 1 1 1 # c",
                                         "vt 0.5 0.5",
                                         "vn 0 0 1",
                                         "f 1 2 3",
                                         "f -1 -2 -3",
                                         "f 1 2 3 4",
                                         "f 1/1 2/1 3/1",
                                         "f 1//1 2//1 3//1 4//1",
                                         "f 1/-1/-1 -2/1/1 -3/1/1",
                                         "f 3 9 1",
                                         "f 1 2",
                                         "f 1 2 x",
                                         "g a",
                                         "g b",
                                         "o a",
                                         "g",
                                         "usemtl red",
                                         "usemtl blue",
                                         "usemtl none",
                                         "mtllib lib.mtl",
                                         "# note",
                                         "",
                                         "f 1 2 \\",
                                         "v 1 2 \\",
                                         "\\",
                                         "v 1\0 2 3"s};
    const int pieceCount = static_cast<int>(std::size(pieces));
    static const char* const ends[] = {"\n", "\r\n", "\r", "\n"};
    std::string text;
    const int lines = std::uniform_int_distribution<int>(0, 60)(random);
    for (int i = 0; i < lines; ++i) {
        text += pieces[std::uniform_int_distribution<int>(0, pieceCount - 1)(random)];
        text += ends[std::uniform_int_distribution<int>(0, 3)(random)];
    }
    return text;
}

} // namespace

TEST(ObjChunks, ModelAndMessagesDoNotDependOnHowTheTextIsCut) {
    std::vector<std::string> texts(std::begin(handWritten), std::end(handWritten));
    std::mt19937 random(28);
    for (int i = 0; i < 300; ++i)
        texts.push_back(generatedText(random));
    const size_t cuts[] = {1, 3, 8, 29, 200};
    for (size_t t = 0; t < texts.size(); ++t) {
        const Loaded whole = loadInChunks(texts[t], size_t{1} << 30);
        for (size_t cut : cuts)
            expectSameModel(whole, loadInChunks(texts[t], cut),
                            "text " + std::to_string(t) + " in chunks of " + std::to_string(cut));
    }
}

TEST(ObjChunks, ReadFromInsideAParallelLoopAsOutside) {
    // The sample scene loads its model from a task of the worker pool, where the reader's
    // own loop runs on that one thread.
    std::mt19937 random(5);
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += generatedText(random);
    const Loaded outside = loadInChunks(text, 64);
    Loaded inside;
    vyxParallelFor(2, 0, [&](int i) {
        if (i == 0)
            inside = loadInChunks(text, 64);
    });
    expectSameModel(outside, inside, "nested");
}

TEST(ObjChunks, MappedFilesReadAsTheirBytes) {
    ScratchDir dir;
    std::string many;
    for (int i = 0; i < 150000; ++i)
        many += "v " + std::to_string(i) + " 0.5 1\nf " + std::to_string(i + 1) + " -1 1\n";
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"plain.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 4\n"},
        {"bom.obj", "\xEF\xBB\xBFv 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\nf 1 2 3\r\n"},
        {"utf16.obj", std::string("\xFF\xFEv\0 \0\x31\0 \0\x32\0 \0\x33\0\n\0f\0 \0\x31\0", 24)},
        {"empty.obj", ""},
        {"many.obj", many}, // several chunks on their own, whose records grow past 2 MB
    };
    for (const Case& c : cases) {
        const std::string path = dir.write(c.name, c.bytes);
        Loaded fromFile;
        CapturedOutput output = capture([&] { EXPECT_TRUE(vyxLoadObj(path.c_str(), fromFile.model)); });
        EXPECT_EQ(output.out, "Opened file " + path + "\n") << c.name;
        vyxObjModel fromText;
        CapturedOutput textOutput = capture(
            [&] { vyxLoadObjFromText(c.bytes.data(), c.bytes.size(), path.c_str(), dir.path().c_str(), fromText); });
        fromFile.err = output.err;
        Loaded want{fromText, "", textOutput.err};
        expectSameModel(want, fromFile, c.name);
    }
}

TEST(ObjLineView, GivesTheLinesOfTheStringWalker) {
    std::vector<std::string> texts = {"",        "a",           "a\n",          "a\r\nb\rc\n", "a\\\nb",
                                      "a\\",     "a\\\n",       "a\\\r\n\\\rb", "\\\n\\\n\\",  "a # b\n#c\nd#e f",
                                      "a\\\n#b", "x\\\n\0y\nz"s};
    // And random texts of the characters that matter.
    std::mt19937 random(3);
    const char alphabet[] = {'a', ' ', '\t', '\\', '\n', '\r', '#', '\0', 'v'};
    for (int i = 0; i < 2000; ++i) {
        std::string text;
        const int length = std::uniform_int_distribution<int>(0, 40)(random);
        for (int k = 0; k < length; ++k)
            text += alphabet[std::uniform_int_distribution<int>(0, sizeof alphabet - 1)(random)];
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        vyxLineCursor reference;
        reference.text = &text;
        vyxLineView view;
        view.text = text.data();
        view.end = text.size();
        std::string want;
        std::string_view got;
        for (;;) {
            const bool more = vyxNextLine(reference, want);
            ASSERT_EQ(vyxNextLineView(view, got), more) << testing::PrintToString(text);
            if (!more)
                break;
            EXPECT_EQ(std::string(got), want) << testing::PrintToString(text);
            EXPECT_EQ(view.lineNumber, reference.lineNumber) << testing::PrintToString(text);
        }
        EXPECT_EQ(view.binaryLines, reference.binaryLines) << testing::PrintToString(text);
        EXPECT_EQ(view.nextLineNumber, reference.nextLineNumber) << testing::PrintToString(text);
    }
}

// A mapped file that another program shortens while it is read: the pages past its new
// end read as zeros and the buffer says so, instead of the process ending on SIGBUS; a
// fault in a mapping nobody guards still ends the process as it would have.
TEST(ObjChunks, AFileShortenedWhileMappedIsReportedNotACrash) {
    ScratchDir dir;
    const std::string bytes(1 << 20, 'v');
    const std::string path = dir.write("shrinking.obj", bytes);
    {
        vyxTextBuffer text;
        capture([&] { ASSERT_TRUE(vyxReadFileText(path.c_str(), "model", text)); });
        ASSERT_NE(text.mapping, nullptr);
        EXPECT_FALSE(text.changedWhileRead());
        ASSERT_EQ(truncate(path.c_str(), 100), 0);
        size_t vs = 0;
        for (size_t i = 0; i < text.size; ++i)
            vs += text.data[i] == 'v';
        EXPECT_EQ(vs, size_t{100}) << "what the file still holds; the rest reads as zeros";
        EXPECT_TRUE(text.changedWhileRead());
    }
    // The reader's own answer to it.
    dir.write("shrinking.obj", bytes);
    vyxTextBuffer again;
    capture([&] { ASSERT_TRUE(vyxReadFileText(path.c_str(), "model", again)); });
    EXPECT_FALSE(again.changedWhileRead()) << "a new mapping starts unmarked";

    EXPECT_EXIT(
        {
            const int fd = open(path.c_str(), O_RDONLY);
            const char* raw = static_cast<const char*>(mmap(nullptr, bytes.size(), PROT_READ, MAP_PRIVATE, fd, 0));
            if (ftruncate(open(path.c_str(), O_WRONLY), 0) != 0)
                std::exit(3);
            std::exit(raw[bytes.size() - 1] == 'v' ? 4 : 5);
        },
        // Ended by the fault: by SIGBUS itself, or by a sanitizer's report of it.
        [](int status) {
            if (WIFSIGNALED(status))
                return true;
            const int code = WEXITSTATUS(status);
            return code != 0 && code != 3 && code != 4 && code != 5; // not one of the child's own ends
        },
        "");
}
