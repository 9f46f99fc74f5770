#include "text_check.h"

#include <cstdint>
#include <cstdio>

namespace tagyaml {

namespace {

// The length of the UTF-8 sequence at the start of rest, or 0 when it is
// not one: cut short, overlong, a surrogate or past U+10FFFF.
size_t utf8Length(std::string_view rest) {
    auto byte = [&](size_t i) { return uint8_t(rest[i]); };
    uint8_t lead = byte(0);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || rest.size() < length) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    static constexpr uint32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < LEAST[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

std::string hexByte(uint8_t byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    return text;
}

}  // namespace

std::string textFault(std::string_view text, int& line) {
    line = 1;
    for (size_t i = 0; i < text.size();) {
        uint8_t byte = uint8_t(text[i]);
        if (byte == '\n') ++line;
        if (byte < 0x80) {
            if (byte == 0) return "a NUL byte, which YAML does not allow";
            // Tabs are refused whole: YAML allows them only in some places,
            // and the parser mishandles some of those (fuzzing found it
            // crashing on "? a:\t:"). No file of ours needs one: a text may
            // hold "\t" in double quotes, and save writes it so.
            if (byte == '\t')
                return "a tab: indent and separate with spaces (a text may hold \\t in double quotes)";
            if (byte < 0x20 && byte != '\n' && byte != '\r')
                return "control character " + hexByte(byte) + ", which YAML does not allow unescaped";
            ++i;
            continue;
        }
        size_t length = utf8Length(text.substr(i));
        if (length == 0) return "byte " + hexByte(byte) + " is not UTF-8";
        i += length;
    }
    return {};
}

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        uint8_t byte = uint8_t(c);
        if (byte < 0x20 || byte >= 0x7F)
            out += hexByte(byte);
        else
            out += c;
    }
    return out;
}

}  // namespace tagyaml
