#include "server.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <log4cpp/Category.hh>
#include <queue>
#include <random>
#include <span>
#include <tuple>

#include "demo_device.h"
#include "request_handler.h"

namespace {

using Clock = std::chrono::steady_clock;

// Larger than any datagram, so that an oversized one is seen whole and
// refused rather than cut to a decodable prefix.
constexpr size_t RECEIVE_BUFFER = 65536;
// Work per wake is bounded (devices reported, datagrams read from each), so
// the stop signal is looked at every few milliseconds under any flood.
constexpr int EVENTS_PER_WAKE = 64;
constexpr int DATAGRAMS_PER_DEVICE = 32;
// Delayed answers held at most; beyond, answers are dropped and counted.
constexpr size_t MAX_DELAYED = 100000;
constexpr uint64_t STOP_EVENT = UINT64_MAX;
constexpr auto SUMMARY_PERIOD = std::chrono::seconds(1);
// The first byte of every message (docs/wire-format.md); the second is its id.
constexpr uint8_t WIRE_FORMAT = 0x01;

uint16_t portOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                   : reinterpret_cast<const sockaddr_in&>(a).sin_port;
}

socklen_t lengthOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// The address and port in an order of their own, to find a device's.
using EndpointKey = std::tuple<uint64_t, uint64_t, uint16_t>;
EndpointKey endpointKey(const sockaddr_storage& a) {
    uint64_t words[2] = {0, 0};
    if (a.ss_family == AF_INET6)
        memcpy(words, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, sizeof words);
    else
        words[1] = reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr;
    return {words[0], words[1], portOf(a)};
}

// Whom a reply budget is kept for: an IPv6 /64 (what one host is usually
// given, so it cannot dodge its budget by changing its interface
// identifier) as its prefix, or an IPv4 address under ffff:ffff::/32, a
// multicast prefix no datagram comes from.
uint64_t budgetKey(const sockaddr_storage& a) {
    if (a.ss_family != AF_INET6)
        return 0xFFFFFFFF00000000ULL | ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr);
    const uint8_t* bytes = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr.s6_addr;
    uint64_t prefix = 0;
    for (int i = 0; i < 8; ++i) prefix = (prefix << 8) | bytes[i];
    return prefix;
}

struct Delayed {
    Clock::time_point due;
    uint64_t order;  // segments of one answer keep their order
    size_t device;
    sockaddr_storage peer;
    Datagram bytes;
};
struct DueLater {
    bool operator()(const Delayed& a, const Delayed& b) const {
        return a.due != b.due ? a.due > b.due : a.order > b.order;
    }
};

class Loop {
public:
    Loop(std::vector<Device>& devices, const Options& options, TagStore* clock, int stopFd);
    ~Loop() {
        if (epollFd >= 0) close(epollFd);
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    ServeCounts run();

private:
    bool watch(size_t index);
    bool stopArrived();
    void readDevice(size_t index, Clock::time_point now);
    void serveDatagram(Device& device, size_t index, std::span<const uint8_t> bytes,
                       const sockaddr_storage& peer, Clock::time_point now);
    void answer(size_t index, const sockaddr_storage& peer, std::vector<Datagram>& replies,
                Clock::time_point now);
    void sendReply(size_t index, const sockaddr_storage& peer, const Datagram& bytes);
    void sendDue(Clock::time_point now);
    void stopReading();
    bool fromAgent(const Device& device, const sockaddr_storage& peer) const;
    void summarise(Clock::time_point now);
    int waitMs(Clock::time_point now) const;
    Clock::duration answerDelay();

    std::vector<Device>& devices;
    const Options& options;
    TagStore* clock;
    int stopFd;
    int epollFd = -1;
    log4cpp::Category& log = log4cpp::Category::getInstance("tagagent");
    std::vector<EndpointKey> ownEndpoints;  // sorted
    std::priority_queue<Delayed, std::vector<Delayed>, DueLater> delayed;
    uint64_t delayedOrder = 0;
    std::mt19937_64 random{std::random_device{}()};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(RECEIVE_BUFFER);
    ServeCounts counts, shown;
    Clock::time_point deadline = Clock::time_point::max();
    Clock::time_point nextSummary;
    time_t clockShown = -1;
    bool reading = true;
};

Loop::Loop(std::vector<Device>& devices, const Options& options, TagStore* clock, int stopFd)
    : devices(devices), options(options), clock(clock), stopFd(stopFd) {
    for (const Device& device : devices) ownEndpoints.push_back(endpointKey(device.bound));
    std::sort(ownEndpoints.begin(), ownEndpoints.end());
    if (options.timeLimit) deadline = Clock::now() + std::chrono::seconds(options.timeLimit);
    nextSummary = Clock::now() + SUMMARY_PERIOD;
}

bool Loop::watch(size_t index) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    int fd = index == STOP_EVENT ? stopFd : devices[index].fd;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0) return true;
    log.error("cannot watch a socket: %s", strerror(errno));
    return false;
}

