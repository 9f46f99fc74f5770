#include "http_server.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include <unistd.h>

#include "http_request.h"
#include "listen_socket.h"

namespace exporter {

namespace {

using tagengine::Clock;

// The library's own complaints (oversized requests, refused connections) go
// to the exporter's log rather than straight to standard error.
void logLibrary(void* cls, const char* format, va_list args) {
    (void)cls;
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
    logger().info("http: %s", text);
}

ConnectionGuard::Tracked* trackedOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionGuard::Tracked*>(info->socket_context) : nullptr;
}

// The query is kept here and parsed by the exporter itself. The library
// would next split it into a record per '&' in its fixed memory, some fifty
// bytes for each byte of "&&&&": a 2 KiB query filled it, and a library out
// of memory closes the connection without an answer. Its copy of the query
// (in its own writable read buffer, not yet parsed) is overwritten with
// letters of the same length, which it reads as one argument.
void* logUri(void* cls, const char* uri, MHD_Connection*) {
    (void)cls;
    auto* request = new HttpServer::Request;
    request->uri = uri ? uri : "";
    if (const char* mark = uri ? strchr(uri, '?') : nullptr) {
        char* query = const_cast<char*>(mark) + 1;
        memset(query, 'x', strlen(query));
    }
    return request;
}

void completed(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    delete static_cast<HttpServer::Request*>(*context);
    *context = nullptr;
    if (ConnectionGuard::Tracked* tracked = trackedOf(connection))
        static_cast<HttpServer*>(cls)->connections().requestDone(tracked, ConnectionGuard::Clock::now());
}

void notifyConnection(void* cls, MHD_Connection* connection, void** socketContext,
                      MHD_ConnectionNotificationCode code) {
    ConnectionGuard& guard = static_cast<HttpServer*>(cls)->connections();
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info) *socketContext = guard.opened(info->connect_fd, ConnectionGuard::Clock::now());
    } else if (*socketContext) {
        guard.closed(static_cast<ConnectionGuard::Tracked*>(*socketContext));
        *socketContext = nullptr;
    }
}

// The request line and the headers as the client sent them, near enough:
// each header line is "name: value" and its line end.
size_t requestBytes(MHD_Connection* connection, const std::string& uri) {
    size_t total = uri.size();
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            *static_cast<size_t*>(cls) += strlen(key) + (value ? strlen(value) : 0) + 4;
            return MHD_YES;
        },
        &total);
    return total;
}

MHD_Result access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* version, const char* uploadData, size_t* uploadSize, void** context) {
    (void)version;
    (void)uploadData;
    auto* request = static_cast<HttpServer::Request*>(*context);
    if (!request) return MHD_NO;
    if (*uploadSize != 0) {  // a body is never read: let it pass
        *uploadSize = 0;
        return MHD_YES;
    }
    // The first call comes with the headers, before any body is read; an
    // answer queued then makes the library close the connection, so the
    // answer waits for the call that ends the request and keep-alive works.
    if (request->state == HttpServer::Request::State::Headers) {
        request->state = HttpServer::Request::State::New;
        return MHD_YES;
    }
    auto* server = static_cast<HttpServer*>(cls);
    if (ConnectionGuard::Tracked* tracked = trackedOf(connection)) server->connections().requestIn(tracked);
    return static_cast<MHD_Result>(server->handle(connection, *request, url, method));
}

}  // namespace

HttpServer::HttpServer(ServerSettings settings, ConfigHolder& config, Transport& transport,
                       Resolver& resolver, ExporterStats& stats)
    : settings(std::move(settings)),
      config(config),
      transport(transport),
      resolver(resolver),
      stats(stats),
      guard(this->settings.maxConnections, std::chrono::duration_cast<ConnectionGuard::Clock::duration>(
                                               std::chrono::duration<double>(this->settings.requestTimeout))),
      budget(this->settings.failureBudget),
      checks(this->settings.checkWorkers, this->settings.checkQueueLength) {}

