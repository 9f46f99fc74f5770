#include "resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "tagengine.h"

namespace tagengine {

namespace {

void setPort(sockaddr_storage& a, uint16_t port) {
    if (a.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(a).sin_port = htons(port);
    if (a.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(port);
}

// The first answer of the family, or null.
const addrinfo* firstOf(const addrinfo* list, int family) {
    for (const addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == family) return a;
    return nullptr;
}

bool lookUp(const std::string& host, int flags, uint16_t port, sockaddr_storage& to, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    bool chosen = rc == 0 && chooseAddress(found, port, to);
    if (!chosen) why = rc != 0 ? gai_strerror(rc) : "no IPv4 or IPv6 address";
    if (found) freeaddrinfo(found);
    return chosen;
}

}  // namespace

void unmapIpv4(sockaddr_storage& address) {
    if (address.ss_family != AF_INET6) return;
    sockaddr_in6 six;
    memcpy(&six, &address, sizeof six);
    if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) return;
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = six.sin6_port;
    memcpy(&four.sin_addr, six.sin6_addr.s6_addr + 12, sizeof four.sin_addr);
    address = sockaddr_storage{};
    memcpy(&address, &four, sizeof four);
}

bool chooseAddress(const addrinfo* answers, uint16_t port, sockaddr_storage& to) {
    const addrinfo* chosen = firstOf(answers, AF_INET);
    if (!chosen) chosen = firstOf(answers, AF_INET6);
    if (!chosen) return false;
    to = sockaddr_storage{};
    memcpy(&to, chosen->ai_addr, chosen->ai_addrlen);
    unmapIpv4(to);
    setPort(to, port);
    return true;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// Read at a fraction of inet_pton's cost: a host is read once per exchange.
bool dottedQuad(std::string_view host, in_addr& address) {
    const char* p = host.data();
    const char* end = p + host.size();
    uint32_t value = 0;
    for (int octets = 1;; ++octets) {
        if (p == end || !isDigit(*p)) return false;
        if (*p == '0' && p + 1 != end && isDigit(p[1])) return false;
        unsigned octet = 0;
        for (; p != end && isDigit(*p); ++p) {
            octet = octet * 10 + unsigned(*p - '0');
            if (octet > 255) return false;
        }
        value = value << 8 | octet;
        if (octets == 4) {
            if (p != end) return false;
            address.s_addr = htonl(value);
            return true;
        }
        if (p == end || *p != '.') return false;
        ++p;
    }
}

namespace {

// A literal in its one strict form, as inet_pton reads it: a fleet of
// addresses costs no call into the resolver's machinery at all.
bool strictLiteral(const std::string& host, uint16_t port, sockaddr_storage& to) {
    sockaddr_in four{};
    if (dottedQuad(host, four.sin_addr) || inet_pton(AF_INET, host.c_str(), &four.sin_addr) == 1) {
        four.sin_family = AF_INET;
        memcpy(&to, &four, sizeof four);
    } else {
        sockaddr_in6 six{};
        if (inet_pton(AF_INET6, host.c_str(), &six.sin6_addr) != 1) return false;
        six.sin6_family = AF_INET6;
        memcpy(&to, &six, sizeof six);
        unmapIpv4(to);
    }
    setPort(to, port);
    return true;
}

}  // namespace

bool resolveAddress(const std::string& host, uint16_t port, sockaddr_storage& to, std::string& why) {
    to = sockaddr_storage{};
    // The C calls below would read only up to a NUL and reach another host.
    if (host.find('\0') != std::string::npos) {
        why = "the host holds a NUL byte";
        return false;
    }
    if (strictLiteral(host, port, to)) return true;
    // The system's other numeric forms next, without the resolver: numeric
    // hosts never wait on it.
    if (lookUp(host, AI_NUMERICHOST, port, to, why) || lookUp(host, 0, port, to, why)) return true;
    to = sockaddr_storage{};
    return false;
}

bool resolveHost(const std::string& host, uint16_t port, sockaddr_storage& to, std::string& why) {
    return resolveAddress(host, port, to, why);
}

std::string endpointText(const sockaddr_storage& given) {
    // A mapped address (from a dual-stack socket) is shown as the IPv4
    // address it stands for.
    sockaddr_storage address = given;
    unmapIpv4(address);
    char text[INET6_ADDRSTRLEN];
    if (address.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    return "";
}

}  // namespace tagengine
