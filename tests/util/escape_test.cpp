// Names and foreign text escaped for printing: nothing that moves the cursor, starts a
// line or talks to the terminal gets through, and valid UTF-8 is left as it is.

#include "util/escape.h"

#include <gtest/gtest.h>

#include <string>

TEST(EscapeText, ControlAndInvalidBytesAreEscapedValidTextKept) {
    using namespace std::string_literals;
    struct Case {
        std::string text, expected;
    } const cases[] = {
        {"", ""},
        {"models/venus\\stone.mtl", "models/venus\\stone.mtl"},
        {"a\nvyx: forged line", "a\\nvyx: forged line"},
        {"cr\r tab\t", "cr\\r tab\\t"},
        {"\x1b[2Jclear", "\\x1b[2Jclear"},
        {"nul\0byte"s, "nul\\x00byte"},
        {"del\x7f", "del\\x7f"},
        {"fbx \xff name", "fbx \\xff name"},
        {"caf\xc3\xa9 \xe6\xa8\xa1\xe5\x9e\x8b \xf0\x9f\x97\xbf \xc2\xa0",
         "caf\xc3\xa9 \xe6\xa8\xa1\xe5\x9e\x8b \xf0\x9f\x97\xbf \xc2\xa0"},
        {"c1 \xc2\x9b[31m", "c1 \\xc2\\x9b[31m"},
        {"overlong \xc0\xaf \xe0\x80\xaf", "overlong \\xc0\\xaf \\xe0\\x80\\xaf"},
        {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
        {"too high \xf4\x90\x80\x80", "too high \\xf4\\x90\\x80\\x80"},
        {"stray \x80 cut \xe6\xa8", "stray \\x80 cut \\xe6\\xa8"},
        {"cut then ascii \xe6\xa8z", "cut then ascii \\xe6\\xa8z"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vyxEscapeText(c.text), c.expected) << c.expected;
}
