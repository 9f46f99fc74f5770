#include "udp_endpoint.h"

#include <linux/errqueue.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tagengine {

UdpEndpoint::UdpEndpoint(int receiveBuffer) {
    sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) throw std::system_error(errno, std::generic_category(), "socket");
    // The forced size needs privilege; the plain one is capped by the
    // system's limit. Either is better than failing: a small buffer costs
    // retries under bursts, not correctness.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    int on = 1;
    if (setsockopt(sock, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) {
        int saved = errno;
        close(sock);
        throw std::system_error(saved, std::generic_category(), "IP_RECVERR");
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        int saved = errno;
        close(sock);
        throw std::system_error(saved, std::generic_category(), "bind");
    }
}

UdpEndpoint::~UdpEndpoint() { close(sock); }

UdpEndpoint::SendOutcome UdpEndpoint::send(std::span<const uint8_t> bytes, const sockaddr_in& to,
                                           int& error) {
    for (;;) {
        ssize_t n = sendto(sock, bytes.data(), bytes.size(), MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n >= 0) return SendOutcome::Sent;
        error = errno;
        // EINTR: try again. ECONNREFUSED here belongs to an earlier datagram
        // (its report is also in the error queue), not to this one.
        if (error == EINTR || error == ECONNREFUSED) continue;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) return SendOutcome::Busy;
        return SendOutcome::Failed;
    }
}

size_t UdpEndpoint::receive(size_t limit, const std::function<void(const Datagram&)>& take) {
    size_t count = 0;
    while (count < limit) {
        sockaddr_in from{};
        iovec io{buffer, sizeof buffer};
        msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        ssize_t n = recvmsg(sock, &m, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A pending ICMP report surfaces once as an error on the plain
            // read; the error queue holds its details.
            if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) continue;
            break;
        }
        ++count;
        bool truncated = (m.msg_flags & MSG_TRUNC) != 0 || size_t(n) >= sizeof buffer;
        size_t kept = size_t(n) < sizeof buffer ? size_t(n) : sizeof buffer;
        if (from.sin_family != AF_INET) continue;
        take(Datagram{from, std::span<const uint8_t>(buffer, kept), truncated});
    }
    return count;
}

void UdpEndpoint::receiveErrors(const std::function<void(const Refusal&)>& take) {
    for (;;) {
        sockaddr_in to{};
        iovec io{buffer, sizeof buffer};
        alignas(cmsghdr) uint8_t control[512];
        msghdr m{};
        m.msg_name = &to;
        m.msg_namelen = sizeof to;
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(sock, &m, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
            sock_extended_err ee;
            memcpy(&ee, CMSG_DATA(c), sizeof ee);
            if (ee.ee_origin == SO_EE_ORIGIN_ICMP && ee.ee_errno == ECONNREFUSED && to.sin_family == AF_INET)
                take(
                    Refusal{to, std::span<const uint8_t>(buffer, size_t(n) < sizeof buffer ? size_t(n) : 0)});
        }
    }
}

}  // namespace tagengine
