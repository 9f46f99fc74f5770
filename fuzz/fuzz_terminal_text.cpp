// The escaping of text for terminals: whatever the bytes, what comes out is
// printable ASCII and well-formed UTF-8 past the C1 controls only, and text
// already so passes unchanged.
#include <cstdlib>
#include <string>
#include <string_view>

#include "terminal_text.h"

namespace {

// Whether the text is printable ASCII and UTF-8 sequences of U+00A0 or more.
bool safe(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            ++i;
            continue;
        }
        size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (length == 0 || c > 0xF4 || i + length > text.size()) return false;
        char32_t point = c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        static constexpr char32_t SMALLEST[] = {0, 0, 0xA0, 0x800, 0x10000};
        if (point < SMALLEST[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string shown = terminalSafe(text);
    if (!safe(shown)) abort();
    if (safe(text) && shown != text) abort();
    return 0;
}
