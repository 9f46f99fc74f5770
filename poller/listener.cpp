#include "listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include "client_line.h"
#include "tagaddress.h"

namespace tagpoll {

namespace {

volatile sig_atomic_t stopping = 0;

void stop(int) { stopping = 1; }

// "[ADDRESS:]PORT" into an address: PORT alone (every IPv4 address),
// A.B.C.D:PORT or [IPV6]:PORT; port 0 lets the system choose.
bool parseListenAddress(const std::string& text, sockaddr_storage& a) {
    bool portOnly = text.find(':') == std::string::npos;
    tagaddress::Parsed p =
        tagaddress::parse(portOnly ? "0.0.0.0:" + text : text, {.needPort = true, .portZero = true});
    if (p.fault != tagaddress::Fault::None || p.kind == tagaddress::Kind::Name) return false;
    a = tagaddress::socketAddress(p.ip, *p.port);
    return true;
}

socklen_t lengthOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

class Socket {
public:
    explicit Socket(int family) : fd(socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

}  // namespace

int listen(const std::string& where, ResultWriter& writer) {
    sockaddr_storage address;
    if (!parseListenAddress(where, address)) {
        fprintf(stderr, "tagpoll: bad --listen \"%s\": PORT, A.B.C.D:PORT or [IPV6]:PORT\n", where.c_str());
        return 2;
    }
    Socket sock(address.ss_family);
    socklen_t length = sizeof address;
    if (sock.fd < 0 || bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), lengthOf(address)) != 0 ||
        getsockname(sock.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fprintf(stderr, "tagpoll: cannot listen on %s: %s\n", where.c_str(), strerror(errno));
        return 1;
    }
    // The signals stay blocked except inside ppoll, so one cannot slip in
    // between the check of stopping and the wait.
    struct sigaction action {};
    action.sa_handler = stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    fprintf(stderr, "tagpoll: listening on %s\n", tagengine::endpointText(address).c_str());
    writer.begin(true);
    fflush(stdout);

    uint8_t buffer[1025];
    while (!stopping) {
        pollfd readable{sock.fd, POLLIN, 0};
        if (ppoll(&readable, 1, nullptr, &waiting) <= 0) continue;
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(sock.fd, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) continue;
        // Longer than one datagram of the protocol: not a message.
        std::unique_ptr<VMsg> message(size_t(n) < sizeof buffer ? VMsg::parseMsg(buffer, uint16_t(n))
                                                                : nullptr);
        writer.event(from, message.get(), size_t(n));
    }
    sigprocmask(SIG_SETMASK, &waiting, nullptr);
    return 0;
}

}  // namespace tagpoll
