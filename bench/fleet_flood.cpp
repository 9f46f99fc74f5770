// The fleet's own ceiling: GET requests to every device of a targets file in
// turn, a fixed number in flight, answers counted without matching. What
// tagpoll achieves is compared with this. Loopback fleets only.
// Usage: fleet_flood TARGETS_FILE REQUESTS [IN_FLIGHT]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "flood.h"
#include "vmsg.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s TARGETS_FILE REQUESTS [IN_FLIGHT]\n", argv[0]);
        return 2;
    }
    std::vector<sockaddr_in> targets;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        size_t colon = line.find(':');
        if (colon == std::string::npos || inet_pton(AF_INET, line.substr(0, colon).c_str(), &a.sin_addr) != 1)
            continue;
        a.sin_port = htons(uint16_t(std::stoi(line.substr(colon + 1))));
        if ((ntohl(a.sin_addr.s_addr) >> 24) == 127) targets.push_back(a);
    }
    if (targets.empty()) return fprintf(stderr, "no loopback targets\n"), 1;
    const long requests = atol(argv[2]);
    const long inFlight = argc > 3 ? atol(argv[3]) : 256;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int buffer = 32 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);

    VMsg get(1);
    get.setLastSegment(true);
    get.addTag(VTagFactory::createVTag(5));
    uint8_t request[1024];
    uint16_t length = get.getMsg(request, sizeof request);

    flood(fd, request, length, requests, inFlight, 200,
          [&](long n) -> const sockaddr_in& { return targets[size_t(n) % targets.size()]; });
    return 0;
}
