// A bounded load generator on loopback: sends N GET requests to one port,
// keeping a fixed number in flight, and reports answers per second. One
// process, 127.0.0.1 only.
// Usage: loadgen PORT REQUESTS [IN_FLIGHT]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "vmsg.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s PORT REQUESTS [IN_FLIGHT]\n", argv[0]);
        return 2;
    }
    const long requests = atol(argv[2]);
    const long inFlight = argc > 3 ? atol(argv[3]) : 8;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(uint16_t(atoi(argv[1])));

    VMsg get(1);
    get.setLastSegment(true);
    get.addTag(VTagFactory::createVTag(8, uint32_t(0)));
    get.addTag(VTagFactory::createVTag(9, ""));
    uint8_t request[1024], reply[2048];
    uint16_t length = get.getMsg(request, sizeof request);

    long sent = 0, answered = 0, lost = 0;
    auto start = std::chrono::steady_clock::now();
    auto sendOne = [&] {
        sendto(fd, request, length, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
        ++sent;
    };
    while (sent < requests && sent < inFlight) sendOne();
    while (answered + lost < requests) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) {
            lost += sent - answered - lost;  // a second of silence: count the rest as lost
            while (sent < requests && sent - answered - lost < inFlight) sendOne();
            continue;
        }
        if (recv(fd, reply, sizeof reply, 0) < 0) continue;
        ++answered;
        if (sent < requests) sendOne();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%ld requests, %ld answered, %ld lost, %.3f s, %.0f answers/s\n", requests, answered, lost,
           seconds, answered / seconds);
    return 0;
}
