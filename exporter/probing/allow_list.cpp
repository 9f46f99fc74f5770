#include "allow_list.h"

#include <algorithm>
#include <cstring>

namespace exporter {

namespace {

// ADDRESS[/PREFIX] of either family, without brackets or port; a bare
// address is the block of itself alone.
bool parseNetwork(std::string_view entry, tagaddress::Network& network) {
    tagaddress::Parsed p = tagaddress::parse(entry, {.ranges = true});
    if (p.fault != tagaddress::Fault::None || p.kind == tagaddress::Kind::Name || p.bracketed || p.port)
        return false;
    network = tagaddress::Network{p.ip, p.prefix.value_or(p.ip.bits())};
    // Host bits set: the entry is not the network it seems to be.
    return tagaddress::hostBitsClear(network);
}

}  // namespace

bool AllowList::parse(std::string_view text, std::string& reason) {
    networks.clear();
    if (text.empty()) return true;
    for (size_t start = 0, comma = 0; comma != std::string_view::npos; start = comma + 1) {
        comma = text.find(',', start);
        std::string_view entry = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
        tagaddress::Network network;
        if (!parseNetwork(entry, network)) {
            reason = "\"" + std::string(entry) +
                     "\" is not an IPv4 or IPv6 network ADDRESS[/PREFIX] without host bits";
            return false;
        }
        networks.push_back(network);
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
    return allows(tagaddress::ipOf(address));
}

bool AllowList::allows(in_addr address) const {
    tagaddress::Ip ip{AF_INET, {}};
    memcpy(ip.bytes.data(), &address, sizeof address);
    return allows(ip);
}

bool AllowList::allows(const tagaddress::Ip& ip) const {
    if (empty()) return true;
    return std::ranges::any_of(networks,
                               [&ip](const tagaddress::Network& n) { return tagaddress::contains(n, ip); });
}

}  // namespace exporter
