#include "connection_guard.h"

#include <sys/socket.h>

namespace exporter {

struct ConnectionGuard::Tracked {
    int fd;
    Clock::time_point since;  // waiting for a request since
    bool isWaiting = true;
    bool isCut = false;
    std::list<Tracked*>::iterator place;  // in waiting, when isWaiting
};

void ConnectionGuard::cut(std::list<Tracked*>::iterator at) {
    Tracked* connection = *at;
    shutdown(connection->fd, SHUT_RDWR);
    connection->isCut = true;
    connection->isWaiting = false;
    waiting.erase(at);
    --live;
    ++cuts;
}

void ConnectionGuard::sweepLocked(Clock::time_point now) {
    while (!waiting.empty() && now - waiting.front()->since >= requestDeadline) cut(waiting.begin());
}

ConnectionGuard::Tracked* ConnectionGuard::opened(int fd, Clock::time_point now) {
    auto* connection = new Tracked{fd, now, true, false, {}};
    std::lock_guard guard(lock);
    ++tracked;
    ++live;
    connection->place = waiting.insert(waiting.end(), connection);
    sweepLocked(now);
    // The one waiting longest is this one when no other waits.
    if (live > maxConnections && !waiting.empty()) cut(waiting.begin());
    return connection;
}

void ConnectionGuard::requestIn(Tracked* connection) {
    std::lock_guard guard(lock);
    if (!connection->isWaiting) return;
    waiting.erase(connection->place);
    connection->isWaiting = false;
}

void ConnectionGuard::requestDone(Tracked* connection, Clock::time_point now) {
    std::lock_guard guard(lock);
    if (connection->isWaiting || connection->isCut) return;
    connection->isWaiting = true;
    connection->since = now;
    connection->place = waiting.insert(waiting.end(), connection);
}

void ConnectionGuard::closed(Tracked* connection) {
    {
        std::lock_guard guard(lock);
        if (connection->isWaiting) waiting.erase(connection->place);
        if (!connection->isCut) --live;
        --tracked;
    }
    delete connection;
}

void ConnectionGuard::sweep(Clock::time_point now) {
    std::lock_guard guard(lock);
    sweepLocked(now);
}

size_t ConnectionGuard::open() const {
    std::lock_guard guard(lock);
    return tracked;
}

size_t ConnectionGuard::cutOff() const {
    std::lock_guard guard(lock);
    return cuts;
}

}  // namespace exporter
