// tagagent: the demo agent of the tag protocol. It serves GET, SET and DEL
// requests from a store of tag values on one UDP socket until it is told to
// stop (SIGINT, SIGTERM) or its time or request budget runs out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <log4cpp/Category.hh>

#include "data_file.h"
#include "demo_device.h"
#include "options.h"
#include "request_handler.h"
#include "vlog.h"

namespace {

// Larger than any datagram, so that an oversized one is seen whole and
// refused rather than cut to a decodable prefix.
constexpr size_t RECEIVE_BUFFER = 65536;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

// The stop signals stay blocked except inside ppoll, so one that arrives
// between the flag check and the wait still ends the wait.
void catchStopSignals(sigset_t& waitMask) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait returns EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
}

double monotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The bound socket, or -1 after saying why on standard error.
int openSocket(const Options& options, sockaddr_in& bound) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "tagagent: cannot open a UDP socket: %s\n", strerror(errno));
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options.port);
    inet_pton(AF_INET, options.address.c_str(), &addr.sin_addr);
    socklen_t length = sizeof bound;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        fprintf(stderr, "tagagent: cannot bind %s:%u: %s\n", options.address.c_str(), unsigned(options.port),
                strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Serves until a stop signal, the time limit or the request limit.
void serve(int fd, TagStore& store, const Options& options, const sigset_t& waitMask) {
    log4cpp::Category& log = log4cpp::Category::getInstance("tagagent");
    const double deadline = options.timeLimit ? monotonicSeconds() + double(options.timeLimit) : 0;
    unsigned long handled = 0;
    time_t clockShown = -1;
    std::vector<uint8_t> buffer(RECEIVE_BUFFER);
    while (!stopRequested) {
        timespec wait{}, *timeout = nullptr;
        if (deadline) {
            double left = deadline - monotonicSeconds();
            if (left <= 0) {
                log.info("time limit reached");
                return;
            }
            wait.tv_sec = time_t(left);
            wait.tv_nsec = long((left - double(wait.tv_sec)) * 1e9);
            timeout = &wait;
        }
        pollfd readable{fd, POLLIN, 0};
        if (ppoll(&readable, 1, timeout, &waitMask) < 1) continue;

        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        ssize_t received =
            recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (received < 0) continue;
        char peerText[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
        log.info("%zd bytes from %s:%u", received, peerText, unsigned(ntohs(peer.sin_port)));

        // The demo clock shows seconds: once a second is enough to set it.
        if (time_t now = time(nullptr); options.dataFile.empty() && now != clockShown) {
            refreshDemoClock(store, now);
            clockShown = now;
        }
        HandleResult result = handleDatagram({buffer.data(), size_t(received)}, store);
        for (const Datagram& reply : result.replies)
            if (sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength) < 0)
                log.warn("reply to %s:%u not sent: %s", peerText, unsigned(ntohs(peer.sin_port)),
                         strerror(errno));
        if (result.request && options.requestLimit && ++handled >= options.requestLimit) {
            log.info("request limit reached");
            return;
        }
    }
    log.info("stopped by a signal");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        fprintf(stderr, "tagagent: %s\n", error.c_str());
        printUsage(stderr);
        return 2;
    }
    if (options.help) {
        printUsage(stdout);
        return 0;
    }
    cVlog::init(options.verbosity == 0 ? cVlog::ERROR : options.verbosity == 1 ? cVlog::INFO : cVlog::DEBUG);

    TagStore store;
    if (options.dataFile.empty()) {
        loadDemoDevice(store);
    } else {
        std::vector<std::string> complaints = loadTagFile(options.dataFile, store);
        for (const std::string& c : complaints) fprintf(stderr, "tagagent: %s\n", c.c_str());
        if (!complaints.empty()) return 1;
    }

    sigset_t waitMask;
    catchStopSignals(waitMask);
    sockaddr_in bound{};
    int fd = openSocket(options, bound);
    if (fd < 0) return 1;
    printf("listening on %s:%u\n", options.address.c_str(), unsigned(ntohs(bound.sin_port)));
    fflush(stdout);

    serve(fd, store, options, waitMask);
    close(fd);
    return 0;
}
