#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "command_line.h"

namespace exporter {

namespace {

template <typename T>
bool readNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

// A whole number within [min, max] into out, or the complaint.
cmdline::CommandLine::Reader count(unsigned long& out, unsigned long min, unsigned long max,
                                   const char* complaint) {
    return [&out, min, max, complaint](const std::string& text) {
        if (!readNumber(text, out) || out < min || out > max) throw cmdline::UsageError(complaint);
    };
}

// Seconds within [min, max] into out, or the complaint.
cmdline::CommandLine::Reader seconds(double& out, double min, double max, const char* complaint) {
    return [&out, min, max, complaint](const std::string& text) {
        if (!readNumber(text, out) || !std::isfinite(out) || out < min || out > max)
            throw cmdline::UsageError(complaint);
    };
}

// One of the words, into out, or the complaint.
cmdline::CommandLine::Reader oneOf(std::string& out, std::vector<std::string> words, const char* complaint) {
    return [&out, words = std::move(words), complaint](const std::string& text) {
        if (std::find(words.begin(), words.end(), text) == words.end()) throw cmdline::UsageError(complaint);
        out = text;
    };
}

cmdline::CommandLine::Reader text(std::string& out) {
    return [&out](const std::string& value) { out = value; };
}

cmdline::Wording wording() {
    return {[](const std::string& arg) { return "unknown flag: " + arg; },
            [](const std::string& arg) { return "flag needs a value: " + arg; },
            [](const std::string& arg) { return "unexpected argument: " + arg; }};
}

}  // namespace

void describeOptions(cmdline::CommandLine& line, Options& o) {
    line.single({"--config.file"}, "FILE", "modules file (default " + o.configFile + ")", text(o.configFile));
    line.flag({"--config.check"}, "check the modules file and exit", [&o] { o.configCheck = true; });
    line.single({"--web.listen-address"}, "ADDR",
                std::string("HOST:PORT to serve on (default ") + DEFAULT_LISTEN_ADDRESS + ")",
                text(o.listenAddress));
    line.single({"--web.config.file"}, "FILE",
                "TLS and basic authentication (tls_server_config,\n"
                "basic_auth_users; default: plain HTTP, open)",
                text(o.webConfigFile));
    line.single({"--log.level"}, "LEVEL", "debug, info, warn or error (default info)",
                oneOf(o.logLevel, {"debug", "info", "warn", "error"},
                      "--log.level must be debug, info, warn or error"),
                {"debug", "info", "warn", "error"});
    line.single({"--log.format"}, "FORMAT", "logfmt or json (default logfmt)",
                oneOf(o.logFormat, {"logfmt", "json"}, "--log.format must be logfmt or json"),
                {"logfmt", "json"});
    line.single({"--probe.allowed-targets"}, "LIST",
                "CIDR networks probes may reach, comma-separated\n"
                "(default: any address; anyone who reaches the\n"
                "exporter can make it send datagrams there)",
                text(o.allowedTargets));
    line.single({"--probe.max-in-flight"}, "N", "probes at once; more get 503 (default 1024)",
                count(o.maxInFlight, 1, 100000, "--probe.max-in-flight must be a number from 1 to 100000"));
    line.single({"--probe.max-reply-bytes"}, "N", "bytes one device's reply may carry (default 1048576)",
                count(o.maxReplyBytes, 1024, 1UL << 30,
                      "--probe.max-reply-bytes must be a number from 1024 to 1073741824"));
    line.single({"--probe.timeout-margin"}, "SEC", "kept back from the scrape time-out (default 0.5)",
                seconds(o.timeoutMargin, 0, HUGE_VAL,
                        "--probe.timeout-margin must be a number of seconds, 0 or more"));
    line.single(
        {"--web.max-connections"}, "N",
        "HTTP connections at once; past it, the one waiting\n"
        "longest for its request is closed (default 4096)",
        count(o.maxConnections, 1, 1000000, "--web.max-connections must be a number from 1 to 1000000"));
    line.single({"--web.max-connections-per-ip"}, "N", "from one client address (default 1024)",
                count(o.maxConnectionsPerIp, 1, 1000000,
                      "--web.max-connections-per-ip must be a number from 1 to 1000000"));
    line.single({"--web.request-timeout"}, "SEC",
                "a whole request must come within this of the\n"
                "connection or the last answer (default 10)",
                seconds(o.requestTimeout, 0.1, 3600,
                        "--web.request-timeout must be a number of seconds from 0.1 to 3600"));
    line.helpAndVersion(true, "this text", "the version");
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    cmdline::CommandLine line("tag_exporter", wording());
    describeOptions(line, options);
    return line.parse(argc, argv, options.help, options.version, error);
}

void printUsage(FILE* out, const std::string& defaultConfig) {
    Options defaults;
    defaults.configFile = defaultConfig;
    cmdline::CommandLine line("tag_exporter", wording());
    describeOptions(line, defaults);
    fprintf(out,
            "usage: tag_exporter [FLAGS]\n"
            "Serves device tags as Prometheus metrics: GET /probe?target=HOST[:PORT]&module=NAME\n\n"
            "%s"
            "SIGHUP or POST /-/reload reloads the modules file and the web configuration's\n"
            "users; a bad file keeps the old ones.\n",
            line.optionsHelp(32, true).c_str());
}

}  // namespace exporter
