// Load for bench/exporter_slow_clients.sh, on loopback only.
//   slow_clients idle|trickle SOURCE_ADDR EXPORTER_PORT CONNECTIONS SECONDS
//     holds that many connections to the exporter from SOURCE_ADDR for the
//     time given: idle ones send nothing; trickling ones send a request one
//     byte every five seconds. A connection the exporter closes is opened
//     again, as a determined client would. Prints how many were opened.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char REQUEST[] =
    "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";

struct Held {
    int fd = -1;
    size_t sent = 0;
    Clock::time_point next;
};

int open(const char* source, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in local{}, server{};
    local.sin_family = server.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);  // in progress
    return fd;
}

// Whether the exporter closed it: a read that ends or fails for good.
bool closedByPeer(int fd) {
    char buffer[256];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s idle|trickle SOURCE_ADDR EXPORTER_PORT CONNECTIONS SECONDS\n", argv[0]);
        return 2;
    }
    bool trickle = strcmp(argv[1], "trickle") == 0;
    const char* source = argv[2];
    auto port = uint16_t(atoi(argv[3]));
    std::vector<Held> held(size_t(atoi(argv[4])));
    auto end = Clock::now() + std::chrono::seconds(atoi(argv[5]));
    long opened = 0;
    for (size_t i = 0; Clock::now() < end; ++i) {
        Held& h = held[i % held.size()];
        Clock::time_point now = Clock::now();
        if (h.fd >= 0 && closedByPeer(h.fd)) {
            close(h.fd);
            h.fd = -1;
        }
        if (h.fd < 0) {
            h.fd = open(source, port);
            h.sent = 0;
            // Spread over five seconds, so the load is steady.
            h.next = now + std::chrono::milliseconds(rand() % 5000);
            if (h.fd >= 0) ++opened;
        } else if (trickle && now >= h.next) {
            if (send(h.fd, REQUEST + h.sent % (sizeof REQUEST - 1), 1, MSG_NOSIGNAL) == 1) ++h.sent;
            h.next = now + std::chrono::seconds(5);
        }
        if (i % held.size() == held.size() - 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    printf("%s connections from %s: %ld opened in all\n", argv[1], source, opened);
    return 0;
}
