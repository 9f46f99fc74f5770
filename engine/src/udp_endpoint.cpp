#include "udp_endpoint.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "socket_errors.h"

namespace tagengine {

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
    if (bind(sock, reinterpret_cast<const sockaddr*>(&any), addressLength(family)) != 0) {
        int saved = errno;
        close(sock);
        throw std::system_error(saved, std::generic_category(), "bind");
    }
}

UdpEndpoint::~UdpEndpoint() { close(sock); }

size_t UdpEndpoint::sendBatch(std::span<const Outgoing> batch, SendOutcome& outcome, int& error) {
    mmsghdr out[BATCH]{};
    iovec io[BATCH]{};
    size_t done = 0;
    outcome = SendOutcome::Sent;
    while (done < batch.size()) {
        size_t count = std::min(batch.size() - done, BATCH);
        for (size_t i = 0; i < count; ++i) {
            const Outgoing& o = batch[done + i];
            io[i] = iovec{const_cast<uint8_t*>(o.bytes.data()), o.bytes.size()};
            out[i].msg_hdr = msghdr{};
            out[i].msg_hdr.msg_name = const_cast<sockaddr_storage*>(o.to);
            out[i].msg_hdr.msg_namelen = addressLength(family);
            out[i].msg_hdr.msg_iov = &io[i];
            out[i].msg_hdr.msg_iovlen = 1;
        }
        int n = sendmmsg(sock, out, unsigned(count), MSG_DONTWAIT);
        if (n > 0) {
            // A short count means the next datagram met an error, which the
            // next call reports (or it was passing, and that call sends it).
            done += size_t(n);
            continue;
        }
        error = errno;
        errorReported = errorReported || isIcmpError(error);
        // EINTR: try again. ECONNREFUSED here belongs to an earlier datagram
        // (its report is also in the error queue), not to this one.
        if (n == 0 || error == EINTR || error == ECONNREFUSED) continue;
        outcome = error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS ? SendOutcome::Busy
                                                                              : SendOutcome::Failed;
        break;
    }
    return done;
}

size_t UdpEndpoint::receive(size_t limit, const std::function<void(const Datagram&)>& take) {
    size_t count = 0;
    while (count < limit) {
        size_t want = std::min(limit - count, BATCH);
        for (size_t i = 0; i < want; ++i) {
            slots[i] = iovec{buffers[i], SLOT};
            headers[i].msg_hdr = msghdr{};
            headers[i].msg_hdr.msg_name = &senders[i];
            headers[i].msg_hdr.msg_namelen = sizeof senders[i];
            headers[i].msg_hdr.msg_iov = &slots[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(sock, headers, unsigned(want), MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            // A pending ICMP report surfaces once as an error on the plain
            // read; the error queue holds its details.
            if (n < 0 && isIcmpError(errno)) {
                errorReported = true;
                continue;
            }
            break;
        }
        count += size_t(n);
        for (int i = 0; i < n; ++i) {
            // With MSG_TRUNC the length is the datagram's, not what was kept.
            size_t length = headers[i].msg_len;
            bool truncated = (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || length >= SLOT;
            size_t kept = length < SLOT ? length : SLOT;
            if (senders[i].ss_family != family) continue;
            take(Datagram{senders[i], std::span<const uint8_t>(buffers[i], kept), truncated});
        }
        // Fewer than asked: the queue is empty, or an error stopped the
        // batch and waits for the next read (the socket stays readable).
        if (size_t(n) < want) break;
    }
    return count;
}

void UdpEndpoint::receiveErrors(const std::function<void(const Refusal&)>& take) {
    errorReported = false;
    drainPortUnreachables(sock, {buffers[0], SLOT}, [&](const sockaddr_storage& to, size_t length) {
        if (to.ss_family == family)
            take(Refusal{to, std::span<const uint8_t>(buffers[0], length < SLOT ? length : 0)});
    });
}

}  // namespace tagengine
