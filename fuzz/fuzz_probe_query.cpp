// The /probe query string and the allow-list flag: parsing never faults; an
// accepted query keeps its bounds and reads back the same once re-encoded.
#include <cstdlib>
#include <string>
#include <string_view>

#include "allow_list.h"
#include "query.h"

namespace {

std::string percentEncode(std::string_view text) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out.push_back('%');
        out.push_back(HEX[c >> 4]);
        out.push_back(HEX[c & 15]);
    }
    return out;
}

std::string reencode(const exporter::ProbeQuery& query) {
    // An IPv6 host takes its port only after brackets.
    bool v6 = query.host.find(':') != std::string::npos;
    std::string raw = "target=" + percentEncode(v6 && query.port ? "[" + query.host + "]" : query.host);
    if (query.port) raw += percentEncode(":" + std::to_string(query.port));
    for (const std::string& module : query.modules) raw += "&module=" + percentEncode(module);
    if (query.debug) raw += "&debug=true";
    return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    exporter::QueryLimits limits;
    limits.maxLength = 1024;
    limits.maxModules = 4;
    exporter::ProbeQuery query;
    std::string reason;
    if (!exporter::parseProbeQuery(raw, limits, query, reason)) {
        if (reason.empty()) abort();
    } else {
        if (query.modules.empty() || query.modules.size() > limits.maxModules) abort();
        if (query.host.empty() || query.host.size() > 253) abort();
        exporter::ProbeQuery again;
        limits.maxLength = 1 << 16;
        if (!exporter::parseProbeQuery(reencode(query), limits, again, reason)) abort();
        if (again.host != query.host || again.port != query.port || again.modules != query.modules ||
            again.debug != query.debug)
            abort();
    }
    exporter::AllowList list;
    if (!list.parse(raw, reason) && reason.empty()) abort();
    return 0;
}
