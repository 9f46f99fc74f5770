// The HTTP side: /probe, /metrics and a status page, served by one polling
// thread of libmicrohttpd. A probe suspends its connection and the engine's
// thread resumes it with the answer, so probes in flight cost a connection
// each, not a thread.
#ifndef EXPORTER_HTTP_SERVER_H
#define EXPORTER_HTTP_SERVER_H

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <string>

#include "allow_list.h"
#include "config_holder.h"
#include "exporter_stats.h"
#include "missing_tags.h"
#include "query.h"
#include "resolver.h"
#include "transport.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace exporter {

struct ServerSettings {
    sockaddr_in listen{};
    size_t maxInFlight = 1024;  // probes; past it, 503
    QueryLimits limits;
    double timeoutMargin = 0.5;       // seconds kept back from Prometheus's scrape time-out
    unsigned connectionTimeout = 10;  // seconds a client may stay idle or slow
    size_t requestMemory = 16384;     // bytes of request line and headers; more is refused
    AllowList allowed;
    std::string version;
};

class HttpServer {
public:
    HttpServer(ServerSettings settings, ConfigHolder& config, Transport& transport, Resolver& resolver,
               ExporterStats& stats);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving; false with the reason when it cannot.
    bool start(std::string& error);
    // The port bound (useful when the settings asked for port 0).
    uint16_t port() const;
    // Stops taking connections; those open are ended. Every probe must be
    // answered first (waitForProbes): the library cannot stop with a
    // connection suspended.
    void stop();
    // From now on probes are answered 503, so that none starts while the
    // program stops.
    void refuseProbes();
    // Waits until every probe started has been answered; false if some are
    // still running after the limit.
    bool waitForProbes(std::chrono::milliseconds limit);
    // Forgets which tags devices were found not to hold (on SIGHUP).
    void forgetMissingTags() { missingTags.forgetAll(); }

    // Called by the library; public only for its C callbacks.
    struct Request;
    int handle(MHD_Connection* connection, Request& request, const char* url, const char* method);

private:
    int startProbe(MHD_Connection* connection, Request& request);
    void probeAddress(Request& request, const sockaddr_in& address);
    void finishProbe(Request& request, int status, std::string body, ProbeResult result, double seconds);

    ServerSettings settings;
    ConfigHolder& config;
    Transport& transport;
    Resolver& resolver;
    ExporterStats& stats;
    MissingTags missingTags;
    MHD_Daemon* daemon = nullptr;
    std::atomic<bool> refusing{false};
    std::atomic<int> suspended{0};  // probes between suspend and resume
};

// "HOST:PORT" or ":PORT" (every interface) with HOST an IPv4 address or
// "localhost". False with the reason otherwise.
bool parseListenAddress(const std::string& text, sockaddr_in& address, std::string& reason);

}  // namespace exporter

#endif