ServeCounts Loop::run() {
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        log.error("cannot create an event set: %s", strerror(errno));
        return counts;
    }
    if (!watch(STOP_EVENT)) return counts;
    for (size_t i = 0; i < devices.size(); ++i)
        if (!watch(i)) return counts;
    epoll_event events[EVENTS_PER_WAKE];
    for (;;) {
        Clock::time_point now = Clock::now();
        sendDue(now);
        if (now >= deadline) {
            log.info("time limit reached");
            break;
        }
        if (!reading && delayed.empty()) {
            log.info("request limit reached");
            break;
        }
        if (now >= nextSummary) summarise(now);
        int ready = epoll_wait(epollFd, events, EVENTS_PER_WAKE, waitMs(now));
        if (stopArrived()) {
            log.info("stopped by a signal");
            break;
        }
        now = Clock::now();
        for (int i = 0; i < ready && reading; ++i)
            if (events[i].data.u64 != STOP_EVENT) readDevice(size_t(events[i].data.u64), now);
    }
    log.info(
        "served %lu requests with %lu replies; dropped %lu requests over a reply budget, %lu datagrams "
        "from an agent's port, %lu requests lost on purpose; %lu replies unsent; %lu SETs arrived",
        counts.requests, counts.replies, counts.overBudget, counts.fromAgent, counts.lost, counts.unsent,
        counts.sets);
    return counts;
}

bool Loop::stopArrived() {
    signalfd_siginfo info;
    return read(stopFd, &info, sizeof info) == ssize_t(sizeof info);
}

void Loop::readDevice(size_t index, Clock::time_point now) {
    Device& device = devices[index];
    for (int i = 0; i < DATAGRAMS_PER_DEVICE && reading; ++i) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        ssize_t received = recvfrom(device.fd, buffer.data(), buffer.size(), 0,
                                    reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;
        }
        serveDatagram(device, index, {buffer.data(), size_t(received)}, peer, now);
    }
}

void Loop::serveDatagram(Device& device, size_t index, std::span<const uint8_t> bytes,
                         const sockaddr_storage& peer, Clock::time_point now) {
    // An answer is itself a valid request: answering another agent (or
    // ourselves) would start an exchange that never ends.
    if (fromAgent(device, peer)) {
        ++counts.fromAgent;
        if (log.isDebugEnabled())
            log.debug("%zu bytes from %s, an agent's port: ignored", bytes.size(),
                      endpointText(peer).c_str());
        return;
    }
    // Counted before the loss, so that a writer's every SET shows, even one
    // the fleet then drops.
    counts.sets += bytes.size() >= 2 && bytes[0] == WIRE_FORMAT && bytes[1] == MSG_SET;
    if (options.loss > 0 && std::uniform_real_distribution<double>(0, 1)(random) < options.loss) {
        ++counts.lost;
        return;
    }
    if (!device.budget.allows(budgetKey(peer), now, options.budget)) {
        ++counts.overBudget;
        return;
    }
    if (log.isInfoEnabled()) {
        std::string from = endpointText(peer);
        if (devices.size() == 1)
            log.info("%zu bytes from %s", bytes.size(), from.c_str());
        else
            log.info("%zu bytes from %s to %s", bytes.size(), from.c_str(),
                     endpointText(device.bound).c_str());
    }
    // The demo clock shows seconds: once a second is enough to set it.
    if (time_t wall = time(nullptr); clock && wall != clockShown) {
        refreshDemoClock(*clock, wall);
        clockShown = wall;
    }
    HandleResult result = handleDatagram(bytes, device.store, options.readOnly);

    if (!result.replies.empty()) answer(index, peer, result.replies, now);
    if (result.request && ++counts.requests == options.requestLimit) stopReading();
}

