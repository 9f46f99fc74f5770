#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <log4cpp/Category.hh>
#include <thread>

#include <unistd.h>

#include "basic_credentials.h"
#include "config_yaml.h"
#include "listen_socket.h"
#include "metrics_text.h"
#include "probe.h"
#include "tagaddress.h"
#include "tagengine.h"

namespace exporter {

namespace {

using tagengine::Clock;

log4cpp::Category& logger() {
    static log4cpp::Category& category = log4cpp::Category::getInstance("tag_exporter");
    return category;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

constexpr const char PLAIN_TEXT[] = "text/plain; charset=utf-8";
constexpr const char REALM[] = "tag_exporter";

MHD_Response* makeResponse(const std::string& body, const char* type) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return nullptr;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    return response;
}

// allow: the methods a 405 names.
MHD_Result reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                 const char* allow = "GET, HEAD") {
    MHD_Response* response = makeResponse(body, type);
    if (!response) return MHD_NO;
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result replyText(MHD_Connection* connection, unsigned status, const std::string& text,
                     const char* allow = "GET, HEAD") {
    return reply(connection, status, text + "\n", PLAIN_TEXT, allow);
}

// 401 with the challenge that makes a browser or client ask for credentials.
MHD_Result askForCredentials(MHD_Connection* connection) {
    MHD_Response* response = makeResponse("Unauthorized\n", PLAIN_TEXT);
    if (!response) return MHD_NO;
    MHD_Result result = MHD_queue_basic_auth_fail_response(connection, REALM, response);
    MHD_destroy_response(response);
    return result;
}

// 429 or 503 with the seconds after which to ask again.
MHD_Result replyLater(MHD_Connection* connection, unsigned status, const std::string& text,
                      unsigned seconds) {
    MHD_Response* response = makeResponse(text + "\n", PLAIN_TEXT);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(seconds).c_str());
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

bool isMethod(const char* method, const char* wanted) { return strcmp(method, wanted) == 0; }

// The scrape time-out Prometheus sends; false for a malformed one.
bool scrapeTimeout(MHD_Connection* connection, std::optional<double>& timeout) {
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Prometheus-Scrape-Timeout-Seconds");
    if (!header) return true;
    std::string_view text(header);
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value <= 0)
        return false;
    timeout = value;
    return true;
}

std::string statusPage(const Config& config, const std::string& version) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>tag_exporter</title></head><body>\n"
        "<h1>tag_exporter " +
        htmlEscape(version) +
        "</h1>\n<p><a href=\"metrics\">Metrics of the exporter</a></p>\n"
        "<form action=\"probe\">Probe: <input name=\"target\" placeholder=\"127.0.0.1:60000\"> "
        "<select name=\"module\">";
    for (const auto& [name, module] : config.modules) page += "<option>" + htmlEscape(name) + "</option>";
    page += "</select> <input type=\"submit\" value=\"Probe\"></form>\n<h2>Configuration (" +
            htmlEscape(config.fileName) + ")</h2>\n<pre>" + htmlEscape(config.text) +
            "</pre>\n</body></html>\n";
    return page;
}

}  // namespace

// Whether a request may in: Checking while a worker runs bcrypt for it.
enum class HttpServer::Access : uint8_t { Unchecked, Checking, Granted, Refused, Throttled, Busy };

struct HttpServer::Request {
    std::string uri;  // as the client sent it, escapes and all
    enum class State : uint8_t { Headers, New, Running, Done } state = State::Headers;
    Access access = Access::Unchecked;
    unsigned retryAfter = 0;  // seconds, for Throttled
    unsigned status = 0;
    std::string body;
    MHD_Connection* connection = nullptr;
    ProbeQuery query;
    ProbePlan plan;
    Clock::time_point start;
    const char* contentType = PLAIN_TEXT;  // of the answer once Done
};

