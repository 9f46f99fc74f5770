// The query string of a /probe request: which device to ask and with which
// modules. Parsing is separate from the HTTP server so that it can be tested
// and fuzzed on its own.
#ifndef EXPORTER_QUERY_H
#define EXPORTER_QUERY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

constexpr uint16_t DEFAULT_DEVICE_PORT = 60000;

struct QueryLimits {
    size_t maxLength = 2048;  // bytes of the raw query string
    size_t maxModules = 8;    // module parameters in one probe
};

struct ProbeQuery {
    std::string host;                  // as written: an IPv4 or IPv6 address (no brackets) or a host name
    uint16_t port = 0;                 // 0: the module's port
    std::vector<std::string> modules;  // in order, without repeats; never empty
    bool debug = false;                // debug=true: the probe's log instead of its metrics
};

// Decodes "target=HOST[:PORT]&module=NAME&module=NAME&debug=true" (percent
// escapes, '+' as space). Exactly one target; module may repeat and defaults
// to "device"; debug is true or false. Returns false with a one-line reason for a client on any
// malformed, unknown, repeated or oversized part; query is then unspecified.
bool parseProbeQuery(std::string_view raw, const QueryLimits& limits, ProbeQuery& query, std::string& reason);

// Splits "HOST[:PORT]", "[IPV6]:PORT", "[IPV6]" or a bare IPv6 address.
// HOST must be a plausible host name or IPv4 address (letters, digits, '-',
// '.', '_'; at most 253 bytes), IPV6 an IPv6 address; PORT 1 to 65535.
bool parseTarget(std::string_view text, std::string& host, uint16_t& port, std::string& reason);

}  // namespace exporter

#endif
