// Devices that never end a reply, on loopback only: each of N sockets on
// 127.0.0.1 answers every GET with a stream of never-last segments, each one
// 1,000-byte text (or TEXT_BYTES; 0: no tag, a bare 5-byte header), with the
// request's sequence, until SEGMENTS of them went out or the whole run
// reaches its time.
// Usage: endless TARGETS_FILE N SEGMENTS SECONDS [TEXT_BYTES]   (writes 127.0.0.1:PORT lines)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "vmsg.h"

namespace {

struct Stream {
    int fd;
    sockaddr_in to;
    uint8_t sequence;
    long left;
};

int boundSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("endless: socket");
        exit(1);
    }
    return fd;
}

uint16_t portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: %s TARGETS_FILE N SEGMENTS SECONDS [TEXT_BYTES]\n", argv[0]);
        return 2;
    }
    int devices = atoi(argv[2]);
    long segments = atol(argv[3]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(atol(argv[4]));
    std::vector<pollfd> fds;
    FILE* targets = fopen(argv[1], "w");
    if (!targets) return 1;
    for (int i = 0; i < devices; ++i) {
        fds.push_back({boundSocket(), POLLIN, 0});
        fprintf(targets, "127.0.0.1:%u\n", portOf(fds.back().fd));
    }
    fclose(targets);
    std::string text(argc == 6 ? size_t(atol(argv[5])) : 1000, 'x');
    uint8_t datagram[1024];
    std::deque<Stream> streams;
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll(fds.data(), fds.size(), streams.empty() ? 100 : 0) < 0) break;
        for (pollfd& p : fds) {
            if (!(p.revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(p.fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n >= 3) streams.push_back({p.fd, from, uint8_t(datagram[2] & 0x7F), segments});
        }
        // One segment per stream per pass, so every requester is fed at once.
        for (size_t i = streams.size(); i > 0; --i) {
            Stream s = streams.front();
            streams.pop_front();
            VMsg segment(MSG_GET);
            segment.sequence = s.sequence;  // never the last
            if (!text.empty()) segment.addTag(VTagFactory::createVTag(9, text.c_str()));
            uint16_t length = segment.getMsg(datagram, sizeof datagram);
            if (sendto(s.fd, datagram, length, 0, reinterpret_cast<sockaddr*>(&s.to), sizeof s.to) < 0 &&
                errno == EAGAIN) {
                streams.push_back(s);
                continue;
            }
            if (--s.left > 0) streams.push_back(s);
        }
    }
    for (pollfd& p : fds) close(p.fd);
    return 0;
}
