#include "server.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <log4cpp/Category.hh>
#include <memory>
#include <queue>
#include <random>
#include <span>

#include "demo_device.h"
#include "request_handler.h"

namespace {

using Clock = std::chrono::steady_clock;

// Larger than any datagram, so that an oversized one is seen whole and
// refused rather than cut to a decodable prefix.
constexpr size_t RECEIVE_BUFFER = 65536;
// Work per wake is bounded (sockets reported, datagrams read from each), so
// the stop signal is looked at every few milliseconds under any flood.
constexpr int EVENTS_PER_WAKE = 64;
constexpr unsigned DATAGRAMS_PER_READ = 32;
// Replies handed to the kernel in one call at most.
constexpr unsigned SEND_BATCH = 64;
// Delayed answers held at most; beyond, answers are dropped and counted.
constexpr size_t MAX_DELAYED = 100000;
constexpr uint64_t STOP_EVENT = UINT64_MAX;
constexpr auto SUMMARY_PERIOD = std::chrono::seconds(1);
// The first byte of every message (docs/wire-format.md); the second is its id.
constexpr uint8_t WIRE_FORMAT = 0x01;
// Ancillary room for the one destination address a datagram carries.
constexpr size_t CONTROL_ROOM = CMSG_SPACE(sizeof(in_pktinfo));

socklen_t lengthOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// The address a datagram was sent to, from its IP_PKTINFO; family 0 when
// it carries none (a socket bound to one address).
sockaddr_storage destinationOf(msghdr& header) {
    sockaddr_storage to{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        auto& a = reinterpret_cast<sockaddr_in&>(to);
        a.sin_family = AF_INET;
        a.sin_addr = info.ipi_addr;
    }
    return to;
}

// Has the datagram leave from the source's address, whatever address the
// socket is bound to.
void sendFrom(msghdr& header, uint8_t* control, const sockaddr_storage& source) {
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = reinterpret_cast<const sockaddr_in&>(source).sin_addr;
    memcpy(CMSG_DATA(c), &info, sizeof info);
}

struct Outgoing {
    size_t device;
    sockaddr_storage peer;
    Datagram bytes;
};
struct Delayed {
    Clock::time_point due;
    uint64_t order;  // segments of one answer keep their order
    Outgoing out;
};
struct DueLater {
    bool operator()(const Delayed& a, const Delayed& b) const {
        return a.due != b.due ? a.due > b.due : a.order > b.order;
    }
};

// Headers and buffers for one recvmmsg, made once.
struct ReadBatch {
    std::vector<uint8_t> buffers = std::vector<uint8_t>(size_t{DATAGRAMS_PER_READ} * RECEIVE_BUFFER);
    mmsghdr headers[DATAGRAMS_PER_READ]{};
    iovec vectors[DATAGRAMS_PER_READ]{};
    sockaddr_storage peers[DATAGRAMS_PER_READ]{};
    alignas(cmsghdr) uint8_t control[DATAGRAMS_PER_READ][CONTROL_ROOM]{};

