// A key for a peer's address and port, either family: what a reply is
// matched by and sequence numbers are counted per.
#ifndef TAGENGINE_PEER_KEY_H
#define TAGENGINE_PEER_KEY_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace tagengine {

// The address as its 128 bits (an IPv4 one in its IPv4-mapped IPv6 form, so
// the two families never share a key by accident) and the port.
struct PeerKey {
    uint64_t high = 0;
    uint64_t low = 0;
    uint16_t port = 0;
    friend bool operator==(const PeerKey&, const PeerKey&) = default;
};

struct PeerKeyHash {
    size_t operator()(const PeerKey& k) const {
        uint64_t h = k.high * 0x9E3779B97F4A7C15ULL ^ k.low;
        h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ULL ^ k.port;
        return size_t(h ^ (h >> 32));
    }
};

// The key of an AF_INET or AF_INET6 address; an all-zero key for any other.
PeerKey peerKey(const sockaddr_storage& address);

}  // namespace tagengine

#endif