HttpServer::~HttpServer() { stop(); }

// Slow clients are cut off when a connection comes (see ConnectionGuard)
// and, when none comes, by this thread.
void HttpServer::sweepSlowClients() {
    std::unique_lock hold(sweeperLock);
    while (!sweeperWake.wait_for(hold, std::chrono::milliseconds(250), [this] { return sweeperStop; }))
        guard.sweep(ConnectionGuard::Clock::now());
}

bool HttpServer::start(std::string& error) {
    // One polling thread (epoll) for every connection; suspended probes wait
    // without a thread of their own.
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (settings.listen.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    // The library's own connection limit is set above the guard's, so that
    // a new connection always reaches the guard, which makes room for it,
    // rather than being refused while the ones cut off are still closing.
    auto libraryLimit = unsigned(settings.maxConnections + std::max<size_t>(64, settings.maxConnections / 4));
    std::string listenError;
    int listenFd = openListenSocket(reinterpret_cast<const sockaddr*>(&settings.listen),
                                    sizeof settings.listen, listenError);
    if (listenFd < 0) {
        error = listenError;
        return false;
    }
    bool tls = !settings.tlsCertPem.empty() && !settings.tlsKeyPem.empty();
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        close(listenFd);
        error = "this build of libmicrohttpd cannot serve TLS";
        return false;
    }
    if (tls) flags |= MHD_USE_TLS;
    // The logger comes first: the library warns about options given before it.
    MHD_OptionItem tlsOptions[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(settings.tlsKeyPem.c_str())},
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(settings.tlsCertPem.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &access, this, MHD_OPTION_EXTERNAL_LOGGER, &logLibrary, nullptr,
        MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_CONNECTION_TIMEOUT, settings.connectionTimeout,
        MHD_OPTION_CONNECTION_LIMIT, libraryLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        unsigned(settings.maxConnectionsPerIp), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        connectionMemory(settings.maxRequestBytes), MHD_OPTION_URI_LOG_CALLBACK, &logUri, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &completed, this, MHD_OPTION_NOTIFY_CONNECTION, &notifyConnection, this,
        MHD_OPTION_ARRAY, tlsOptions, MHD_OPTION_END);
    if (!daemon) {
        close(listenFd);
        error =
            "cannot serve on " + addressText(reinterpret_cast<const sockaddr*>(&settings.listen)) +
            (tls ? ": the HTTP library refused to start with TLS" : ": the HTTP library refused to start");
        return false;
    }
    sweeper = std::thread([this] { sweepSlowClients(); });
    return true;
}

uint16_t HttpServer::port() const {
    const MHD_DaemonInfo* info = daemon ? MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
    return info ? info->port : 0;
}

void HttpServer::stop() {
    {
        std::lock_guard hold(sweeperLock);
        sweeperStop = true;
    }
    sweeperWake.notify_all();
    if (sweeper.joinable()) sweeper.join();
    checks.stop();  // every check queued ends and resumes its connection first
    if (daemon) MHD_stop_daemon(daemon);
    daemon = nullptr;
}

void HttpServer::refuseProbes() { refusing = true; }

bool HttpServer::waitForProbes(std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    while (suspended.load() > 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return suspended.load() == 0;
}

int HttpServer::handle(MHD_Connection* connection, Request& request, const char* url, const char* method) {
    if (request.state == Request::State::Done)
        return reply(connection, request.status, request.body, request.contentType);
    if (request.state == Request::State::Running) return MHD_YES;
    if (requestBytes(connection, request.uri) > settings.maxRequestBytes)
        return replyText(
            connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
            "request line and headers longer than " + std::to_string(settings.maxRequestBytes) + " bytes");
    // Once suspended the request is the worker's until it resumes it.
    if (request.access == Access::Unchecked && admit(connection, request)) return MHD_YES;
    return answerAccess(connection, request, url, method);
}

}  // namespace exporter