    // Ready for the next call: every length back to its room.
    void reset() {
        for (unsigned i = 0; i < DATAGRAMS_PER_READ; ++i) {
            vectors[i] = {buffers.data() + i * RECEIVE_BUFFER, RECEIVE_BUFFER};
            msghdr& h = headers[i].msg_hdr;
            h = msghdr{};
            h.msg_name = &peers[i];
            h.msg_namelen = sizeof peers[i];
            h.msg_iov = &vectors[i];
            h.msg_iovlen = 1;
            h.msg_control = control[i];
            h.msg_controllen = CONTROL_ROOM;
        }
    }
};

// Headers for one sendmmsg, made once.
struct SendBatch {
    mmsghdr headers[SEND_BATCH]{};
    iovec vectors[SEND_BATCH]{};
    alignas(cmsghdr) uint8_t control[SEND_BATCH][CONTROL_ROOM]{};
};

class Loop {
public:
    Loop(const Fleet& fleet, DeviceStates& states, const Options& options, TagStore* clock, int stopFd);
    ~Loop() {
        if (epollFd >= 0) close(epollFd);
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    ServeCounts run();

private:
    bool watch(uint64_t index);
    bool stopArrived();
    void readSocket(size_t socket, Clock::time_point now);
    void serveDatagram(size_t socket, size_t device, std::span<const uint8_t> bytes,
                       const sockaddr_storage& peer, Clock::time_point now);
    void answer(size_t device, const sockaddr_storage& peer, std::vector<Datagram>& replies,
                Clock::time_point now);
    void flush();
    size_t sendRun(size_t from);
    void sendDue(Clock::time_point now);
    void stopReading();
    void summarise(Clock::time_point now);
    int waitMs(Clock::time_point now) const;
    Clock::duration answerDelay();

    const Fleet& fleet;
    DeviceStates& states;
    const Options& options;
    TagStore* clock;
    int stopFd;
    int epollFd = -1;
    log4cpp::Category& log = log4cpp::Category::getInstance("tagagent");
    std::priority_queue<Delayed, std::vector<Delayed>, DueLater> delayed;
    uint64_t delayedOrder = 0;
    std::mt19937_64 random{std::random_device{}()};
    std::unique_ptr<ReadBatch> reads = std::make_unique<ReadBatch>();
    std::unique_ptr<SendBatch> sends = std::make_unique<SendBatch>();
    std::vector<Outgoing> outgoing;  // answers due now, sent by flush
    ServeCounts counts, shown;
    Clock::time_point deadline = Clock::time_point::max();
    Clock::time_point nextSummary;
    time_t clockShown = -1;
    bool reading = true;
};

Loop::Loop(const Fleet& fleet, DeviceStates& states, const Options& options, TagStore* clock, int stopFd)
    : fleet(fleet), states(states), options(options), clock(clock), stopFd(stopFd) {
    if (options.timeLimit) deadline = Clock::now() + std::chrono::seconds(options.timeLimit);
    nextSummary = Clock::now() + SUMMARY_PERIOD;
    outgoing.reserve(SEND_BATCH);
}

bool Loop::watch(uint64_t index) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    int fd = index == STOP_EVENT ? stopFd : fleet.sockets()[index].fd;
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
    for (size_t i = 0; i < fleet.sockets().size(); ++i)
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
            if (events[i].data.u64 != STOP_EVENT) readSocket(size_t(events[i].data.u64), now);
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

void Loop::readSocket(size_t socket, Clock::time_point now) {
    ReadBatch& r = *reads;
    r.reset();
    int received = recvmmsg(fleet.sockets()[socket].fd, r.headers, DATAGRAMS_PER_READ, 0, nullptr);
    for (int i = 0; i < received && reading; ++i) {
        msghdr& header = r.headers[i].msg_hdr;
        size_t device = fleet.deviceAt(socket, destinationOf(header));
        // Sent to a local address outside the fleet: no device to answer.
        if (device == Fleet::NONE) continue;
        serveDatagram(socket, device,
                      {static_cast<const uint8_t*>(r.vectors[i].iov_base), r.headers[i].msg_len}, r.peers[i],
                      now);
    }
    flush();
}

void Loop::serveDatagram(size_t socket, size_t device, std::span<const uint8_t> bytes,
                         const sockaddr_storage& peer, Clock::time_point now) {
    // An answer is itself a valid request: answering another agent (or
    // ourselves) would start an exchange that never ends.
    if (fleet.fromAgent(socket, peer)) {
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
    if (!states.allows(device, peer, now, options.budget)) {
        ++counts.overBudget;
        return;
    }
    if (log.isInfoEnabled()) {
        std::string from = endpointText(peer);
        if (fleet.size() == 1)
            log.info("%zu bytes from %s", bytes.size(), from.c_str());
        else
            log.info("%zu bytes from %s to %s", bytes.size(), from.c_str(),
                     endpointText(fleet.endpoint(device)).c_str());
    }
    // The demo clock shows seconds: once a second is enough to set it.
    if (time_t wall = time(nullptr); clock && wall != clockShown) {
        refreshDemoClock(*clock, wall);
        clockShown = wall;
    }
    HandleResult result = states.handle(device, bytes, options.readOnly);

    if (!result.replies.empty()) answer(device, peer, result.replies, now);
    if (result.request && ++counts.requests == options.requestLimit) stopReading();
}

void Loop::answer(size_t device, const sockaddr_storage& peer, std::vector<Datagram>& replies,
                  Clock::time_point now) {
    size_t bytes = 0;
    for (const Datagram& reply : replies) bytes += reply.size();
    states.charge(device, peer, replies.size(), bytes, now, options.budget);
    Clock::duration delay = answerDelay();
    for (Datagram& reply : replies) {
        if (delay == Clock::duration::zero()) {
            outgoing.push_back({device, peer, std::move(reply)});
            if (outgoing.size() >= SEND_BATCH) flush();
        } else if (delayed.size() < MAX_DELAYED) {
            delayed.push({now + delay, delayedOrder++, {device, peer, std::move(reply)}});
        } else {
            ++counts.unsent;
        }
    }
}

void Loop::flush() {
    for (size_t next = 0; next < outgoing.size();) next = sendRun(next);
    outgoing.clear();
}

// Sends the replies from outgoing[from] on that go out on the same socket,
// a batch at most, each from the address it answers for; returns where the
// next run starts. A reply the kernel refuses is counted and skipped.
size_t Loop::sendRun(size_t from) {
    mmsghdr* headers = sends->headers;
    iovec* vectors = sends->vectors;
    const size_t socket = fleet.socketOf(outgoing[from].device);
    unsigned n = 0;
    for (; n < SEND_BATCH && from + n < outgoing.size(); ++n) {
        Outgoing& o = outgoing[from + n];
        if (fleet.socketOf(o.device) != socket) break;
        vectors[n] = {o.bytes.data(), o.bytes.size()};
        msghdr& h = headers[n].msg_hdr;
        h = msghdr{};
        h.msg_name = &o.peer;
        h.msg_namelen = lengthOf(o.peer);
        h.msg_iov = &vectors[n];
        h.msg_iovlen = 1;
        // The shared socket must answer from the address that was asked.
        if (fleet.shared()) sendFrom(h, sends->control[n], fleet.endpoint(o.device));
    }
    int sent = sendmmsg(fleet.sockets()[socket].fd, headers, n, 0);
    if (sent > 0) {
        counts.replies += unsigned(sent);
        return from + unsigned(sent);
    }
    ++counts.unsent;
    log.warn("reply to %s not sent: %s", endpointText(outgoing[from].peer).c_str(), strerror(errno));
    return from + 1;
}

void Loop::sendDue(Clock::time_point now) {
    while (!delayed.empty() && delayed.top().due <= now) {
        // Moved out just before the pop: the order the queue keeps by is left as it was.
        outgoing.push_back(std::move(const_cast<Delayed&>(delayed.top()).out));
        delayed.pop();
        if (outgoing.size() >= SEND_BATCH) flush();
    }
    flush();
}

// No more requests: the sockets leave the set, answers still delayed go out.
void Loop::stopReading() {
    reading = false;
    for (const Socket& s : fleet.sockets()) epoll_ctl(epollFd, EPOLL_CTL_DEL, s.fd, nullptr);
}

void Loop::summarise(Clock::time_point now) {
    nextSummary = now + SUMMARY_PERIOD;
    if (counts.overBudget != shown.overBudget || counts.fromAgent != shown.fromAgent)
        log.warn(
            "in the last second: %lu requests dropped over a reply budget, %lu datagrams from an agent's "
            "port ignored",
            counts.overBudget - shown.overBudget, counts.fromAgent - shown.fromAgent);
    shown = counts;
    states.forgetIdle(now, options.budget);
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

ServeCounts serve(const Fleet& fleet, DeviceStates& states, const Options& options, TagStore* clock,
                  int stopFd) {
    Loop loop(fleet, states, options, clock, stopFd);
    return loop.run();
}
