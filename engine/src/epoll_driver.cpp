// The simplest loop around the engine: epoll on its descriptors until every
// exchange has ended.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <span>
#include <vector>

#include "tagengine.h"

namespace tagengine {

namespace {

// Milliseconds until the wake time, rounded up so the engine is never woken
// early only to find nothing due; -1 to wait for a descriptor alone.
int waitMilliseconds(Clock::time_point wake) {
    if (wake == Clock::time_point::max()) return -1;
    auto now = Clock::now();
    if (wake <= now) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    return ms > INT_MAX ? INT_MAX : int(ms);
}

class Epoll {
public:
    Epoll() : fd(epoll_create1(EPOLL_CLOEXEC)) {}
    ~Epoll() {
        if (fd >= 0) close(fd);
    }
    Epoll(const Epoll&) = delete;
    Epoll& operator=(const Epoll&) = delete;
    int fd;
};

bool watch(int epollFd, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

// Adds the descriptors past the first `watched` of fds.
bool watchNew(int epollFd, std::span<const int> fds, size_t& watched) {
    for (; watched < fds.size(); ++watched)
        if (!watch(epollFd, fds[watched])) return false;
    return true;
}

}  // namespace

bool runUntilDone(Engine& engine) { return runUntilDone(engine, -1) == RunEnd::Done; }

RunEnd runUntilDone(Engine& engine, int stopFd) { return runUntilDone(engine, stopFd, {}); }

RunEnd runUntilDone(Engine& engine, int stopFd, const std::function<void()>& idle) {
    Epoll ep;
    if (ep.fd < 0) return RunEnd::Failed;
    if (stopFd >= 0 && !watch(ep.fd, stopFd)) return RunEnd::Failed;
    size_t watched = 0;  // of engine.fds(), which grows by the IPv6 socket
    std::vector<int> ready;
    epoll_event events[8];
    for (;;) {
        if (!watchNew(ep.fd, engine.fds(), watched)) return RunEnd::Failed;
        Clock::time_point wake = engine.process(ready, Clock::now());
        if (engine.pending() == 0) return RunEnd::Done;
        // Callbacks may have submitted the first IPv6 target.
        if (!watchNew(ep.fd, engine.fds(), watched)) return RunEnd::Failed;
        int timeout = waitMilliseconds(wake);
        int n = 0;
        if (idle && timeout != 0) {
            // A look first: with nothing ready the loop is about to block,
            // the caller's moment.
            n = epoll_wait(ep.fd, events, 8, 0);
            if (n == 0) idle();
        }
        if (n <= 0) n = epoll_wait(ep.fd, events, 8, timeout);
        if (n < 0 && errno != EINTR) return RunEnd::Failed;
        ready.clear();
        bool stop = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == stopFd)
                stop = true;
            else
                ready.push_back(events[i].data.fd);
        }
        if (stop) {
            // What has arrived still counts, but nothing more goes out (a
            // write's next round least of all); the rest ends as cancelled.
            engine.holdSending();
            engine.process(ready, Clock::now());
            engine.cancelAll();
            engine.process({}, Clock::now());
            return RunEnd::Stopped;
        }
    }
}

}  // namespace tagengine
