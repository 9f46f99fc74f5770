// What a hostile peer can still do to tagagent, on loopback only.
//   hostile forge SRC_ADDR:PORT DST_ADDR:PORT HEX
//     sends one UDP datagram whose source is forged (a raw socket: root)
//   hostile amplify DST_ADDR:PORT HEX COUNT GAP_MS
//     sends COUNT copies GAP_MS apart from one socket, collects the replies
//     until a second passes quietly, and prints bytes in, bytes out and
//     their ratio
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// "127.x.y.z:PORT" only: nothing leaves this machine.
bool endpoint(const char* text, sockaddr_in& out) {
    std::string s(text);
    size_t colon = s.rfind(':');
    out = {};
    out.sin_family = AF_INET;
    if (colon == std::string::npos || inet_pton(AF_INET, s.substr(0, colon).c_str(), &out.sin_addr) != 1)
        return false;
    out.sin_port = htons(uint16_t(atoi(s.c_str() + colon + 1)));
    return (ntohl(out.sin_addr.s_addr) >> 24) == 127;
}

std::vector<uint8_t> bytesOf(const char* hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes.push_back(uint8_t(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
}

int forge(const sockaddr_in& from, const sockaddr_in& to, const std::vector<uint8_t>& payload) {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);  // implies IP_HDRINCL
    if (fd < 0) {
        perror("raw socket (needs root)");
        return 1;
    }
    std::vector<uint8_t> packet(sizeof(iphdr) + sizeof(udphdr) + payload.size());
    iphdr ip{};
    ip.version = 4;
    ip.ihl = 5;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(uint16_t(packet.size()));
    ip.saddr = from.sin_addr.s_addr;
    ip.daddr = to.sin_addr.s_addr;  // the kernel fills the checksum and id
    udphdr udp{};
    udp.source = from.sin_port;
    udp.dest = to.sin_port;
    udp.len = htons(uint16_t(sizeof udp + payload.size()));  // checksum 0: none, allowed on IPv4
    memcpy(packet.data(), &ip, sizeof ip);
    memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
    memcpy(packet.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
    ssize_t sent =
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
    if (sent < 0) perror("sendto");
    return sent < 0;
}

int amplify(const sockaddr_in& to, const std::vector<uint8_t>& request, long count, long gapMs) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int room = 1 << 24;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    unsigned long in = 0, out = 0, replies = 0;
    uint8_t buffer[65536];
    auto drain = [&](int waitMs) {
        pollfd p{fd, POLLIN, 0};
        for (;;) {
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got >= 0) {
                out += size_t(got);
                ++replies;
            } else if (waitMs == 0 || poll(&p, 1, waitMs) != 1) {
                return;
            }
        }
    };
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >
            0)
            in += request.size();
        drain(0);
        if (gapMs) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    drain(1000);
    printf("%lu bytes in, %lu bytes out in %lu datagrams over %.2f s: %.1f times\n", in, out, replies,
           seconds, in ? double(out) / double(in) : 0.0);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    sockaddr_in a{}, b{};
    if (argc == 5 && strcmp(argv[1], "forge") == 0 && endpoint(argv[2], a) && endpoint(argv[3], b))
        return forge(a, b, bytesOf(argv[4]));
    if (argc == 6 && strcmp(argv[1], "amplify") == 0 && endpoint(argv[2], a))
        return amplify(a, bytesOf(argv[3]), atol(argv[4]), atol(argv[5]));
    fprintf(stderr,
            "usage: %s forge SRC_ADDR:PORT DST_ADDR:PORT HEX\n"
            "       %s amplify DST_ADDR:PORT HEX COUNT GAP_MS\n"
            "(loopback addresses only)\n",
            argv[0], argv[0]);
    return 2;
}
