// tag_exporter: device tags as Prometheus metrics. The HTTP server takes
// /probe requests, the shared engine asks the devices, and the main thread
// acts on signals: SIGHUP reloads the modules file (as POST /-/reload does),
// SIGINT and SIGTERM stop.
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <log4cpp/Category.hh>
#include <memory>

#include "config.h"
#include "credentials.h"
#include "engine_transport.h"
#include "http_server.h"
#include "listen_socket.h"
#include "log_format.h"
#include "options.h"
#include "reloader.h"
#include "signal_pipe.h"
#include "vlog.h"
#include "web_config.h"

namespace {

using namespace exporter;

log4cpp::Category& logger() { return log4cpp::Category::getInstance("tag_exporter"); }

cVlog::VlogPiority priorityOf(const std::string& level) {
    if (level == "debug") return cVlog::DEBUG;
    if (level == "warn") return cVlog::WARN;
    if (level == "error") return cVlog::ERROR;
    return cVlog::INFO;
}

// A thousand probes in flight hold a thousand connections: take the whole
// descriptor allowance the system grants.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Probes still running, or still resolving their target, end as failed
// and their connections are answered before the server stops. New probes
// are refused first, so that none starts behind the engine's back.
void stop(HttpServer& server, EngineTransport& transport, Resolver& resolver) {
    server.refuseProbes();
    transport.shutdown();
    resolver.drain();
    if (!server.waitForProbes(std::chrono::seconds(10)))
        logger().warn("probes still unanswered after 10 s; stopping all the same");
    server.stop();
}

int serve(const Options& options, ServerSettings settings, std::shared_ptr<const Config> config,
          const WebConfig& web) {
    SignalPipe signals;
    // Blocked while the threads start, so that they inherit the mask and
    // the kernel hands the signals to this thread (or to a thread of the C
    // library's, whose handler call reaches the pipe all the same).
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&mask, s);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ExporterStats stats;
    stats.countReload(true, double(time(nullptr)));
    ConfigHolder holder;
    holder.set(std::move(config));
    AuthHolder auth;
    try {
        auth.set(std::make_shared<BasicAuth>(web.users));
    } catch (const std::exception& e) {
        fprintf(stderr, "tag_exporter: %s: %s\n", options.webConfigFile.c_str(), e.what());
        return 1;
    }
    settings.auth = &auth;
    settings.tlsCertPem = web.certPem;
    settings.tlsKeyPem = web.keyPem;
    tagengine::Options engineOptions;
    engineOptions.maxInFlight = settings.maxInFlight;
    engineOptions.maxReplyBytes = options.maxReplyBytes;
    // A probe spreads its module's few retries over the scrape's budget: a
    // device that sheds a burst of probes is asked again later, not within
    // a few round trips.
    engineOptions.estimateWaits = false;
    std::unique_ptr<EngineTransport> transport;
    try {
        transport = std::make_unique<EngineTransport>(engineOptions, stats);
    } catch (const std::exception& e) {
        fprintf(stderr, "tag_exporter: cannot start the engine: %s\n", e.what());
        return 1;
    }
    Resolver resolver;
    HttpServer* served = nullptr;  // set before the first request can come
    Reloader reloader({options.configFile, options.webConfigFile}, web, holder, auth, stats, [&served] {
        served->forgetMissingTags();  // a device may have been changed too: ask it everything again
    });
    settings.reload = [&reloader](std::string& error) { return reloader.reload(error); };
    const sockaddr_storage listen = settings.listen;
    HttpServer server(std::move(settings), holder, *transport, resolver, stats);
    served = &server;
    std::string error;
    if (!server.start(error)) {
        fprintf(stderr, "tag_exporter: %s\n", error.c_str());
        return 1;
    }
    pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
    // The port first, where scripts read it; then the address, since a
    // port alone does not say whether other machines can reach it.
    logger().notice("listening on port %u at %s%s", unsigned(server.port()),
                    hostText(reinterpret_cast<const sockaddr*>(&listen)).c_str(), web.tls ? " (TLS)" : "");
    int received = signals.wait();
    for (; received == SIGHUP; received = signals.wait()) {
        std::string reloadError;
        reloader.reload(reloadError);  // logged and counted there
    }
    logger().notice("stopping on signal %d", received);
    stop(server, *transport, resolver);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.configFile = TAG_EXPORTER_DEFAULT_CONFIG;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        fprintf(stderr, "tag_exporter: %s\n", error.c_str());
        printUsage(stderr, TAG_EXPORTER_DEFAULT_CONFIG);
        return 2;
    }
    if (options.help) {
        printUsage(stdout, TAG_EXPORTER_DEFAULT_CONFIG);
        return 0;
    }
    if (options.version) {
        printf("tag_exporter %s\n", TAG_EXPORTER_VERSION);
        return 0;
    }
    cVlog::init(priorityOf(options.logLevel));
    useLogFormat(options.logFormat == "json" ? LogFormat::Json : LogFormat::Logfmt);
    // Under systemd a relative web configuration is one of the unit's
    // credentials; the reloads read the same file.
    options.webConfigFile = credentialPath(options.webConfigFile, getenv("CREDENTIALS_DIRECTORY"));
    auto config = std::make_shared<Config>();
    WebConfig web;
    if (!loadConfigFile(options.configFile, *config, error) ||
        (!options.webConfigFile.empty() && !loadWebConfigFile(options.webConfigFile, web, error))) {
        fprintf(stderr, "tag_exporter: %s\n", error.c_str());
        return 1;
    }
    if (options.configCheck) {
        printf("%s: %zu modules, OK\n", options.configFile.c_str(), config->modules.size());
        return 0;
    }
    ServerSettings settings;
    settings.maxInFlight = options.maxInFlight;
    settings.timeoutMargin = options.timeoutMargin;
    settings.maxConnections = options.maxConnections;
    settings.maxConnectionsPerIp = options.maxConnectionsPerIp;
    settings.requestTimeout = options.requestTimeout;
    settings.version = TAG_EXPORTER_VERSION;
    if (!parseListenAddress(options.listenAddress, settings.listen, error) ||
        !settings.allowed.parse(options.allowedTargets, error)) {
        fprintf(stderr, "tag_exporter: %s\n", error.c_str());
        return 2;
    }
    raiseDescriptorLimit();
    return serve(options, std::move(settings), std::move(config), web);
}
