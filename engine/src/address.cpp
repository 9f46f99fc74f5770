// The one reader of address text, and the prefix arithmetic of blocks.
#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "resolve.h"
#include "tagaddress.h"

namespace tagaddress {

namespace {

constexpr size_t MAX_NAME_LENGTH = 253;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isControl(char c) { return uint8_t(c) < 0x20 || c == 0x7F; }

bool dnsCharacter(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == '_';
}

bool nameAllowed(std::string_view name, Names names) {
    if (names == Names::Printable) return std::ranges::none_of(name, isControl);
    return name.size() <= MAX_NAME_LENGTH && std::ranges::all_of(name, dnsCharacter);
}

bool fail(Parsed& p, Fault fault, std::string_view part) {
    p.fault = fault;
    p.part = part;
    return false;
}

// Digits alone, whole: from_chars takes no sign or space for an unsigned.
bool readNumber(std::string_view text, unsigned& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The port in text (from after its ':'); false with the fault set.
bool takePort(std::string_view text, const Rules& rules, Parsed& p) {
    unsigned value = 0;
    if (!readNumber(text, value) || value > 65535 || (value == 0 && !rules.portZero))
        return fail(p, Fault::BadPort, text);
    p.port = uint16_t(value);
    return true;
}

void setIp(Parsed& p, const Ip& ip) {
    p.ip = ip;
    p.kind = ip.family == AF_INET6 ? Kind::Ipv6 : Kind::Ipv4;
}

// ADDRESS/N[:PORT]: the ':' of a port is the first after the '/', so a
// bare IPv6 base needs no brackets.
void parseRange(std::string_view text, size_t slash, const Rules& rules, Parsed& p) {
    size_t colon = text.find(':', slash);
    std::string_view address = text.substr(0, slash);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
        p.bracketed = true;
    }
    std::string_view prefix =
        text.substr(slash + 1, colon == std::string_view::npos ? colon : colon - slash - 1);
    if (colon != std::string_view::npos && !takePort(text.substr(colon + 1), rules, p)) return;
    if (rules.needPort && !p.port) {
        fail(p, Fault::NoPort, text);
        return;
    }
    Ip ip;
    if (!parseIp(address, ip)) {
        fail(p, Fault::NotAddress, address);
        return;
    }
    p.host = address;
    setIp(p, ip);  // a fault in the prefix is worded by the family
    unsigned bits = 0;
    if (prefix.size() > 3 || !readNumber(prefix, bits) || bits > ip.bits()) {
        fail(p, Fault::BadPrefix, prefix);
        return;
    }
    p.prefix = bits;
}

// [IPV6] or [IPV6]:PORT.
void parseBracketed(std::string_view text, const Rules& rules, Parsed& p) {
    size_t close = text.find(']');
    if (close == std::string_view::npos) {
        fail(p, Fault::NoCloseBracket, text);
        return;
    }
    p.bracketed = true;
    std::string_view address = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
        if (rest.front() != ':') {
            fail(p, Fault::BadPort, rest);
            return;
        }
        if (!takePort(rest.substr(1), rules, p)) return;
    }
    if (rules.needPort && !p.port) {
        fail(p, Fault::NoPort, text);
        return;
    }
    Ip ip;
    if (!parseIp(address, ip) || ip.family != AF_INET6) {
        fail(p, Fault::NotIpv6, address);
        return;
    }
    p.host = address;
    setIp(p, ip);
}

// More than one ':' and no bracket: an IPv6 address, whose last group
// could not be told from a port.
void parseBare(std::string_view text, const Rules& rules, Parsed& p) {
    if (rules.needPort) {
        fail(p, Fault::NoPort, text);
        return;
    }
    Ip ip;
    if (!parseIp(text, ip) || ip.family != AF_INET6) {
        fail(p, Fault::NotIpv6, text);
        return;
    }
    p.host = text;
    setIp(p, ip);
}

// More than one ':' anywhere: searched for, not counted through the whole
// text, as every line of a fleet's file is asked this.
bool hasTwoColons(std::string_view text) {
    size_t first = text.find(':');
    return first != std::string_view::npos && text.find(':', first + 1) != std::string_view::npos;
}

// HOST or HOST:PORT, HOST a name or an IPv4 address.
void parseHost(std::string_view text, const Rules& rules, Parsed& p) {
    size_t colon = text.find(':');
    std::string_view host = text.substr(0, colon);
    if (colon != std::string_view::npos && !takePort(text.substr(colon + 1), rules, p)) return;
    if (rules.needPort && !p.port) {
        fail(p, Fault::NoPort, text);
        return;
    }
    p.host = host;
    if (host.empty()) {
        if (!rules.emptyHost) fail(p, Fault::NoHost, host);
        return;
    }
    Ip ip;
    if (parseIp(host, ip) && ip.family == AF_INET) {
        setIp(p, ip);
        return;
    }
    if (!nameAllowed(host, rules.names)) fail(p, Fault::BadName, host);
}

}  // namespace

