// The state file: reading never faults; it either refuses with one
// "FILE:LINE: reason" line (the state file's or its targets file's), or gives targets that each hold writable
// tags whose values fit one datagram.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "state_file.h"

// Whether the text is "NAME:LINE: reason" with a line from 1 (NAME, a path
// the fuzzer chose for targets_file, may hold anything but a line break).
bool faultLine(const std::string& e) {
    if (e.find('\n') != std::string::npos) return false;
    for (size_t colon = e.find(':'); colon != std::string::npos; colon = e.find(':', colon + 1)) {
        char* end = nullptr;
        unsigned long line = std::strtoul(e.c_str() + colon + 1, &end, 10);
        if (line > 0 && std::isdigit(static_cast<unsigned char>(e[colon + 1])) &&
            std::string_view(end).starts_with(": "))
            return true;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // A range may stand for 65534 targets: a few are enough for every path.
    if (std::count(text.begin(), text.end(), '/') > 4) return 0;
    // Any targets_file names the same small file, never the disk.
    tagconf::OpenFile open = [](const std::string&, std::string&) -> std::unique_ptr<std::istream> {
        return std::make_unique<std::istringstream>("10.0.0.9\n10.0.0.1:61000\n");
    };
    tagconf::State state;
    std::string error;
    if (!tagconf::parseState(text, "f.yml", 60000, open, state, error)) {
        if (!faultLine(error)) abort();
        if (!state.targets.empty()) abort();
        return 0;
    }
    if (state.targets.empty()) abort();
    for (const tagconf::TargetState& t : state.targets) {
        if (t.target.port == 0 || !t.tags) abort();
        size_t bytes = VMsg::encodedHeaderSize();
        for (const tagconf::DesiredTag& d : *t.tags) {
            if (d.entry->kind == TagKind::None || d.value->tagId != d.entry->id) abort();
            bytes += VMsg::encodedTagSize(d.value.get());
        }
        if (bytes > 1024) abort();
    }
    return 0;
}
