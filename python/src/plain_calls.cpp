#include "plain_calls.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <atomic>

namespace tagproto {

namespace {

// Counts the forks this process made a child by; a child sees one more than
// its parent had, which tells each thread state made before it is stale.
std::atomic<unsigned> forks{0};

void forked() { forks.fetch_add(1, std::memory_order_relaxed); }

bool isAddress(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

PlainCalls::PlainCalls(unsigned forkCount) : generation(forkCount), core(tagengine::Options{}) {}

PlainCalls& PlainCalls::mine() {
    static const int registered = pthread_atfork(nullptr, nullptr, forked);
    (void)registered;
    // No Python object inside: it may go at the thread's end, without the GIL.
    thread_local std::unique_ptr<PlainCalls> calls;
    unsigned now = forks.load(std::memory_order_relaxed);
    if (!calls || calls->generation != now) calls.reset(new PlainCalls(now));
    return *calls;
}

tagengine::Exchange& PlainCalls::exchangeTo(std::string_view asked) {
    if (asked != target || target.empty()) {
        tagengine::Exchange fresh = tagengine::exchangeTo(std::string(asked));
        std::string why;
        if (isAddress(fresh.host) && !tagengine::resolveHost(fresh.host, fresh.port, fresh.address, why))
            fresh.address = sockaddr_storage{};  // left to submit, which says why
        parsed = std::move(fresh);
        target = asked;
    }
    return parsed;
}

}  // namespace tagproto