bool parseIp(std::string_view text, Ip& ip) {
    // inet_pton reads up to a NUL: "::1\0junk" must not pass as ::1.
    if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) return false;
    ip = Ip{};
    in_addr four;
    if (tagengine::dottedQuad(text, four)) {
        memcpy(ip.bytes.data(), &four, sizeof four);
        ip.family = AF_INET;
        return true;
    }
    char literal[INET6_ADDRSTRLEN];
    memcpy(literal, text.data(), text.size());
    literal[text.size()] = '\0';
    ip = Ip{};
    if (inet_pton(AF_INET, literal, ip.bytes.data()) == 1) {
        ip.family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, literal, ip.bytes.data()) == 1) {
        ip.family = AF_INET6;
        return true;
    }
    ip = Ip{};
    return false;
}

std::string ipText(const Ip& ip) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(ip.family, ip.bytes.data(), text, sizeof text);
    return text;
}

sockaddr_storage socketAddress(const Ip& ip, uint16_t port) {
    sockaddr_storage storage{};
    if (ip.family == AF_INET6) {
        sockaddr_in6 six{};
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(port);
        memcpy(&six.sin6_addr, ip.bytes.data(), 16);
        memcpy(&storage, &six, sizeof six);
    } else {
        sockaddr_in four{};
        four.sin_family = AF_INET;
        four.sin_port = htons(port);
        memcpy(&four.sin_addr, ip.bytes.data(), 4);
        memcpy(&storage, &four, sizeof four);
    }
    return storage;
}

Ip ipOf(const sockaddr_storage& address) {
    Ip ip;
    if (address.ss_family == AF_INET) {
        ip.family = AF_INET;
        memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    } else if (address.ss_family == AF_INET6) {
        ip.family = AF_INET6;
        memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
    }
    return ip;
}

Network masked(Network n) {
    for (unsigned byte = n.prefix / 8; byte < n.base.bits() / 8; ++byte) {
        unsigned kept = byte == n.prefix / 8 ? n.prefix % 8 : 0;
        n.base.bytes[byte] &= uint8_t(0xFF00 >> kept);
    }
    return n;
}

bool hostBitsClear(const Network& n) { return masked(n).base == n.base; }

bool contains(const Network& n, const Ip& ip) {
    return ip.family == n.base.family && masked(Network{ip, n.prefix}).base == masked(n).base;
}

Ip nth(const Network& n, uint64_t index) {
    Ip ip = masked(n).base;
    // The index lies within the host bits: added from the last byte up, it
    // never carries into the prefix.
    for (unsigned byte = ip.bits() / 8; byte-- > 0 && index != 0; index >>= 8) {
        unsigned sum = ip.bytes[byte] + unsigned(index & 0xFF);
        ip.bytes[byte] = uint8_t(sum);
        index += uint64_t(sum >> 8) << 8;  // the carry, into the next byte up
    }
    return ip;
}

Parsed parse(std::string_view text, const Rules& rules) {
    Parsed p;
    if (size_t slash = text.find('/'); rules.ranges && slash != std::string_view::npos)
        parseRange(text, slash, rules, p);
    else if (text.starts_with('['))
        parseBracketed(text, rules, p);
    else if (hasTwoColons(text))
        parseBare(text, rules, p);
    else
        parseHost(text, rules, p);
    return p;
}

}  // namespace tagaddress
