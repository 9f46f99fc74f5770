#include "query.h"

#include <algorithm>

#include "tagaddress.h"

namespace exporter {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes form encoding. A '%' not followed by two hex digits is refused
// rather than passed on, so that a typo never names another module.
bool percentDecode(std::string_view in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            if (i + 2 >= in.size()) return false;
            int high = hexValue(in[i + 1]), low = hexValue(in[i + 2]);
            if (high < 0 || low < 0) return false;
            out.push_back(char(high * 16 + low));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return true;
}

bool addModule(const std::string& name, const QueryLimits& limits, ProbeQuery& query, std::string& reason) {
    if (name.empty()) {
        reason = "empty module parameter";
        return false;
    }
    if (std::ranges::find(query.modules, name) != query.modules.end()) return true;
    if (query.modules.size() >= limits.maxModules) {
        reason = "more than " + std::to_string(limits.maxModules) + " modules in one probe";
        return false;
    }
    query.modules.push_back(name);
    return true;
}

}  // namespace

bool parseTarget(std::string_view text, std::string& host, uint16_t& port, std::string& reason) {
    port = 0;
    tagaddress::Parsed p = tagaddress::parse(text, {.names = tagaddress::Names::Dns});
    switch (p.fault) {
    case tagaddress::Fault::None:
        host = std::move(p.host);
        port = p.port.value_or(0);
        return true;
    case tagaddress::Fault::NoCloseBracket:
        reason = "target must be [IPV6]:PORT with PORT from 1 to 65535";
        break;
    case tagaddress::Fault::BadPort:
        reason = p.bracketed ? "target must be [IPV6]:PORT with PORT from 1 to 65535"
                             : "target port must be a number from 1 to 65535";
        break;
    case tagaddress::Fault::NotIpv6: reason = "target must be an IPv6 address, bare or as [IPV6]:PORT"; break;
    default: reason = "target must be HOST[:PORT] with an IPv4 address or a host name, or [IPV6]:PORT";
    }
    return false;
}

bool parseProbeQuery(std::string_view raw, const QueryLimits& limits, ProbeQuery& query,
                     std::string& reason) {
    query = ProbeQuery{};
    if (raw.size() > limits.maxLength) {
        reason = "query longer than " + std::to_string(limits.maxLength) + " bytes";
        return false;
    }
    bool haveTarget = false;
    std::string key, value;
    while (!raw.empty()) {
        size_t amp = raw.find('&');
        std::string_view pair = raw.substr(0, amp);
        raw = amp == std::string_view::npos ? std::string_view() : raw.substr(amp + 1);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');
        if (!percentDecode(pair.substr(0, eq), key) ||
            !percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), value)) {
            reason = "malformed percent escape in the query";
            return false;
        }
        if (key == "target") {
            if (haveTarget) {
                reason = "more than one target parameter";
                return false;
            }
            haveTarget = true;
            if (!parseTarget(value, query.host, query.port, reason)) return false;
        } else if (key == "module") {
            if (!addModule(value, limits, query, reason)) return false;
        } else if (key == "debug") {
            if (value != "true" && value != "false") {
                reason = "debug must be true or false";
                return false;
            }
            query.debug = value == "true";
        } else {
            reason = "unknown query parameter \"" + key.substr(0, 64) + "\"";
            return false;
        }
    }
    if (!haveTarget) {
        reason = "target parameter is missing";
        return false;
    }
    if (query.modules.empty()) query.modules.emplace_back("device");
    return true;
}

}  // namespace exporter
