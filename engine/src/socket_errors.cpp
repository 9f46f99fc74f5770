#include "socket_errors.h"

#include <linux/errqueue.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace tagengine {

namespace {

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

socklen_t addressLength(int family) {
    return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool isIcmpError(int error) { return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH; }

void drainPortUnreachables(int sock, std::span<uint8_t> room,
                           const std::function<void(const sockaddr_storage& to, size_t length)>& take) {
    for (;;) {
        sockaddr_storage to{};
        iovec io{room.data(), room.size()};
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
            if (isPortUnreachable(*c)) take(to, size_t(n));
    }
}

}  // namespace tagengine
