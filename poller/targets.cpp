#include "targets.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <string_view>

namespace tagpoll {

namespace {

// Digits only, 1-65535.
bool parsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value == 0 || value > 65535) return false;
    port = uint16_t(value);
    return true;
}

bool asciiAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Letters, digits, '.', '-' and '_', as host names and dotted quads use.
bool validHost(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    return std::all_of(host.begin(), host.end(),
                       [](char c) { return asciiAlnum(c) || c == '.' || c == '-' || c == '_'; });
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A byte at a time, not a search of the set per byte: a fleet's file is
// this, line after line.
std::string trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// Text from the file as it may be shown on a terminal: bytes outside
// printable ASCII as \xNN.
std::string shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
    return out;
}

// Names are ASCII (validHost) and the tools never leave the "C" locale:
// only A-Z change.
std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
    return s;
}

// Reads one line into text, at most limit + 1 characters of it, so that a
// file without line ends (/dev/zero) cannot grow memory; false at the end.
// One getline per line into a buffer of limit + 2: the stream scans its
// own buffer for the line end instead of being asked for each character.
bool readBoundedLine(std::istream& in, std::vector<char>& buffer, std::string& text, size_t limit) {
    buffer.resize(limit + 2);
    in.getline(buffer.data(), std::streamsize(buffer.size()));
    auto taken = size_t(in.gcount());
    // A line end taken is counted but not stored; at the end of the file
    // there is none, and a line cut at the bound leaves the stream failed.
    bool ended = !in.eof() && !in.fail();
    text.assign(buffer.data(), ended ? taken - 1 : taken);
    return taken > 0;
}

// 0..most, digits only.
bool parsePrefix(const std::string& prefix, unsigned most, unsigned& bits) {
    auto parsed = std::from_chars(prefix.data(), prefix.data() + prefix.size(), bits);
    return !prefix.empty() && prefix.size() <= 3 && parsed.ptr == prefix.data() + prefix.size() &&
           std::all_of(prefix.begin(), prefix.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           bits <= most;
}

// The one spelling of an IPv6 address, so that duplicates are found however
// written; an IPv4-mapped one is the IPv4 address it stands for.
std::string canonical(const in6_addr& address) {
    char text[INET6_ADDRSTRLEN];
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        inet_ntop(AF_INET, address.s6_addr + 12, text, sizeof text);
        return text;
    }
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return text;
}

}  // namespace

std::string TargetList::whereText(const Origin& where) const {
    return sources[where.source] + ":" + std::to_string(where.line);
}

bool TargetList::fail(const std::string& where, const std::string& reason) {
    why = where + ": " + reason;
    return false;
}

bool TargetList::readStream(std::istream& in, const std::string& name) {
    std::string line;
    std::vector<char> buffer;
    size_t number = 0;
    while (readBoundedLine(in, buffer, line, MAX_LINE)) {
        ++number;
        if (line.size() > MAX_LINE)
            return fail(name + ":" + std::to_string(number),
                        "line longer than " + std::to_string(MAX_LINE) + " characters");
        if (!addEntry(line, name, number)) return false;
    }
    // A folder, or a read error part way, is not an empty list.
    if (in.bad()) return fail(name, "cannot be read");
    return true;
}

bool TargetList::addEntry(const std::string& text, const std::string& name, size_t line) {
    std::string entry = trim(std::string_view(text).substr(0, text.find('#')));
    if (entry.empty()) return true;
    if (sources.empty() || sources.back() != name) sources.push_back(name);
    Origin where{sources.size() - 1, line};
    if (std::any_of(entry.begin(), entry.end(), [](char c) { return c == ' ' || c == '\t'; }))
        return fail(where, "more than one target on a line");
    if (entry.find('/') != std::string::npos) return addRange(entry, where);
    if (entry.front() == '[' || std::count(entry.begin(), entry.end(), ':') > 1) return addIpv6(entry, where);

    size_t colon = entry.find(':');
    Target target{colon == std::string::npos ? entry : entry.substr(0, colon), defaultPort};
    if (colon != std::string::npos) {
        if (!parsePort(entry.substr(colon + 1), target.port))
            return fail(where, "bad port \"" + shown(entry.substr(colon + 1)) + "\" (1-65535)");
    }
    if (!validHost(target.host)) return fail(where, "bad host name \"" + shown(target.host) + "\"");
    return add(std::move(target), where);
}

