#include "terminal_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

void escapeByte(std::string& out, unsigned char c) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    out += "\\x";
    out += DIGITS[c >> 4];
    out += DIGITS[c & 0xF];
}

// The length of the well-formed UTF-8 sequence at the start of text, 0 when
// it is not one: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t sequenceLength(std::string_view text, char32_t& point) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || text.size() < length) return 0;
    point = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        point = (point << 6) | (byte(i) & 0x3F);
    }
    static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < SMALLEST[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

bool isPrintableAscii(std::string_view text) {
    // Eight bytes a step: a line of a thousand costs a hundred and some.
    constexpr uint64_t ONES = 0x0101010101010101, HIGH = 0x8080808080808080;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t w;
        memcpy(&w, text.data() + i, 8);
        // With no high bit set, a byte below 0x20 or equal to 0x7F is one
        // that borrows when 0x20 is taken from it or 0x7F from it.
        uint64_t below = (w - 0x20 * ONES) & ~w & HIGH;
        uint64_t del = w ^ (0x7F * ONES);
        if ((w & HIGH) || below || ((del - ONES) & ~del & HIGH)) return false;
    }
    return std::all_of(text.begin() + i, text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        auto c = static_cast<unsigned char>(text[0]);
        size_t length = 1;
        char32_t point = 0;
        if (c >= 0x20 && c < 0x7F) {
            // A run of printable ASCII, the common case, goes in at once.
            while (length < text.size() && text[length] >= 0x20 && text[length] < 0x7F) ++length;
            out.append(text.substr(0, length));
        } else if (c >= 0x80 && (length = sequenceLength(text, point)) > 0 && point >= 0xA0) {
            out.append(text.substr(0, length));
        } else {
            // A control, or a C1 control written in UTF-8 (U+0080 to U+009F), or a byte that is not UTF-8.
            length = std::max<size_t>(length, 1);
            for (size_t i = 0; i < length; ++i) escapeByte(out, static_cast<unsigned char>(text[i]));
        }
        text.remove_prefix(length);
    }
    return out;
}
