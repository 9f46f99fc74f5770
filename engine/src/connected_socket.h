// A Line's socket: blocking, connected to one target, ICMP errors queued for
// reading (IP_RECVERR, IPV6_RECVERR). A connected socket sends without a
// route lookup per datagram, and a blocking receive with a time-out waits
// and reads in one system call.
#ifndef TAGENGINE_CONNECTED_SOCKET_H
#define TAGENGINE_CONNECTED_SOCKET_H

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace tagengine {

class ConnectedSocket {
public:
    ConnectedSocket() = default;
    ~ConnectedSocket();
    ConnectedSocket(const ConnectedSocket&) = delete;
    ConnectedSocket& operator=(const ConnectedSocket&) = delete;

    // Connected to the address (AF_INET or AF_INET6), the socket reopened
    // only when the family changes. Throws std::system_error when no socket
    // opens; false with why when it cannot connect (no route, say).
    bool connectTo(const sockaddr_storage& to, int receiveBuffer, std::string& why);

    // 0 when the datagram went out, else the errno (EINTR, ECONNREFUSED for a
    // report of an earlier datagram, ...).
    int send(std::span<const uint8_t> bytes);

    enum class Got { Datagram, TimeUp, Interrupted, IcmpReport, Failed };
    // Waits up to `wait` (at least a microsecond) for a datagram and reads
    // it into the buffer: bytes its length (longer than the buffer when it
    // was truncated), from its sender. IcmpReport: the kernel has queued an
    // ICMP error (read it with refusals). Failed: errno says why.
    Got receive(std::chrono::nanoseconds wait, std::span<uint8_t> buffer, size_t& bytes,
                sockaddr_storage& from);

    // The port-unreachable reports queued: for each, the start of the
    // datagram refused (empty if the kernel did not return it).
    void refusals(const std::function<void(std::span<const uint8_t>)>& take);

    const sockaddr_storage& peer() const { return connected; }

private:
    // The receive time-out the socket has, set only when it changes: the
    // wait asked, rounded down to a power of two milliseconds.
    bool setLook(std::chrono::nanoseconds wait);

    int sock = -1;
    int family = 0;
    sockaddr_storage connected{};
    std::chrono::nanoseconds look{0};
};

}  // namespace tagengine

#endif
