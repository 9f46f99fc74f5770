#include "yaml_text.h"

#include <algorithm>
#include <cstdint>

namespace tagconf {

namespace {

constexpr char HEX[] = "0123456789ABCDEF";
constexpr char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The code point starting at text[i] and its length in bytes; a byte that
// starts no well-formed sequence is returned as itself, length 1.
std::pair<uint32_t, size_t> codePoint(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 1;
    if (lead < 0x80 || lead > 0xF4 || length == 1 || i + length > text.size()) return {lead, 1};
    uint32_t point = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return {lead, 1};
        point = point << 6 | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < LEAST[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return {lead, 1};
    return {point, length};
}

// Characters a YAML reader may fold, drop or replace, or that would act on
// a terminal showing the file.
bool needsEscape(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0xFEFF ||
           (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

void appendHex(std::string& out, uint32_t value, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += HEX[(value >> shift) & 0xF];
}

int base64Digit(char c) {
    for (int i = 0; i < 64; ++i)
        if (BASE64[i] == c) return i;
    return -1;
}

}  // namespace

std::string yamlQuoted(std::string_view utf8) {
    std::string out = "\"";
    for (size_t i = 0; i < utf8.size();) {
        auto [c, length] = codePoint(utf8, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if ((length > 1 || c < 0x80) && !needsEscape(c)) {
            out.append(utf8.substr(i, length));
        } else if (c <= 0xFF) {
            // Also a lone byte that is not UTF-8: the caller's fault, kept visible.
            out += "\\x";
            appendHex(out, c, 2);
        } else if (c <= 0xFFFF) {
            out += "\\u";
            appendHex(out, c, 4);
        } else {
            out += "\\U";
            appendHex(out, c, 8);
        }
        i += length;
    }
    return out + "\"";
}

std::string base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? BASE64[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

std::optional<std::string> fromBase64(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') digits += c;
    if (digits.size() % 4 != 0) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 4) {
        bool last = i + 4 == digits.size();
        size_t pad = last ? (digits[i + 3] == '=') + (digits[i + 2] == '=') : 0;
        if (pad == 1 && digits[i + 2] == '=') return std::nullopt;  // "x=x=" and the like
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            int d = k < 4 - pad ? base64Digit(digits[i + k]) : 0;
            if (d < 0) return std::nullopt;
            group = group << 6 | uint32_t(d);
        }
        // Bits past the last byte must be zero, so that one text of bytes
        // has one spelling.
        if ((pad == 1 && (group & 0xFF)) || (pad == 2 && (group & 0xFFFF))) return std::nullopt;
        for (size_t k = 0; k < 3 - pad; ++k) out += char((group >> (16 - 8 * k)) & 0xFF);
    }
    return out;
}

}  // namespace tagconf