bool TargetList::addIpv6(const std::string& entry, const Origin& where) {
    std::string address = entry;
    uint16_t port = defaultPort;
    if (entry.front() == '[') {
        size_t close = entry.find(']');
        if (close == std::string::npos)
            return fail(where, "bad target \"" + shown(entry) + "\": no ']' after the IPv6 address");
        address = entry.substr(1, close - 1);
        std::string rest = entry.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !parsePort(rest.substr(1), port)))
            return fail(where,
                        "bad port \"" + shown(rest.front() == ':' ? rest.substr(1) : rest) + "\" (1-65535)");
    }
    in6_addr parsed{};
    if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1)
        return fail(where, "bad IPv6 address \"" + shown(address) + "\"" +
                               (entry.front() == '[' ? "" : " (a port goes after [ADDRESS]:)"));
    return add(Target{canonical(parsed), port}, where);
}

bool TargetList::addRange(const std::string& text, const Origin& where) {
    size_t slash = text.find('/');
    size_t colon = text.find(':', slash);
    std::string address = text.substr(0, slash);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    std::string prefix =
        text.substr(slash + 1, colon == std::string::npos ? std::string::npos : colon - slash - 1);
    uint16_t port = defaultPort;
    if (colon != std::string::npos && !parsePort(text.substr(colon + 1), port))
        return fail(where, "bad port \"" + shown(text.substr(colon + 1)) + "\" (1-65535)");
    in6_addr base6{};
    if (inet_pton(AF_INET6, address.c_str(), &base6) == 1)
        return addIpv6Range(base6, text, prefix, port, where);
    in_addr base{};
    if (inet_pton(AF_INET, address.c_str(), &base) != 1)
        return fail(where, "bad range \"" + shown(text) + "\": not an IPv4 or IPv6 address before the '/'");
    unsigned bits = 0;
    if (!parsePrefix(prefix, 32, bits))
        return fail(where, "bad range \"" + shown(text) + "\": prefix length must be 0-32");
    uint64_t size = uint64_t(1) << (32 - bits);
    if (size > MAX_RANGE_ADDRESSES)
        return fail(where, "range too wide: " + std::to_string(size) + " addresses, at most " +
                               std::to_string(MAX_RANGE_ADDRESSES) + " (/16)");
    uint32_t first = ntohl(base.s_addr) & ~uint32_t(size - 1);
    // The network and broadcast addresses of a block are not devices; /31
    // and /32 have none.
    uint64_t skip = size >= 4 ? 1 : 0;
    for (uint64_t i = skip; i < size - skip; ++i) {
        in_addr a{htonl(uint32_t(first + i))};
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, dotted, sizeof dotted);
        if (!add(Target{dotted, port}, where)) return false;
    }
    return true;
}

bool TargetList::addIpv6Range(const in6_addr& base, const std::string& text, const std::string& prefix,
                              uint16_t port, const Origin& where) {
    unsigned bits = 0;
    if (!parsePrefix(prefix, 128, bits))
        return fail(where, "bad range \"" + shown(text) + "\": prefix length must be 0-128");
    unsigned hostBits = 128 - bits;
    if (hostBits > 16) {
        std::string count =
            hostBits < 64 ? std::to_string(uint64_t(1) << hostBits) : "2^" + std::to_string(hostBits);
        return fail(where, "range too wide: " + count + " addresses, at most " +
                               std::to_string(MAX_RANGE_ADDRESSES) + " (/112)");
    }
    // A /112 or narrower varies only the last 16 bits.
    uint32_t size = uint32_t(1) << hostBits;
    uint32_t first = ((uint32_t(base.s6_addr[14]) << 8) | base.s6_addr[15]) & ~(size - 1);
    // The block's first address is its subnet-router anycast address, not
    // a device; IPv6 has no broadcast address. /127 and /128 skip nothing.
    uint32_t skip = size >= 4 ? 1 : 0;
    for (uint32_t i = skip; i < size; ++i) {
        in6_addr a = base;
        a.s6_addr[14] = uint8_t((first + i) >> 8);
        a.s6_addr[15] = uint8_t(first + i);
        if (!add(Target{canonical(a), port}, where)) return false;
    }
    return true;
}

std::vector<Target> TargetList::release() {
    std::unordered_map<std::string, Origin>().swap(seen);
    std::vector<std::string>().swap(sources);
    std::vector<std::string>().swap(notes);
    return std::move(list);
}

std::string TargetList::whereOf(const Target& target) const {
    auto it = seen.find(lowered(target.label()));
    return it == seen.end() ? "" : whereText(it->second);
}

bool TargetList::add(Target target, const Origin& where) {
    std::string key = lowered(target.label());
    auto [it, fresh] = seen.emplace(std::move(key), where);
    if (!fresh) {
        notes.push_back(whereText(where) + ": " + target.label() + " duplicates " + whereText(it->second) +
                        ", polled once");
        return true;
    }
    if (list.size() >= MAX_TARGETS)
        return fail(where, "more than " + std::to_string(MAX_TARGETS) + " targets");
    list.push_back(std::move(target));
    return true;
}

}  // namespace tagpoll
