// One of the engine's UDP sockets, one per address family: non-blocking,
// large receive buffer, and ICMP errors queued for reading (IP_RECVERR,
// IPV6_RECVERR), so that a closed port is known at once rather than after a
// time-out. Datagrams go out and come in by batches (sendmmsg, recvmmsg):
// one system call for up to BATCH of them.
#ifndef TAGENGINE_UDP_ENDPOINT_H
#define TAGENGINE_UDP_ENDPOINT_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace tagengine {

class UdpEndpoint {
public:
    // Datagrams per system call, each way.
    static constexpr size_t BATCH = 64;

    // family: AF_INET or AF_INET6 (IPv6 only: an IPv4 peer is the other
    // socket's). Throws std::system_error when the socket cannot be made.
    UdpEndpoint(int family, int receiveBuffer);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    int fd() const { return sock; }

    enum class SendOutcome { Sent, Busy, Failed };
    // Busy: the kernel has no room now, try later. Failed: errno says why.
    // One datagram of a batch to send; bytes must live until sendBatch returns.
    struct Outgoing {
        std::span<const uint8_t> bytes;
        const sockaddr_storage* to;
    };
    // Sends the batch's datagrams in order, up to BATCH per system call, and
    // returns how many went out. When that is fewer than all of them, outcome
    // says why the next one did not (Busy, or Failed with errno in error),
    // and nothing after it was sent; else outcome is Sent.
    size_t sendBatch(std::span<const Outgoing> batch, SendOutcome& outcome, int& error);

    // One datagram read from the socket. truncated: it was longer than the
    // buffer, and bytes holds only its start.
    struct Datagram {
        sockaddr_storage from;
        std::span<const uint8_t> bytes;
        bool truncated;
    };
    // Reads up to limit datagrams, BATCH per system call; returns how many
    // were read. Stops early when nothing more is waiting. Each datagram's
    // bytes live until take returns.
    size_t receive(size_t limit, const std::function<void(const Datagram&)>& take);

    // A port the kernel reported closed: the address the request went to,
    // and the start of the request it refused (empty if not returned).
    struct Refusal {
        sockaddr_storage to;
        std::span<const uint8_t> request;
    };
    // Reads the queued errors; only port-unreachable reports reach take.
    void receiveErrors(const std::function<void(const Refusal&)>& take);
    // Whether a read or a send since the last receiveErrors met an ICMP
    // error: the kernel hands one over that way when it queues a report.
    // A socket ready with nothing to read may hold one too.
    bool errorsReported() const { return errorReported; }

private:
    int family;
    int sock = -1;
    bool errorReported = false;
    // One byte more than any datagram of the protocol, so a longer one is
    // seen as truncated.
    static constexpr size_t SLOT = 1025;
    // A batch's datagrams, their senders and their headers, kept with the
    // socket so that reading allocates nothing.
    uint8_t buffers[BATCH][SLOT]{};
    sockaddr_storage senders[BATCH]{};
    iovec slots[BATCH]{};
    mmsghdr headers[BATCH]{};
};

}  // namespace tagengine

#endif
