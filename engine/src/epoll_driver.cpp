// The simplest loop around the engine: epoll on its descriptors until every
// exchange has ended.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

}  // namespace

bool runUntilDone(Engine& engine) {
    Epoll ep;
    if (ep.fd < 0) return false;
    for (int fd : engine.fds()) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(ep.fd, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    }
    std::vector<int> ready;
    epoll_event events[8];
    for (;;) {
        Clock::time_point wake = engine.process(ready, Clock::now());
        if (engine.pending() == 0) return true;
        int n = epoll_wait(ep.fd, events, 8, waitMilliseconds(wake));
        if (n < 0 && errno != EINTR) return false;
        ready.clear();
        for (int i = 0; i < n; ++i) ready.push_back(events[i].data.fd);
    }
}

}  // namespace tagengine
