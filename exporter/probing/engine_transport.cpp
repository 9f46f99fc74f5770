#include "engine_transport.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace exporter {

namespace {

using tagengine::Clock;

int checked(int fd, const char* what) {
    if (fd < 0) throw std::system_error(errno, std::generic_category(), what);
    return fd;
}

void watch(int epollFd, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
}

int millisecondsUntil(Clock::time_point next, Clock::time_point now) {
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return int(std::min<int64_t>(wait, 60000));
}

}  // namespace

EngineTransport::EngineTransport(const tagengine::Options& options, ExporterStats& stats)
    : engine(options), stats(stats) {
    epollFd = checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
    wakeFd = checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    watch(epollFd, wakeFd);
    watchNewSockets();
    thread = std::thread([this] { loop(); });
}

EngineTransport::~EngineTransport() {
    shutdown();
    close(wakeFd);
    close(epollFd);
}

void EngineTransport::shutdown() {
    {
        std::lock_guard guard(lock);
        stopping = true;
    }
    uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof one);
    if (thread.joinable()) thread.join();
}

void EngineTransport::submit(tagengine::Exchange exchange) {
    {
        std::unique_lock guard(lock);
        if (stopping) {
            // Shutting down: the exchange ends before it starts, so whoever
            // waits for it is still answered.
            guard.unlock();
            tagengine::Result result;
            result.target = exchange.target;
            result.status = tagengine::Status::Cancelled;
            exchange.done(std::move(result));
            return;
        }
        queued.push_back(std::move(exchange));
    }
    uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof one);
}

void EngineTransport::takeQueued(Clock::time_point now) {
    std::vector<tagengine::Exchange> batch;
    {
        std::lock_guard guard(lock);
        batch.swap(queued);
    }
    for (tagengine::Exchange& exchange : batch) {
        // The id is known only once submit returns; the callback, which
        // never runs inside submit, finds it by then.
        auto id = std::make_shared<uint64_t>(0);
        tagengine::Callback done = std::move(exchange.done);
        exchange.done = [this, id, done = std::move(done)](tagengine::Result&& result) {
            running.erase(*id);
            done(std::move(result));
        };
        *id = engine.submit(std::move(exchange), now);
        running.insert(*id);
    }
}

void EngineTransport::watchNewSockets() {
    std::span<const int> fds = engine.fds();
    for (; watchedSockets < fds.size(); ++watchedSockets) watch(epollFd, fds[watchedSockets]);
}

void EngineTransport::cancelRunning(Clock::time_point now) {
    std::set<uint64_t> ids = running;
    for (uint64_t id : ids) engine.cancel(id);
    engine.process({}, now);
}

void EngineTransport::loop() {
    std::array<epoll_event, 16> events{};
    std::vector<int> ready;
    Clock::time_point next = Clock::time_point::max();
    for (;;) {
        int count =
            epoll_wait(epollFd, events.data(), int(events.size()), millisecondsUntil(next, Clock::now()));
        if (count < 0 && errno != EINTR) break;
        ready.clear();
        for (int i = 0; i < count; ++i) {
            if (events[size_t(i)].data.fd == wakeFd) {
                uint64_t drained = 0;
                (void)!read(wakeFd, &drained, sizeof drained);
            } else {
                ready.push_back(events[size_t(i)].data.fd);
            }
        }
        Clock::time_point now = Clock::now();
        bool stop = false;
        {
            std::lock_guard guard(lock);
            stop = stopping;
        }
        takeQueued(now);
        if (stop) break;
        // The first IPv6 target opens the engine's IPv6 socket.
        watchNewSockets();
        next = engine.process(ready, now);
        tagengine::Engine::Stats figures = engine.stats();
        stats.sent = figures.sent;
        stats.received = figures.received;
        stats.dropped = figures.dropped;
    }
    cancelRunning(Clock::now());
}

}  // namespace exporter
