// The transport the exporter runs: one thread that drives the shared engine
// with epoll. Probes from any thread queue their exchanges and wake it; the
// exchanges' callbacks run on it.
#ifndef EXPORTER_ENGINE_TRANSPORT_H
#define EXPORTER_ENGINE_TRANSPORT_H

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "exporter_stats.h"
#include "transport.h"

namespace exporter {

class EngineTransport : public Transport {
public:
    // Opens the engine and starts its thread. Throws std::system_error when
    // the socket, epoll or eventfd cannot be had.
    EngineTransport(const tagengine::Options& options, ExporterStats& stats);
    // Calls shutdown.
    ~EngineTransport() override;
    EngineTransport(const EngineTransport&) = delete;
    EngineTransport& operator=(const EngineTransport&) = delete;

    // After the destructor has begun, ends the exchange at once as
    // Cancelled: the one time done runs inside submit.
    void submit(tagengine::Exchange exchange) override;

    // Cancels what is still running (each callback runs, as Cancelled) and
    // joins the thread. Later calls do nothing.
    void shutdown();

private:
    void loop();
    void takeQueued(tagengine::Clock::time_point now);
    void cancelRunning(tagengine::Clock::time_point now);
    // Adds the engine's descriptors not yet watched (its IPv6 socket opens late).
    void watchNewSockets();

    tagengine::Engine engine;
    ExporterStats& stats;
    int epollFd = -1, wakeFd = -1;
    size_t watchedSockets = 0;
    std::mutex lock;
    std::vector<tagengine::Exchange> queued;  // under lock
    bool stopping = false;                    // under lock
    std::set<uint64_t> running;               // engine thread only
    std::thread thread;
};

}  // namespace exporter

#endif
