// tag_exporter's command line, in the style of Prometheus exporters:
// --name=value or --name value.
#ifndef EXPORTER_OPTIONS_H
#define EXPORTER_OPTIONS_H

#include <cstdio>
#include <string>

namespace cmdline {
class CommandLine;
}

namespace exporter {

constexpr const char DEFAULT_LISTEN_ADDRESS[] = "127.0.0.1:9727";

struct Options {
    std::string configFile;  // set to the installed default by the caller
    std::string listenAddress = DEFAULT_LISTEN_ADDRESS;
    std::string logLevel = "info";
    std::string logFormat = "logfmt";  // or json
    std::string webConfigFile;         // empty: plain HTTP, no authentication
    std::string allowedTargets;        // empty: any
    unsigned long maxInFlight = 1024;
    unsigned long maxReplyBytes = 1 << 20;
    double timeoutMargin = 0.5;
    unsigned long maxConnections = 4096;
    unsigned long maxConnectionsPerIp = 1024;
    double requestTimeout = 10;
    bool configCheck = false;
    bool help = false;
    bool version = false;
};

// The table of the flags, reading into options (whose configFile is the
// default the help names): for the parse, the help and the bash completion.
void describeOptions(cmdline::CommandLine& line, Options& options);

// False with the complaint for an unknown flag, a missing or malformed value,
// a flag with a value given twice, or a stray argument. -h, --help and
// --version end the parse with their flag set.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

void printUsage(FILE* out, const std::string& defaultConfig);

}  // namespace exporter

#endif
