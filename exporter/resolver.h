// Host names of probe targets, resolved off the HTTP thread so that a slow
// name server delays only the probes that name it.
#ifndef EXPORTER_RESOLVER_H
#define EXPORTER_RESOLVER_H

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <string>

namespace exporter {

// ok false: error says why (no IPv4 address, or the system's reason).
using Resolved = std::function<void(bool ok, const sockaddr_in& address, const std::string& error)>;

class Resolver {
public:
    // Calls drain.
    ~Resolver();
    // Waits (up to 10 s) until no lookup is running, so that none calls
    // back into a program that is shutting down.
    void drain();
    // An IPv4 literal calls back at once, on the caller's thread; a name
    // calls back later from a thread of the C library's.
    void resolve(const std::string& host, uint16_t port, Resolved done);

private:
    std::atomic<int> running{0};
};

}  // namespace exporter

#endif