void Loop::answer(size_t index, const sockaddr_storage& peer, std::vector<Datagram>& replies,
                  Clock::time_point now) {
    size_t bytes = 0;
    for (const Datagram& reply : replies) bytes += reply.size();
    devices[index].budget.charge(budgetKey(peer), replies.size(), bytes, now, options.budget);
    Clock::duration delay = answerDelay();
    for (Datagram& reply : replies) {
        if (delay == Clock::duration::zero())
            sendReply(index, peer, reply);
        else if (delayed.size() < MAX_DELAYED)
            delayed.push({now + delay, delayedOrder++, index, peer, std::move(reply)});
        else
            ++counts.unsent;
    }
}

void Loop::sendReply(size_t index, const sockaddr_storage& peer, const Datagram& bytes) {
    if (sendto(devices[index].fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
               lengthOf(peer)) < 0) {
        ++counts.unsent;
        log.warn("reply to %s not sent: %s", endpointText(peer).c_str(), strerror(errno));
        return;
    }
    ++counts.replies;
}

void Loop::sendDue(Clock::time_point now) {
    while (!delayed.empty() && delayed.top().due <= now) {
        const Delayed& next = delayed.top();
        sendReply(next.device, next.peer, next.bytes);
        delayed.pop();
    }
}

// No more requests: the sockets leave the set, answers still delayed go out.
void Loop::stopReading() {
    reading = false;
    for (const Device& device : devices) epoll_ctl(epollFd, EPOLL_CTL_DEL, device.fd, nullptr);
}

bool Loop::fromAgent(const Device& device, const sockaddr_storage& peer) const {
    return portOf(peer) == portOf(device.bound) ||
           std::binary_search(ownEndpoints.begin(), ownEndpoints.end(), endpointKey(peer));
}

void Loop::summarise(Clock::time_point now) {
    nextSummary = now + SUMMARY_PERIOD;
    if (counts.overBudget != shown.overBudget || counts.fromAgent != shown.fromAgent)
        log.warn(
            "in the last second: %lu requests dropped over a reply budget, %lu datagrams from an agent's "
            "port ignored",
            counts.overBudget - shown.overBudget, counts.fromAgent - shown.fromAgent);
    shown = counts;
    for (Device& device : devices)
        if (device.budget.addresses()) device.budget.forgetIdle(now, options.budget);
}

int Loop::waitMs(Clock::time_point now) const {
    Clock::time_point until = std::min(deadline, nextSummary);
    if (!delayed.empty()) until = std::min(until, delayed.top().due);
    if (until <= now) return 0;
    // Rounded up, so that the loop never wakes just before what it waits for.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return int(std::min<long long>(ms, 1000));
}

Clock::duration Loop::answerDelay() {
    if (options.delayMs == 0 && options.jitterMs == 0) return Clock::duration::zero();
    long long ms = (long long)options.delayMs;
    if (options.jitterMs) {
        long long jitter = (long long)options.jitterMs;
        ms += std::uniform_int_distribution<long long>(-jitter, jitter)(random);
    }
    return std::chrono::milliseconds(std::max(ms, 0LL));
}

}  // namespace

int stopSignalDescriptor() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    return signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
}

ServeCounts serve(std::vector<Device>& devices, const Options& options, TagStore* clock, int stopFd) {
    Loop loop(devices, options, clock, stopFd);
    return loop.run();
}
