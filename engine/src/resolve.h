// Host text to one address of either family.
#ifndef TAGENGINE_RESOLVE_H
#define TAGENGINE_RESOLVE_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tagengine {

// Fills to with the host's address and the port: an IPv4 or IPv6 literal
// is taken as it is without asking the resolver; a name gives its first
// IPv4 address, or its first IPv6 one when it has no IPv4 address (so a
// name that has both is reached as before IPv6 was spoken). An IPv4-mapped
// IPv6 address (::ffff:a.b.c.d) becomes the IPv4 address it stands for. On
// failure returns false and sets why.
bool resolveAddress(const std::string& host, uint16_t port, sockaddr_storage& to, std::string& why);

// Four decimal octets without leading zeros, exactly what inet_pton takes
// for AF_INET, read without it; false for anything else.
bool dottedQuad(std::string_view host, in_addr& address);

// An IPv4-mapped IPv6 address as its IPv4 address; any other left as it is.
void unmapIpv4(sockaddr_storage& address);

}  // namespace tagengine

#endif
