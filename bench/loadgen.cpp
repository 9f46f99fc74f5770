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

#include "flood.h"
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
    uint8_t request[1024];
    uint16_t length = get.getMsg(request, sizeof request);

    // A second of silence counts the rest in flight as lost.
    flood(fd, request, length, requests, inFlight, 1000, [&](long) -> const sockaddr_in& { return dest; });
    return 0;
}
