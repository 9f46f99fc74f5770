// A device's reply turned into metrics: whatever the datagram holds, the
// text is valid UTF-8 and every line is a HELP, a TYPE or one sample of a
// well-formed name, label set and value.
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "metrics_text.h"
#include "probe.h"
#include "vmsg.h"

namespace {

// name{label="escaped",...} value
bool validSample(std::string_view line) {
    size_t end = line.find_first_of("{ ");
    if (end == std::string_view::npos || !exporter::validMetricName(line.substr(0, end))) return false;
    size_t i = end;
    if (line[i] == '{') {
        while (line[i] != '}') {
            size_t eq = line.find("=\"", i + 1);
            if (eq == std::string_view::npos || !exporter::validMetricName(line.substr(i + 1, eq - i - 1)))
                return false;
            for (i = eq + 2; i < line.size() && line[i] != '"'; ++i)
                if (line[i] == '\\' && ++i >= line.size()) return false;
            if (++i >= line.size() || (line[i] != ',' && line[i] != '}')) return false;
        }
        ++i;
    }
    return i < line.size() && line[i] == ' ' && i + 1 < line.size() &&
           line.find(' ', i + 1) == std::string_view::npos;
}

// Strict UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool validUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char lead = byte(i);
        size_t length = lead < 0x80             ? 1
                        : (lead & 0xE0) == 0xC0 ? 2
                        : (lead & 0xF0) == 0xE0 ? 3
                        : (lead & 0xF8) == 0xF0 ? 4
                                                : 0;
        if (length == 0 || i + length > text.size()) return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65535) return 0;
    std::unique_ptr<VMsg> reply(VMsg::parseMsg(data, uint16_t(size)));
    if (!reply) return 0;
    std::string text = exporter::probeMetrics(reply.get(), true, 0.5);
    if (!validUtf8(text)) abort();
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t newline = rest.find('\n');
        if (newline == std::string_view::npos) abort();  // every line ends
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline + 1);
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) continue;
        if (!validSample(line)) abort();
    }
    return 0;
}
