#include "basic_credentials.h"

#include <cstring>

namespace exporter {

namespace {

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// Standard base64 with or without its padding; false for anything else.
bool decodeBase64(std::string_view text, std::string& out) {
    size_t padding = 0;
    while (padding < 2 && text.size() > padding && text[text.size() - 1 - padding] == '=') ++padding;
    if (padding > 0 && text.size() % 4 != 0) return false;
    std::string_view digits = text.substr(0, text.size() - padding);
    if (digits.size() % 4 == 1) return false;
    uint32_t bits = 0;
    int held = 0;
    for (char c : digits) {
        int value = sextet(c);
        if (value < 0) return false;
        bits = (bits << 6) | uint32_t(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(char((bits >> held) & 0xFF));
        }
    }
    // The bits left over must be zero, so that one text means one value.
    return (bits & ((1U << held) - 1)) == 0;
}

}  // namespace

Credentials::~Credentials() {
    explicit_bzero(password.data(), password.size());
    explicit_bzero(user.data(), user.size());
}

bool parseBasicCredentials(std::string_view header, Credentials& credentials) {
    constexpr std::string_view SCHEME = "basic";
    if (header.size() <= SCHEME.size() || !isSpace(header[SCHEME.size()])) return false;
    for (size_t i = 0; i < SCHEME.size(); ++i)
        if ((header[i] | 0x20) != SCHEME[i]) return false;
    header.remove_prefix(SCHEME.size());
    while (!header.empty() && isSpace(header.front())) header.remove_prefix(1);
    while (!header.empty() && isSpace(header.back())) header.remove_suffix(1);
    std::string text;
    bool ok = !header.empty() && decodeBase64(header, text);
    size_t colon = text.find(':');
    ok = ok && colon != std::string::npos && text.find('\0') == std::string::npos;
    if (ok) {
        credentials.user.assign(text, 0, colon);
        credentials.password.assign(text, colon + 1);
    }
    explicit_bzero(text.data(), text.size());
    return ok;
}

}  // namespace exporter
