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
    uint8_t request[1024], reply[2048];
    uint16_t length = get.getMsg(request, sizeof request);

    long sent = 0, answered = 0, lost = 0;
    auto start = std::chrono::steady_clock::now();
    auto sendOne = [&] {
        const sockaddr_in& to = targets[size_t(sent) % targets.size()];
        sendto(fd, request, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ++sent;
    };
    while (sent < requests && sent < inFlight) sendOne();
    while (answered + lost < requests) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) != 1) {
            lost += sent - answered - lost;  // silence: count the rest as lost
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
