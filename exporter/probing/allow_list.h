// The networks probes may be sent to (--probe.allowed-targets).
#ifndef EXPORTER_ALLOW_LIST_H
#define EXPORTER_ALLOW_LIST_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

#include "tagaddress.h"

namespace exporter {

class AllowList {
public:
    // "10.0.0.0/8,127.0.0.1,fd00::/64,::1" (a bare address is a /32 or a
    // /128). False with the reason for a malformed entry or host bits set
    // beyond the prefix.
    bool parse(std::string_view text, std::string& reason);
    // Empty: every address is allowed.
    bool allows(in_addr address) const;
    // Either family; an IPv4-mapped IPv6 address (::ffff:a.b.c.d) is
    // judged as the IPv4 address it reaches, by the IPv4 networks alone.
    bool allows(const sockaddr_storage& address) const;
    bool empty() const { return networks.empty(); }

private:
    bool allows(const tagaddress::Ip& ip) const;

    std::vector<tagaddress::Network> networks;
};

}  // namespace exporter

#endif
