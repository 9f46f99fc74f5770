// The HTTP side: /probe, /metrics, /config, /-/healthy, /-/ready,
// /-/reload and a status page, served by one polling thread of
// libmicrohttpd, over TLS and behind basic authentication when asked. A probe suspends its connection and the
// engine's thread resumes it with the answer, so probes in flight cost a connection each, not a thread.
// A password not verified before suspends its connection the same way while
// a worker of the CheckQueue runs bcrypt; a remembered one is let in on the
// spot. An address that has spent its FailureBudget is answered 429.
//
// Its files by job: http_server.cpp (the library's callbacks, start and
// stop), http_access.cpp (who may in), http_routes.cpp (every path but
// /probe), probe_handler.cpp (/probe) and http_reply.cpp (the answers).
#ifndef EXPORTER_HTTP_SERVER_H
#define EXPORTER_HTTP_SERVER_H

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "allow_list.h"
#include "auth_holder.h"
#include "check_queue.h"
#include "config_holder.h"
#include "connection_guard.h"
#include "exporter_stats.h"
#include "failure_budget.h"
#include "missing_tags.h"
#include "query.h"
#include "resolver.h"
#include "transport.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace exporter {

struct ServerSettings {
    sockaddr_storage listen{};  // AF_INET or AF_INET6
    size_t maxInFlight = 1024;  // probes; past it, 503
    QueryLimits limits;
    double timeoutMargin = 0.5;       // seconds kept back from Prometheus's scrape time-out
    unsigned connectionTimeout = 10;  // seconds a client may stay silent
    double requestTimeout = 10;       // seconds from accept (or the last answer) to a whole request
    size_t maxConnections = 4096;     // past it, the one waiting longest for its request goes
    size_t maxConnectionsPerIp = 1024;
    size_t maxRequestBytes = 16384;  // request line and headers; more is refused with 431
    AllowList allowed;
    std::string version;
    // TLS when both are set: the certificate chain and its key, PEM.
    std::string tlsCertPem, tlsKeyPem;
    // The users of basic authentication; null or none: every request is let in.
    AuthHolder* auth = nullptr;
    // What POST /-/reload does (SIGHUP's reload); null: answered 503.
    std::function<bool(std::string& error)> reload;
    // Workers that run bcrypt, and how many checks may wait for them; past
    // it, 503.
    size_t checkWorkers = CheckQueue::workersFor(std::thread::hardware_concurrency());
    size_t checkQueueLength = 128;
    FailureBudget::Settings failureBudget;
};

// The HTTP library's memory per connection: the request line and headers
// (maxRequestBytes) with room for a record per header line and for the
// answer, so that every request within the bounds is read and every one
// beyond them is answered (the library sends nothing when it runs out).
constexpr size_t connectionMemory(size_t maxRequestBytes) { return 4 * maxRequestBytes; }

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
    ConnectionGuard& connections() { return guard; }

private:
    int route(MHD_Connection* connection, Request& request, std::string_view path, const char* method);
    int answerReload(MHD_Connection* connection, const char* method);
    enum class Access : uint8_t;
    bool admit(MHD_Connection* connection, Request& request);
    int answerAccess(MHD_Connection* connection, Request& request, const char* url, const char* method);
    int startProbe(MHD_Connection* connection, Request& request);
    void probeAddress(Request& request, const sockaddr_storage& address);
    void finishProbe(Request& request, int status, std::string body, ProbeResult result, double seconds,
                     const char* type = nullptr);

    ServerSettings settings;
    ConfigHolder& config;
    Transport& transport;
    Resolver& resolver;
    ExporterStats& stats;
    void sweepSlowClients();

    MissingTags missingTags;
    ConnectionGuard guard;
    FailureBudget budget;
    CheckQueue checks;
    std::mutex sweeperLock;
    std::condition_variable sweeperWake;
    bool sweeperStop = false;  // under sweeperLock
    std::thread sweeper;
    MHD_Daemon* daemon = nullptr;
    std::atomic<bool> refusing{false};
    std::atomic<int> suspended{0};  // probes between suspend and resume
};

}  // namespace exporter

#endif
