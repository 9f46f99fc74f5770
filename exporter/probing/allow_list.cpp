#include "allow_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace exporter {

namespace {

bool parseNetwork(std::string_view entry, uint32_t& base, uint32_t& mask) {
    size_t slash = entry.find('/');
    std::string address(entry.substr(0, slash));
    unsigned prefix = 32;
    if (slash != std::string_view::npos) {
        std::string_view digits = entry.substr(slash + 1);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || prefix > 32)
            return false;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    base = ntohl(parsed.s_addr);
    return (base & ~mask) == 0;
}

// Whether the first bits of a and b are the same.
bool samePrefix(const in6_addr& a, const in6_addr& b, unsigned bits) {
    for (unsigned i = 0; i < 16; ++i, bits = bits >= 8 ? bits - 8 : 0) {
        if (bits == 0) return true;
        uint8_t mask = bits >= 8 ? 0xFF : uint8_t(0xFF << (8 - bits));
        if ((a.s6_addr[i] & mask) != (b.s6_addr[i] & mask)) return false;
    }
    return true;
}

bool parseNetwork6(std::string_view entry, in6_addr& base, unsigned& prefix) {
    size_t slash = entry.find('/');
    std::string address(entry.substr(0, slash));
    prefix = 128;
    if (slash != std::string_view::npos) {
        std::string_view digits = entry.substr(slash + 1);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || prefix > 128)
            return false;
    }
    if (inet_pton(AF_INET6, address.c_str(), &base) != 1) return false;
    // Host bits set: the entry is not the network it seems to be.
    in6_addr cleared = base;
    for (unsigned bit = prefix; bit < 128; ++bit) cleared.s6_addr[bit / 8] &= uint8_t(~(0x80U >> (bit % 8)));
    return memcmp(&cleared, &base, sizeof base) == 0;
}

}  // namespace

bool AllowList::parse(std::string_view text, std::string& reason) {
    networks.clear();
    networks6.clear();
    if (text.empty()) return true;
    for (size_t start = 0, comma = 0; comma != std::string_view::npos; start = comma + 1) {
        comma = text.find(',', start);
        std::string_view entry = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
        Network network{};
        Network6 network6{};
        if (parseNetwork(entry, network.base, network.mask)) {
            networks.push_back(network);
        } else if (parseNetwork6(entry, network6.base, network6.prefix)) {
            networks6.push_back(network6);
        } else {
            reason = "\"" + std::string(entry) +
                     "\" is not an IPv4 or IPv6 network ADDRESS[/PREFIX] without host bits";
            return false;
        }
    }
    return true;
}

bool AllowList::allows(const sockaddr_storage& address) const {
    if (empty()) return true;
    if (address.ss_family == AF_INET) return allows(reinterpret_cast<const sockaddr_in&>(address).sin_addr);
    if (address.ss_family != AF_INET6) return false;
    const in6_addr& six = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    // A mapped address reaches the IPv4 device: only an IPv4 network may let
    // it through, never an IPv6 entry such as ::/0.
    if (IN6_IS_ADDR_V4MAPPED(&six)) {
        in_addr four;
        memcpy(&four, six.s6_addr + 12, sizeof four);
        return allows(four);
    }
    return std::ranges::any_of(networks6,
                               [&](const Network6& n) { return samePrefix(six, n.base, n.prefix); });
}

bool AllowList::allows(in_addr address) const {
    if (empty()) return true;
    uint32_t host = ntohl(address.s_addr);
    return std::ranges::any_of(
        networks, [host](const Network& network) { return (host & network.mask) == network.base; });
}

}  // namespace exporter
