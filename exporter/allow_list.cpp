#include "allow_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

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

}  // namespace

bool AllowList::parse(std::string_view text, std::string& reason) {
    networks.clear();
    if (text.empty()) return true;
    for (size_t start = 0, comma = 0; comma != std::string_view::npos; start = comma + 1) {
        comma = text.find(',', start);
        std::string_view entry = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
        Network network{};
        if (!parseNetwork(entry, network.base, network.mask)) {
            reason =
                "\"" + std::string(entry) + "\" is not an IPv4 network ADDRESS[/PREFIX] without host bits";
            return false;
        }
        networks.push_back(network);
    }
    return true;
}

bool AllowList::allows(in_addr address) const {
    if (networks.empty()) return true;
    uint32_t host = ntohl(address.s_addr);
    return std::ranges::any_of(
        networks, [host](const Network& network) { return (host & network.mask) == network.base; });
}

}  // namespace exporter
