#include "query.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace exporter {

namespace {

constexpr size_t MAX_HOST_LENGTH = 253;

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

bool hostCharsValid(std::string_view host) {
    return std::ranges::all_of(host, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.';
    });
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

// The port after an IPv6 address in brackets: empty (the module's) or
// ":PORT".
bool parseBracketPort(std::string_view rest, uint16_t& port) {
    if (rest.empty()) return true;
    std::string_view digits = rest.substr(1);
    unsigned value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (rest.front() != ':' || digits.empty() || error != std::errc() ||
        end != digits.data() + digits.size() || value == 0 || value > 65535)
        return false;
    port = uint16_t(value);
    return true;
}

bool parseIpv6Target(std::string_view text, std::string& host, uint16_t& port, std::string& reason) {
    std::string_view address = text;
    if (text.starts_with('[')) {
        size_t close = text.find(']');
        address = text.substr(1, close == std::string_view::npos ? 0 : close - 1);
        if (close == std::string_view::npos || !parseBracketPort(text.substr(close + 1), port)) {
            reason = "target must be [IPV6]:PORT with PORT from 1 to 65535";
            return false;
        }
    }
    in6_addr parsed{};
    std::string literal(address.substr(0, INET6_ADDRSTRLEN));
    // A NUL would end the text inet_pton reads, leaving the rest unread but kept in the host.
    if (address.size() >= INET6_ADDRSTRLEN || address.find('\0') != std::string_view::npos ||
        inet_pton(AF_INET6, literal.c_str(), &parsed) != 1) {
        reason = "target must be an IPv6 address, bare or as [IPV6]:PORT";
        return false;
    }
    host = literal;
    return true;
}

}  // namespace

bool parseTarget(std::string_view text, std::string& host, uint16_t& port, std::string& reason) {
    port = 0;
    if (text.starts_with('[') || std::ranges::count(text, ':') > 1)
        return parseIpv6Target(text, host, port, reason);
    size_t colon = text.rfind(':');
    std::string_view name = text.substr(0, colon);
    if (colon != std::string_view::npos) {
        std::string_view digits = text.substr(colon + 1);
        unsigned value = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value == 0 ||
            value > 65535) {
            reason = "target port must be a number from 1 to 65535";
            return false;
        }
        port = uint16_t(value);
    }
    if (name.empty() || name.size() > MAX_HOST_LENGTH || !hostCharsValid(name)) {
        reason = "target must be HOST[:PORT] with an IPv4 address or a host name, or [IPV6]:PORT";
        return false;
    }
    host.assign(name);
    return true;
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
