#include "udp_endpoint.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tagengine {

namespace {

socklen_t lengthOf(int family) { return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }

// Whether a queued error is an ICMP or ICMPv6 port unreachable.
bool isPortUnreachable(const cmsghdr& c) {
    bool v4 = c.cmsg_level == IPPROTO_IP && c.cmsg_type == IP_RECVERR;
    bool v6 = c.cmsg_level == IPPROTO_IPV6 && c.cmsg_type == IPV6_RECVERR;
    if (!v4 && !v6) return false;
    sock_extended_err ee;
    memcpy(&ee, CMSG_DATA(&c), sizeof ee);
    uint8_t origin = v4 ? SO_EE_ORIGIN_ICMP : SO_EE_ORIGIN_ICMP6;
    return ee.ee_origin == origin && ee.ee_errno == ECONNREFUSED;
}

}  // namespace

UdpEndpoint::UdpEndpoint(int family, int receiveBuffer) : family(family) {
    sock = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) throw std::system_error(errno, std::generic_category(), "socket");
    // The forced size needs privilege; the plain one is capped by the
    // system's limit. Either is better than failing: a small buffer costs
    // retries under bursts, not correctness.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    int on = 1;
    // IPv4 peers belong to the IPv4 socket alone: mapped addresses here
    // would give one device two keys.
    bool v6 = family == AF_INET6;
    if (v6 && setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        int saved = errno;
        close(sock);
        throw std::system_error(saved, std::generic_category(), "IPV6_V6ONLY");
    }
    if (setsockopt(sock, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVERR : IP_RECVERR, &on, sizeof on) !=
        0) {
        int saved = errno;
        close(sock);
        throw std::system_error(saved, std::generic_category(), v6 ? "IPV6_RECVERR" : "IP_RECVERR");
    }
    sockaddr_storage any{};
    any.ss_family = sa_family_t(family);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&any), lengthOf(family)) != 0) {
        int saved = errno;
        close(sock);
        throw std::system_error(saved, std::generic_category(), "bind");
    }
}

UdpEndpoint::~UdpEndpoint() { close(sock); }

UdpEndpoint::SendOutcome UdpEndpoint::send(std::span<const uint8_t> bytes, const sockaddr_storage& to,
                                           int& error) {
    for (;;) {
        ssize_t n = sendto(sock, bytes.data(), bytes.size(), MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr*>(&to), lengthOf(family));
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
        sockaddr_storage from{};
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
        if (from.ss_family != family) continue;
        take(Datagram{from, std::span<const uint8_t>(buffer, kept), truncated});
    }
    return count;
}

void UdpEndpoint::receiveErrors(const std::function<void(const Refusal&)>& take) {
    for (;;) {
        sockaddr_storage to{};
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
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (isPortUnreachable(*c) && to.ss_family == family)
                take(
                    Refusal{to, std::span<const uint8_t>(buffer, size_t(n) < sizeof buffer ? size_t(n) : 0)});
    }
}

}  // namespace tagengine
