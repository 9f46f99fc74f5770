// Load for bench/exporter.sh, on loopback only.
//   exporter_load overhead EXPORTER_PORT DEVICE_ADDR:PORT MODULE N TAG...
//     N times: one bare GET of the tags to the device, then one probe of the
//     module through the exporter; prints p50 and p99 of each and of the
//     difference, in microseconds.
//   exporter_load concurrent EXPORTER_PORT TARGETS_FILE MODULE
//     one probe per target, all sent at once; prints how many succeeded and
//     the wall time until the last answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "vmsg.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

sockaddr_in addressOf(const std::string& text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    size_t colon = text.rfind(':');
    inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr);
    address.sin_port = htons(uint16_t(std::stoi(text.substr(colon + 1))));
    return address;
}

int connectTo(uint16_t port, bool blocking) {
    int fd = socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address = addressOf("127.0.0.1:" + std::to_string(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        perror("connect");
        exit(1);
    }
    return fd;
}

std::string request(const std::string& target, const std::string& module, bool keepAlive) {
    return "GET /probe?target=" + target + "&module=" + module + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
           (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
}

// One probe on a kept-alive connection, as Prometheus sends them; true
// when the device answered.
bool probeOnce(int fd, const std::string& text) {
    if (write(fd, text.data(), text.size()) != ssize_t(text.size())) exit(1);
    std::string reply;
    char buffer[16384];
    size_t end = std::string::npos, length = 0;
    while (end == std::string::npos || reply.size() < end + 4 + length) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) exit(1);
        reply.append(buffer, size_t(n));
        if (end == std::string::npos && (end = reply.find("\r\n\r\n")) != std::string::npos) {
            size_t field = reply.find("Content-Length: ");
            if (field == std::string::npos || field > end) exit(1);
            length = std::stoul(reply.substr(field + 16));
        }
    }
    return reply.find("\ntag_probe_success 1\n") != std::string::npos;
}

void bareGet(int fd, const std::vector<uint8_t>& bytes) {
    if (send(fd, bytes.data(), bytes.size(), 0) < 0) exit(1);
    uint8_t buffer[2048];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) exit(1);
        std::unique_ptr<VMsg> segment(VMsg::parseMsg(buffer, uint16_t(n)));
        if (segment && segment->isLastSegment()) return;
    }
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

int overhead(uint16_t port, const std::string& device, const std::string& module, int runs,
             const std::vector<uint8_t>& tags) {
    VMsg get(1);
    for (uint8_t id : tags) get.addTag(VTagFactory::createVTag(id));
    get.setLastSegment(true);
    std::vector<uint8_t> bytes(1024);
    bytes.resize(get.getMsg(bytes.data(), 1024));
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = addressOf(device);
    connect(udp, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::string text = request(device, module, true);
    int http = connectTo(port, true);
    std::vector<double> bare, probe, added;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        bareGet(udp, bytes);
        auto t1 = Clock::now();
        if (!probeOnce(http, text)) {
            fprintf(stderr, "probe %d failed\n", i);
            return 1;
        }
        auto t2 = Clock::now();
        bare.push_back(microseconds(t1 - t0));
        probe.push_back(microseconds(t2 - t1));
        added.push_back(probe.back() - bare.back());
    }
    printf("bare UDP GET (us):      p50 %8.1f  p99 %8.1f\n", percentile(bare, 0.5), percentile(bare, 0.99));
    printf("probe over HTTP (us):   p50 %8.1f  p99 %8.1f\n", percentile(probe, 0.5), percentile(probe, 0.99));
    printf("added by the probe (us): p50 %8.1f  p99 %8.1f\n", percentile(added, 0.5),
           percentile(added, 0.99));
    return 0;
}

struct Pending {
    int fd;
    std::string out, in;
    size_t written = 0;
};

int concurrent(uint16_t port, const std::string& file, const std::string& module) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<std::string> targets;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) targets.push_back(line);
    int epoll = epoll_create1(0);
    std::vector<std::unique_ptr<Pending>> all;
    auto start = Clock::now();
    for (const std::string& target : targets) {
        auto p = std::make_unique<Pending>();
        p->fd = connectTo(port, false);
        p->out = request(target, module, false);
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLIN;
        event.data.ptr = p.get();
        epoll_ctl(epoll, EPOLL_CTL_ADD, p->fd, &event);
        all.push_back(std::move(p));
    }
    size_t open = all.size(), succeeded = 0, failed = 0;
    std::vector<epoll_event> events(256);
    while (open > 0) {
        int n = epoll_wait(epoll, events.data(), int(events.size()), 10000);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            auto* p = static_cast<Pending*>(events[size_t(i)].data.ptr);
            if (p->written < p->out.size() && (events[size_t(i)].events & EPOLLOUT)) {
                ssize_t w = write(p->fd, p->out.data() + p->written, p->out.size() - p->written);
                if (w > 0) p->written += size_t(w);
                if (p->written == p->out.size()) {
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.ptr = p;
                    epoll_ctl(epoll, EPOLL_CTL_MOD, p->fd, &event);
                }
            }
            char buffer[16384];
            ssize_t r = 0;
            while ((r = read(p->fd, buffer, sizeof buffer)) > 0) p->in.append(buffer, size_t(r));
            if (r == 0 || (r < 0 && errno != EAGAIN)) {
                bool ok = p->in.find("\ntag_probe_success 1\n") != std::string::npos;
                ok ? ++succeeded : ++failed;
                epoll_ctl(epoll, EPOLL_CTL_DEL, p->fd, nullptr);
                close(p->fd);
                --open;
            }
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    printf("concurrent probes: %zu succeeded, %zu failed, %zu unanswered, %.3f s wall\n", succeeded, failed,
           open, seconds);
    return succeeded == targets.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 7 && strcmp(argv[1], "overhead") == 0) {
        std::vector<uint8_t> tags;
        for (int i = 6; i < argc; ++i) tags.push_back(uint8_t(atoi(argv[i])));
        return overhead(uint16_t(atoi(argv[2])), argv[3], argv[4], atoi(argv[5]), tags);
    }
    if (argc == 5 && strcmp(argv[1], "concurrent") == 0)
        return concurrent(uint16_t(atoi(argv[2])), argv[3], argv[4]);
    fprintf(stderr,
            "usage: exporter_load overhead EXPORTER_PORT DEVICE_ADDR:PORT MODULE N TAG_ID...\n"
            "       exporter_load concurrent EXPORTER_PORT TARGETS_FILE MODULE\n");
    return 2;
}
