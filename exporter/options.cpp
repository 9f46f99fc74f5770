#include "options.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstring>

namespace exporter {

namespace {

enum Flag : int {
    CONFIG_FILE = 256,
    CONFIG_CHECK,
    LISTEN_ADDRESS,
    LOG_LEVEL,
    LOG_FORMAT,
    WEB_CONFIG_FILE,
    ALLOWED_TARGETS,
    MAX_IN_FLIGHT,
    MAX_REPLY_BYTES,
    TIMEOUT_MARGIN,
    MAX_CONNECTIONS,
    MAX_CONNECTIONS_PER_IP,
    REQUEST_TIMEOUT,
    HELP,
    VERSION
};

constexpr option FLAGS[] = {
    {"config.file", required_argument, nullptr, CONFIG_FILE},
    {"config.check", no_argument, nullptr, CONFIG_CHECK},
    {"web.listen-address", required_argument, nullptr, LISTEN_ADDRESS},
    {"log.level", required_argument, nullptr, LOG_LEVEL},
    {"log.format", required_argument, nullptr, LOG_FORMAT},
    {"web.config.file", required_argument, nullptr, WEB_CONFIG_FILE},
    {"probe.allowed-targets", required_argument, nullptr, ALLOWED_TARGETS},
    {"probe.max-in-flight", required_argument, nullptr, MAX_IN_FLIGHT},
    {"probe.max-reply-bytes", required_argument, nullptr, MAX_REPLY_BYTES},
    {"probe.timeout-margin", required_argument, nullptr, TIMEOUT_MARGIN},
    {"web.max-connections", required_argument, nullptr, MAX_CONNECTIONS},
    {"web.max-connections-per-ip", required_argument, nullptr, MAX_CONNECTIONS_PER_IP},
    {"web.request-timeout", required_argument, nullptr, REQUEST_TIMEOUT},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

template <typename T>
bool readNumber(const char* text, T& value) {
    const char* end = text + strlen(text);
    auto [stop, error] = std::from_chars(text, end, value);
    return *text != '\0' && error == std::errc() && stop == end;
}

bool takeFlag(int flag, const char* value, Options& options, std::string& error) {
    switch (flag) {
    case CONFIG_FILE: options.configFile = value; return true;
    case CONFIG_CHECK: options.configCheck = true; return true;
    case LISTEN_ADDRESS: options.listenAddress = value; return true;
    case LOG_LEVEL:
        options.logLevel = value;
        if (options.logLevel == "debug" || options.logLevel == "info" || options.logLevel == "warn" ||
            options.logLevel == "error")
            return true;
        error = "--log.level must be debug, info, warn or error";
        return false;
    case LOG_FORMAT:
        options.logFormat = value;
        if (options.logFormat == "logfmt" || options.logFormat == "json") return true;
        error = "--log.format must be logfmt or json";
        return false;
    case WEB_CONFIG_FILE: options.webConfigFile = value; return true;
    case ALLOWED_TARGETS: options.allowedTargets = value; return true;
    case MAX_IN_FLIGHT:
        if (readNumber(value, options.maxInFlight) && options.maxInFlight >= 1 &&
            options.maxInFlight <= 100000)
            return true;
        error = "--probe.max-in-flight must be a number from 1 to 100000";
        return false;
    case MAX_REPLY_BYTES:
        if (readNumber(value, options.maxReplyBytes) && options.maxReplyBytes >= 1024 &&
            options.maxReplyBytes <= (1UL << 30))
            return true;
        error = "--probe.max-reply-bytes must be a number from 1024 to 1073741824";
        return false;
    case TIMEOUT_MARGIN:
        if (readNumber(value, options.timeoutMargin) && std::isfinite(options.timeoutMargin) &&
            options.timeoutMargin >= 0)
            return true;
        error = "--probe.timeout-margin must be a number of seconds, 0 or more";
        return false;
    case MAX_CONNECTIONS:
        if (readNumber(value, options.maxConnections) && options.maxConnections >= 1 &&
            options.maxConnections <= 1000000)
            return true;
        error = "--web.max-connections must be a number from 1 to 1000000";
        return false;
    case MAX_CONNECTIONS_PER_IP:
        if (readNumber(value, options.maxConnectionsPerIp) && options.maxConnectionsPerIp >= 1 &&
            options.maxConnectionsPerIp <= 1000000)
            return true;
        error = "--web.max-connections-per-ip must be a number from 1 to 1000000";
        return false;
    case REQUEST_TIMEOUT:
        if (readNumber(value, options.requestTimeout) && std::isfinite(options.requestTimeout) &&
            options.requestTimeout >= 0.1 && options.requestTimeout <= 3600)
            return true;
        error = "--web.request-timeout must be a number of seconds from 0.1 to 3600";
        return false;
    case HELP: options.help = true; return true;
    case VERSION: options.version = true; return true;
    default: error = "unknown flag (see --help)"; return false;
    }
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    optind = 0;  // restart getopt: tests parse more than one command line
    opterr = 0;
    int flag = 0;
    while ((flag = getopt_long(argc, argv, "", FLAGS, nullptr)) != -1) {
        if (flag == '?') {
            error = std::string("unknown flag or missing value: ") + argv[optind - 1];
            return false;
        }
        if (!takeFlag(flag, optarg, options, error)) return false;
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return false;
    }
    return true;
}

void printUsage(FILE* out, const std::string& defaultConfig) {
    fprintf(out,
            "usage: tag_exporter [FLAGS]\n"
            "Serves device tags as Prometheus metrics: GET /probe?target=HOST[:PORT]&module=NAME\n\n"
            "  --config.file=FILE            modules file (default %s)\n"
            "  --config.check                check the modules file and exit\n"
            "  --web.listen-address=ADDR     HOST:PORT to serve on (default %s)\n"
            "  --web.config.file=FILE        TLS and basic authentication (tls_server_config,\n"
            "                                basic_auth_users; default: plain HTTP, open)\n"
            "  --log.level=LEVEL             debug, info, warn or error (default info)\n"
            "  --log.format=FORMAT           logfmt or json (default logfmt)\n"
            "  --probe.allowed-targets=LIST  CIDR networks probes may reach, comma-separated\n"
            "                                (default: any address; anyone who reaches the\n"
            "                                exporter can make it send datagrams there)\n"
            "  --probe.max-in-flight=N       probes at once; more get 503 (default 1024)\n"
            "  --probe.max-reply-bytes=N     bytes one device's reply may carry (default 1048576)\n"
            "  --probe.timeout-margin=SEC    kept back from the scrape time-out (default 0.5)\n"
            "  --web.max-connections=N       HTTP connections at once; past it, the one waiting\n"
            "                                longest for its request is closed (default 4096)\n"
            "  --web.max-connections-per-ip=N  from one client address (default 1024)\n"
            "  --web.request-timeout=SEC     a whole request must come within this of the\n"
            "                                connection or the last answer (default 10)\n"
            "  --help                        this text\n"
            "  --version                     the version\n"
            "SIGHUP or POST /-/reload reloads the modules file and the web configuration's\n"
            "users; a bad file keeps the old ones.\n",
            defaultConfig.c_str(), DEFAULT_LISTEN_ADDRESS);
}

}  // namespace exporter
