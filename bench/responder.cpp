// A minimal UDP responder on 127.0.0.1: answers every datagram with one fixed
// reply message. The floor's peer, and the baseline of the agent's
// throughput. Bounded: exits after N datagrams or T seconds.
// Usage: responder PORT_FILE COUNT SECONDS   (writes its port to PORT_FILE)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s PORT_FILE COUNT SECONDS\n", argv[0]);
        return 2;
    }
    long count = atol(argv[2]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(atol(argv[3]));
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 1;
    FILE* f = fopen(argv[1], "w");
    if (!f) return 1;
    fprintf(f, "%d\n", ntohs(addr.sin_port));
    fclose(f);

    // GET reply, last segment, one tag: TAG_DEV_ID (8), type 2, value 42.
    static const unsigned char reply[] = {1, 1, 0x80, 0, 1, 8, 2, 0, 0, 0, 42};
    unsigned char buf[2048];
    for (long served = 0; served < count && std::chrono::steady_clock::now() < deadline;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) != 1) continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        if (recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen) < 0) continue;
        sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
        ++served;
    }
    return 0;
}
