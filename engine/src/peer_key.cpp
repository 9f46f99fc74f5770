#include "peer_key.h"

#include <netinet/in.h>

#include <cstring>

namespace tagengine {

namespace {

uint64_t bigEndian64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

PeerKey peerKey(const sockaddr_storage& address) {
    PeerKey key;
    if (address.ss_family == AF_INET) {
        sockaddr_in a;
        memcpy(&a, &address, sizeof a);
        key.low = (uint64_t(0xFFFF) << 32) | ntohl(a.sin_addr.s_addr);
        key.port = ntohs(a.sin_port);
    } else if (address.ss_family == AF_INET6) {
        sockaddr_in6 a;
        memcpy(&a, &address, sizeof a);
        key.high = bigEndian64(a.sin6_addr.s6_addr);
        key.low = bigEndian64(a.sin6_addr.s6_addr + 8);
        key.port = ntohs(a.sin6_port);
    }
    return key;
}

}  // namespace tagengine