namespace {

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

int HttpServer::answerAccess(MHD_Connection* connection, Request& request, const char* url,
                             const char* method) {
    switch (request.access) {
    case Access::Unchecked:
    case Access::Checking: return MHD_YES;  // suspended until a worker has checked
    case Access::Granted: return route(connection, request, url, method);
    case Access::Refused: stats.countUnauthorised(); return askForCredentials(connection);
    case Access::Throttled:
        stats.countThrottled();
        return replyLater(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                          "too many failed password checks from this address", request.retryAfter);
    case Access::Busy:
        stats.countChecksBusy();
        return replyLater(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many password checks waiting", 1);
    }
    return MHD_NO;
}

int HttpServer::route(MHD_Connection* connection, Request& request, std::string_view path,
                      const char* method) {
    if (path == "/-/reload") return answerReload(connection, method);
    if (!isMethod(method, MHD_HTTP_METHOD_GET) && !isMethod(method, MHD_HTTP_METHOD_HEAD))
        return replyText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served");
    if (path == "/probe") return startProbe(connection, request);
    if (path == "/metrics")
        return reply(connection, MHD_HTTP_OK, stats.render(settings.version), TEXT_CONTENT_TYPE);
    if (path == "/-/healthy") return replyText(connection, MHD_HTTP_OK, "Healthy");
    if (path == "/-/ready") {
        if (refusing) return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "Stopping");
        return replyText(connection, MHD_HTTP_OK, "Ready");
    }
    if (path == "/config")
        return reply(connection, MHD_HTTP_OK, modulesYaml(*config.get()), "text/yaml; charset=utf-8");
    if (path == "/")
        return reply(connection, MHD_HTTP_OK, statusPage(*config.get(), settings.version),
                     "text/html; charset=utf-8");
    return replyText(connection, MHD_HTTP_NOT_FOUND, "not found; try /probe?target=HOST[:PORT]&module=NAME");
}

// Runs on the polling thread: a reload reads two small files, and doing it
// here keeps reloads one after another, answered in order.
int HttpServer::answerReload(MHD_Connection* connection, const char* method) {
    if (!isMethod(method, MHD_HTTP_METHOD_POST))
        return replyText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only POST reloads", "POST");
    if (!settings.reload)
        return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "reloading is not possible");
    std::string error;
    if (!settings.reload(error))
        return replyText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                         "failed to reload, the configuration in force is kept: " + error);
    return replyText(connection, MHD_HTTP_OK, "reloaded");
}

// On the polling thread, cheap: no credentials or malformed ones are
// refused, a remembered pair is let in, an address past its budget is
// throttled, each settled in request.access; anything else is suspended and
// queued for a worker's bcrypt (true), which settles it and resumes.
bool HttpServer::admit(MHD_Connection* connection, Request& request) {
    request.access = Access::Granted;
    std::shared_ptr<BasicAuth> auth = settings.auth ? settings.auth->get() : nullptr;
    if (!auth || !auth->required()) return false;
    request.access = Access::Refused;
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    Credentials credentials;
    if (!header || !parseBasicCredentials(header, credentials)) return false;
    if (auth->remembered(credentials.user, credentials.password)) {
        request.access = Access::Granted;
        return false;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    FailureBudget::Key key = info ? FailureBudget::keyOf(info->client_addr) : FailureBudget::Key{};
    auto now = FailureBudget::Clock::now();
    FailureBudget::Clock::duration wait{};
    if (!budget.take(key, now, wait)) {
        request.retryAfter = unsigned(std::chrono::ceil<std::chrono::seconds>(wait).count());
        request.access = Access::Throttled;
        return false;
    }
    unsigned rank = budget.rank(key, now);
    request.access = Access::Checking;
    request.connection = connection;
    request.state = Request::State::Running;
    ++suspended;
    MHD_suspend_connection(connection);
    auto done = [this, &request, key](CheckQueue::Verdict verdict) {
        // A right password or a check never run costs the address nothing.
        if (verdict == CheckQueue::Verdict::Granted) budget.succeeded(key, FailureBudget::Clock::now());
        if (verdict == CheckQueue::Verdict::Busy) budget.giveBack(key, FailureBudget::Clock::now());
        request.access = verdict == CheckQueue::Verdict::Granted   ? Access::Granted
                         : verdict == CheckQueue::Verdict::Refused ? Access::Refused
                                                                   : Access::Busy;
        request.state = Request::State::New;
        MHD_resume_connection(request.connection);
        --suspended;
    };
    if (!checks.submit(std::move(auth), credentials.user, credentials.password, rank, done))
        done(CheckQueue::Verdict::Busy);  // stopping
    return true;
}

int HttpServer::startProbe(MHD_Connection* connection, Request& request) {
    std::string_view uri(request.uri);
    size_t mark = uri.find('?');
    std::string_view raw = mark == std::string_view::npos ? std::string_view() : uri.substr(mark + 1);
    std::optional<double> timeout;
    std::string reason;
    std::shared_ptr<const Config> snapshot = config.get();
    bool ok = parseProbeQuery(raw, settings.limits, request.query, reason);
    if (ok && !scrapeTimeout(connection, timeout)) {
        ok = false;
        reason = "X-Prometheus-Scrape-Timeout-Seconds is not a positive number";
    }
    ok = ok && planProbe(request.query, *snapshot, timeout, settings.timeoutMargin, request.plan, reason);
    request.plan.debug = request.query.debug;
    sockaddr_storage literal{};
    bool isLiteral = ok && parseLiteral(request.query.host, 0, literal);
    if (isLiteral && !settings.allowed.allows(literal)) {
        ok = false;
        reason = "target " + request.query.host + " is outside --probe.allowed-targets";
    }
    if (!ok) {
        stats.countProbe(ProbeResult::BadRequest);
        logger().info("probe refused: %s", reason.c_str());
        return replyText(connection, MHD_HTTP_BAD_REQUEST, reason);
    }
    // Counted before refusing is read, and refuseProbes sets it before
    // reading the count: either this probe sees it, or the wait sees the probe.
    ++suspended;
    if (refusing) {
        --suspended;
        return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the exporter is stopping");
    }
    if (stats.inFlight.fetch_add(1) >= int64_t(settings.maxInFlight)) {
        --suspended;
        --stats.inFlight;
        stats.countProbe(ProbeResult::Overloaded);
        return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         "too many probes in flight (" + std::to_string(settings.maxInFlight) + ")");
    }
    request.state = Request::State::Running;
    request.connection = connection;
    request.start = Clock::now();
    MHD_suspend_connection(connection);
    resolver.resolve(
        request.query.host, request.plan.port,
        [this, &request](bool resolved, const sockaddr_storage& address, const std::string& error) {
            if (!resolved) {
                logger().info("probe of %s: %s", request.query.host.c_str(), error.c_str());
                std::string metrics = probeMetrics(nullptr, false, 0);
                if (request.plan.debug)
                    finishProbe(request, MHD_HTTP_OK,
                                "resolving " + request.query.host + " failed: " + error +
                                    "\n\nMetrics that would have been returned:\n" + metrics,
                                ProbeResult::Failure, 0, PLAIN_TEXT);
                else
                    finishProbe(request, MHD_HTTP_OK, std::move(metrics), ProbeResult::Failure, 0);
            } else if (!settings.allowed.allows(address)) {
                finishProbe(request, MHD_HTTP_BAD_REQUEST,
                            "target " + request.query.host + " resolves outside --probe.allowed-targets\n",
                            ProbeResult::BadRequest, -1);
            } else {
                probeAddress(request, address);
            }
        });
    return MHD_YES;
}

