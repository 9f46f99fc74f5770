#include "connected_socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "socket_errors.h"

namespace tagengine {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// The longest receive time-out: a caller looks at its signals (a Ctrl-C
// delivered to another thread) at least this often.
constexpr milliseconds LONGEST_LOOK{32};

[[noreturn]] void fail(int& sock, const char* what) {
    int saved = errno;
    close(sock);
    sock = -1;
    throw std::system_error(saved, std::generic_category(), what);
}

}  // namespace

ConnectedSocket::~ConnectedSocket() {
    if (sock >= 0) close(sock);
}

bool ConnectedSocket::connectTo(const sockaddr_storage& to, int receiveBuffer, std::string& why) {
    if (sock >= 0 && family == to.ss_family) {
        if (memcmp(&connected, &to, addressLength(family)) == 0) return true;
    } else {
        if (sock >= 0) close(sock);
        family = to.ss_family;
        look = nanoseconds(0);
        sock = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0) throw std::system_error(errno, std::generic_category(), "socket");
        // As the engine's sockets: a large buffer for long replies' segments.
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        int on = 1;
        bool v6 = family == AF_INET6;
        if (v6 && setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) fail(sock, "IPV6_V6ONLY");
        if (setsockopt(sock, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVERR : IP_RECVERR, &on,
                       sizeof on) != 0)
            fail(sock, v6 ? "IPV6_RECVERR" : "IP_RECVERR");
    }
    connected = sockaddr_storage{};
    if (connect(sock, reinterpret_cast<const sockaddr*>(&to), addressLength(family)) != 0) {
        why = strerror(errno);
        return false;
    }
    connected = to;
    // Reports about the last target are no business of this one's.
    refusals([](std::span<const uint8_t>) {});
    int pending = 0;
    socklen_t size = sizeof pending;
    getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &size);
    return true;
}

int ConnectedSocket::send(std::span<const uint8_t> bytes) {
    if (::send(sock, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size())) return 0;
    return errno;
}

bool ConnectedSocket::setLook(nanoseconds wait) {
    // Rounded down to a power of two so that waits a little apart (an
    // estimate moving by microseconds) keep one time-out: no system call to
    // change it on every exchange. The receive may then end early, and the
    // caller waits the rest.
    milliseconds want{1};
    while (want * 2 <= wait && want * 2 <= LONGEST_LOOK) want *= 2;
    if (want == look) return true;
    timeval tv{};
    tv.tv_sec = 0;
    tv.tv_usec = suseconds_t(std::chrono::microseconds(want).count());
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    look = want;
    return true;
}

ConnectedSocket::Got ConnectedSocket::receive(nanoseconds wait, std::span<uint8_t> buffer, size_t& bytes,
                                              sockaddr_storage& from) {
    int flags = MSG_TRUNC;
    // Under a millisecond (the end of a wait a receive left early) a poll:
    // a receive time-out of zero would wait for ever.
    if (wait < milliseconds(1) || !setLook(wait)) {
        pollfd p{sock, POLLIN, 0};
        int ms = int(std::chrono::ceil<milliseconds>(std::min<nanoseconds>(wait, LONGEST_LOOK)).count());
        int n = poll(&p, 1, ms);
        if (n < 0) return errno == EINTR ? Got::Interrupted : Got::Failed;
        if (n == 0) return Got::TimeUp;
        flags |= MSG_DONTWAIT;
    }
    socklen_t size = sizeof from;
    ssize_t n =
        recvfrom(sock, buffer.data(), buffer.size(), flags, reinterpret_cast<sockaddr*>(&from), &size);
    if (n >= 0) {
        bytes = size_t(n);
        return Got::Datagram;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Got::TimeUp;
    if (errno == EINTR) return Got::Interrupted;
    return isIcmpError(errno) ? Got::IcmpReport : Got::Failed;
}

void ConnectedSocket::refusals(const std::function<void(std::span<const uint8_t>)>& take) {
    uint8_t start[16];
    drainPortUnreachables(sock, start, [&](const sockaddr_storage&, size_t length) {
        take(std::span<const uint8_t>(start, std::min(length, sizeof start)));
    });
}

}  // namespace tagengine
