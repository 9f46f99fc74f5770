// /probe: the query read and checked, the target resolved and allowed, the
// probe run on the engine's thread and its answer handed back to the
// suspended connection.
#include <microhttpd.h>

#include <charconv>
#include <cmath>

#include "http_request.h"
#include "metrics_text.h"

namespace exporter {

namespace {

using tagengine::Clock;

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

}  // namespace

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

}  // namespace exporter
