// Keeps slow or silent clients from holding the connections scrapes need.
//
// The HTTP library's own time-out measures silence only: one byte every few
// seconds keeps a connection forever, and enough of them fill the
// connection limit. The guard tracks every connection from accept to close:
// one still waiting for its request (headers and body) when the deadline
// passes is cut off, and when the limit is reached a new connection makes
// room by cutting off the one that has waited longest for its request.
// Connections with a request in hand (a probe running, an answer going out)
// are never cut; when every connection has one, the new connection goes.
//
// Cutting off is shutdown(2) of the socket: the library then sees the end
// of the stream and closes the connection itself. The library tells of a
// close before it closes the descriptor, and both sides take the same lock,
// so a descriptor is never shut after it was closed and reused.
#ifndef EXPORTER_CONNECTION_GUARD_H
#define EXPORTER_CONNECTION_GUARD_H

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>

namespace exporter {

class ConnectionGuard {
public:
    using Clock = std::chrono::steady_clock;
    struct Tracked;

    ConnectionGuard(size_t maxConnections, Clock::duration requestDeadline)
        : maxConnections(maxConnections), requestDeadline(requestDeadline) {}
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // A connection accepted on socket fd; the handle is given back to the
    // calls below. May cut off others, or this one.
    Tracked* opened(int fd, Clock::time_point now);
    // Its request is in: it is no longer cut off for being slow.
    void requestIn(Tracked* connection);
    // Its answer went out; the deadline for the next request on the same
    // connection starts now.
    void requestDone(Tracked* connection, Clock::time_point now);
    // The library closed it (its descriptor is still open).
    void closed(Tracked* connection);
    // Cuts off the connections past the deadline.
    void sweep(Clock::time_point now);

    size_t open() const;    // connections tracked, cut off or not
    size_t cutOff() const;  // since the start

private:
    void cut(std::list<Tracked*>::iterator at);
    void sweepLocked(Clock::time_point now);

    size_t maxConnections;
    Clock::duration requestDeadline;
    mutable std::mutex lock;
    size_t live = 0;     // open and not cut off
    size_t tracked = 0;  // open
    size_t cuts = 0;
    std::list<Tracked*> waiting;  // waiting for a request, longest first
};

}  // namespace exporter

#endif
