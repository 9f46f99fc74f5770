// The modules file: loading never faults; it either yields modules that
// hold only known tags, or one "FILE:LINE: reason" line.
#include <cstdlib>
#include <string>
#include <string_view>

#include "config.h"
#include "tag_vocabulary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    exporter::Config config;
    std::string error;
    if (!exporter::parseConfig(text, "fuzz.yml", config, error)) {
        size_t digits = error.find_first_not_of("0123456789", 9);
        if (error.rfind("fuzz.yml:", 0) != 0 || digits == 9 || digits == std::string::npos ||
            error.compare(digits, 2, ": ") != 0)
            abort();
        return 0;
    }
    if (config.modules.empty()) abort();
    for (const auto& [name, module] : config.modules) {
        if (name.empty() || module.tags.empty() || module.port == 0 || !(module.timeoutSeconds > 0)) abort();
        for (uint8_t id : module.tags)
            if (!tagById(id)) abort();
    }
    return 0;
}
