// The Authorization header of basic authentication: reading never faults;
// credentials read hold no NUL and a user without ':', and the header made
// again from them, in base64 with its padding, reads back the same.
#include <cstdlib>
#include <string>
#include <string_view>

#include "basic_credentials.h"

namespace {

std::string base64(const std::string& text) {
    static constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t bits = uint32_t(uint8_t(text[i])) << 16;
        if (i + 1 < text.size()) bits |= uint32_t(uint8_t(text[i + 1])) << 8;
        if (i + 2 < text.size()) bits |= uint8_t(text[i + 2]);
        out += DIGITS[(bits >> 18) & 63];
        out += DIGITS[(bits >> 12) & 63];
        out += i + 1 < text.size() ? DIGITS[(bits >> 6) & 63] : '=';
        out += i + 2 < text.size() ? DIGITS[bits & 63] : '=';
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view header(reinterpret_cast<const char*>(data), size);
    exporter::Credentials credentials;
    if (!exporter::parseBasicCredentials(header, credentials)) return 0;
    const std::string& user = credentials.user;
    const std::string& password = credentials.password;
    if (user.find(':') != std::string::npos || user.find('\0') != std::string::npos ||
        password.find('\0') != std::string::npos)
        abort();
    exporter::Credentials again;
    if (!exporter::parseBasicCredentials("Basic " + base64(user + ":" + password), again) ||
        again.user != user || again.password != password)
        abort();
    return 0;
}
