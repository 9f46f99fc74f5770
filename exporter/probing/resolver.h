// Host names of probe targets, resolved off the HTTP thread so that a slow
// name server delays only the probes that name it.
#ifndef EXPORTER_RESOLVER_H
#define EXPORTER_RESOLVER_H

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <string>

namespace exporter {

// ok false: error says why (no address, or the system's reason).
using Resolved = std::function<void(bool ok, const sockaddr_storage& address, const std::string& error)>;

// An IPv4 or IPv6 literal (no brackets) with the port; an IPv4-mapped IPv6
// one becomes the IPv4 address it stands for. False for anything else.
bool parseLiteral(const std::string& host, uint16_t port, sockaddr_storage& address);

class Resolver {
public:
    // Calls drain.
    ~Resolver();
    // Waits (up to 10 s) until no lookup is running, so that none calls
    // back into a program that is shutting down.
    void drain();
    // A literal calls back at once, on the caller's thread; a name calls
    // back later from a thread of the C library's, with its first IPv4
    // address, or its first IPv6 one when it has no IPv4 address.
    void resolve(const std::string& host, uint16_t port, Resolved done);

private:
    std::atomic<int> running{0};
};

}  // namespace exporter

#endif
