// The floor of a fleet poll: what one GET to every device costs when the
// poller does nothing but move datagrams. One socket, sendmmsg in batches of
// 64 with at most IN_FLIGHT unanswered, recvmmsg, a reply matched to its
// device by source address; no retries, no output but the count. tagpoll's
// costs are measured against it (bench/poll_floor.sh). Loopback fleets only.
// Usage: poll_floor TARGETS_FILE [IN_FLIGHT]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "vmsg.h"

namespace {

constexpr unsigned BATCH = 64;
// Silence after which what is still in flight counts as lost.
constexpr int SILENCE_MS = 1000;

uint64_t keyOf(const sockaddr_in& a) { return uint64_t(ntohl(a.sin_addr.s_addr)) << 16 | ntohs(a.sin_port); }

std::vector<sockaddr_in> loopbackTargets(const char* file) {
    std::vector<sockaddr_in> targets;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        size_t colon = line.find(':');
        if (colon == std::string::npos || inet_pton(AF_INET, line.substr(0, colon).c_str(), &a.sin_addr) != 1)
            continue;
        a.sin_port = htons(uint16_t(std::stoi(line.substr(colon + 1))));
        if ((ntohl(a.sin_addr.s_addr) >> 24) == 127) targets.push_back(a);
    }
    return targets;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s TARGETS_FILE [IN_FLIGHT]\n", argv[0]);
        return 2;
    }
    std::vector<sockaddr_in> targets = loopbackTargets(argv[1]);
    if (targets.empty()) return fprintf(stderr, "no loopback targets\n"), 1;
    const size_t inFlight = argc > 2 ? size_t(atol(argv[2])) : 1024;
    std::unordered_map<uint64_t, size_t> index;
    index.reserve(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) index.emplace(keyOf(targets[i]), i);
    std::vector<bool> answered(targets.size());

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int buffer = 32 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);

    VMsg get(1);  // GET: TAG_DEV_CFG, as the benches ask tagpoll
    get.setLastSegment(true);
    get.addTag(VTagFactory::createVTag(5));
    uint8_t request[1024];
    uint16_t length = get.getMsg(request, sizeof request);

    static uint8_t replies[BATCH][1025];
    sockaddr_in from[BATCH];
    iovec in[BATCH], out[BATCH];
    mmsghdr received[BATCH], sent[BATCH];
    size_t next = 0, done = 0, got = 0;
    while (done < targets.size()) {
        while (next < targets.size() && next - done < inFlight) {
            unsigned n = 0;
            for (; n < BATCH && next + n < targets.size() && next + n - done < inFlight; ++n) {
                out[n] = iovec{request, length};
                sent[n].msg_hdr = msghdr{&targets[next + n], sizeof(sockaddr_in), &out[n], 1, nullptr, 0, 0};
            }
            int k = sendmmsg(fd, sent, n, 0);
            if (k <= 0) break;  // the socket is full: read first
            next += size_t(k);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, SILENCE_MS) <= 0) {
            // The rest in flight is lost: a late reply no longer counts.
            for (size_t i = 0; i < next; ++i) answered[i] = true;
            done = next;
            continue;
        }
        for (;;) {
            for (unsigned i = 0; i < BATCH; ++i) {
                in[i] = iovec{replies[i], sizeof replies[i]};
                received[i].msg_hdr = msghdr{&from[i], sizeof from[i], &in[i], 1, nullptr, 0, 0};
            }
            int k = recvmmsg(fd, received, BATCH, MSG_DONTWAIT, nullptr);
            if (k <= 0) break;
            for (int i = 0; i < k; ++i) {
                auto it = index.find(keyOf(from[i]));
                if (it == index.end() || answered[it->second]) continue;
                answered[it->second] = true;
                ++done;
                ++got;
            }
            if (unsigned(k) < BATCH) break;
        }
    }
    fprintf(stderr, "%zu of %zu answered\n", got, targets.size());
    return got == targets.size() ? 0 : 1;
}
