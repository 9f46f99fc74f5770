// Host text to one IPv4 address.
#ifndef TAGENGINE_RESOLVE_H
#define TAGENGINE_RESOLVE_H

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace tagengine {

// Fills to with the host's first IPv4 address and the port. A dotted quad
// is taken as it is without asking the resolver. On failure returns false
// and sets why.
bool resolveIpv4(const std::string& host, uint16_t port, sockaddr_in& to, std::string& why);

}  // namespace tagengine

#endif
