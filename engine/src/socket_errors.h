// What the kernel tells a UDP socket of ICMP errors, read alike by the
// engine's shared socket and a line's connected one.
#ifndef TAGENGINE_SOCKET_ERRORS_H
#define TAGENGINE_SOCKET_ERRORS_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace tagengine {

// The length of an address of the family, as bind, connect and sendto take it.
socklen_t addressLength(int family);

// An error by which the kernel says it has queued an ICMP report.
bool isIcmpError(int error);

// Reads the socket's queued error reports (IP_RECVERR, IPV6_RECVERR) without
// waiting, until none is left. For each ICMP or ICMPv6 port unreachable,
// take(to, length): the refused datagram was sent to `to`, and its first
// `length` bytes are at the start of room.
void drainPortUnreachables(int sock, std::span<uint8_t> room,
                           const std::function<void(const sockaddr_storage& to, size_t length)>& take);

}  // namespace tagengine

#endif
