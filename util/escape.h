#pragma once
// Names and foreign text made safe to print: a file name, a name read from a model or
// the import library's message can hold any bytes, and printed raw a newline would start
// a line of its own ("vyx: ..." forged by a file name) and an escape sequence would reach
// the terminal.

#include <string>
#include <string_view>

// text with every byte that is not part of printable UTF-8 written as an escape: "\n",
// "\r" and "\t" for those three, "\x1b"-style lowercase hex for the other control bytes
// (below 0x20, 0x7f, and both bytes of the C1 controls U+0080 to U+009F) and for each byte
// of an invalid, overlong or surrogate sequence. Valid UTF-8 and backslashes pass
// unchanged. Any thread.
std::string vyxEscapeText(std::string_view text);
