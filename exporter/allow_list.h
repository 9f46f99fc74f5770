// The networks probes may be sent to (--probe.allowed-targets).
#ifndef EXPORTER_ALLOW_LIST_H
#define EXPORTER_ALLOW_LIST_H

#include <netinet/in.h>

#include <string>
#include <string_view>
#include <vector>

namespace exporter {

class AllowList {
public:
    // "10.0.0.0/8,127.0.0.1" (a bare address is a /32). False with the
    // reason for a malformed entry or host bits set beyond the prefix.
    bool parse(std::string_view text, std::string& reason);
    // Empty: every address is allowed.
    bool allows(in_addr address) const;
    bool empty() const { return networks.empty(); }

private:
    struct Network {
        uint32_t base, mask;  // host byte order
    };
    std::vector<Network> networks;
};

}  // namespace exporter

#endif