void HttpServer::probeAddress(Request& request, const sockaddr_storage& address) {
    bool v6 = request.query.host.find(':') != std::string::npos;
    std::string target =
        (v6 ? "[" + request.query.host + "]" : request.query.host) + ":" + std::to_string(request.plan.port);
    std::string key = MissingTags::keyOf(target, request.query.modules);
    request.plan.tags = missingTags.reduce(key, request.plan.tags, Clock::now());
    runProbe(transport, target, address, request.plan, [this, &request, target, key](ProbeOutcome&& outcome) {
        double seconds = std::chrono::duration<double>(Clock::now() - request.start).count();
        if (logger().isDebugEnabled() || !outcome.success)
            logger().log(outcome.success ? log4cpp::Priority::DEBUG : log4cpp::Priority::INFO,
                         "probe of %s: %s after %d attempts, %.3f s", target.c_str(), outcome.why.c_str(),
                         outcome.attempts, seconds);
        missingTags.learn(key, outcome.notHeld, Clock::now());
        bool debug = request.plan.debug;
        finishProbe(request, MHD_HTTP_OK, debug ? std::move(outcome.log) : std::move(outcome.text),
                    outcome.success ? ProbeResult::Success : ProbeResult::Failure, seconds,
                    debug ? PLAIN_TEXT : TEXT_CONTENT_TYPE);
    });
}

void HttpServer::finishProbe(Request& request, int status, std::string body, ProbeResult result,
                             double seconds, const char* type) {
    request.status = unsigned(status);
    request.contentType = type ? type : status == MHD_HTTP_OK ? TEXT_CONTENT_TYPE : PLAIN_TEXT;
    request.body = std::move(body);
    request.state = Request::State::Done;
    stats.countProbe(result);
    if (seconds >= 0) stats.observeDuration(seconds);
    --stats.inFlight;
    MHD_resume_connection(request.connection);
    --suspended;
}

bool parseListenAddress(const std::string& text, sockaddr_storage& storage, std::string& reason) {
    tagaddress::Parsed p = tagaddress::parse(text, {.needPort = true, .portZero = true, .emptyHost = true});
    if (p.fault == tagaddress::Fault::NotIpv6 && p.bracketed) {
        reason = "\"[" + p.part + "]\" is not an IPv6 address in brackets";
        return false;
    }
    if (p.fault == tagaddress::Fault::NoPort && !p.bracketed && std::ranges::count(text, ':') > 1) {
        reason = "\"" + text + "\" is not HOST:PORT (an IPv6 address goes in brackets)";
        return false;
    }
    if (p.fault != tagaddress::Fault::None) {
        reason = "\"" + text + "\" is not HOST:PORT";
        return false;
    }
    if (p.host.empty()) {
        p.ip = tagaddress::Ip{AF_INET, {}};  // every IPv4 address
    } else if (p.host == "localhost") {
        tagaddress::parseIp("127.0.0.1", p.ip);
    } else if (p.kind == tagaddress::Kind::Name) {
        reason = "\"" + p.host + "\" is not an IPv4 address (an IPv6 one goes in brackets)";
        return false;
    }
    storage = tagaddress::socketAddress(p.ip, *p.port);
    return true;
}

}  // namespace exporter
