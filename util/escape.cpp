#include "util/escape.h"

#include <cstdint>

// Length of the valid UTF-8 sequence of two or more bytes starting at text[at], or 0
// when it is not one (a stray continuation byte, an overlong form, a surrogate, beyond
// U+10FFFF or cut short).
static size_t sequenceLength(std::string_view text, size_t at) {
    const uint8_t lead = static_cast<uint8_t>(text[at]);
    size_t length;
    uint8_t low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // overlong below U+0800
        high = lead == 0xED ? 0x9F : 0xBF; // surrogates U+D800 to U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;  // overlong below U+10000
        high = lead == 0xF4 ? 0x8F : 0xBF; // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    const uint8_t second = static_cast<uint8_t>(text[at + 1]);
    if (second < low || second > high)
        return 0;
    for (size_t k = 2; k < length; ++k)
        if ((static_cast<uint8_t>(text[at + k]) & 0xC0) != 0x80)
            return 0;
    return length;
}

static void appendHex(std::string& out, uint8_t byte) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
}

std::string vyxEscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const uint8_t byte = static_cast<uint8_t>(text[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
            ++at;
        } else if (byte == '\n' || byte == '\r' || byte == '\t') {
            out += byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\t";
            ++at;
        } else {
            const size_t length = byte >= 0x80 ? sequenceLength(text, at) : 0;
            // U+0080 to U+009F, the C1 controls: some terminals obey them as they do the
            // escape byte.
            const bool control = length == 2 && byte == 0xC2 && static_cast<uint8_t>(text[at + 1]) < 0xA0;
            if (length > 0 && !control) {
                out.append(text.substr(at, length));
                at += length;
            } else {
                for (const size_t end = at + (control ? 2 : 1); at < end; ++at)
                    appendHex(out, static_cast<uint8_t>(text[at]));
            }
        }
    }
    return out;
}
