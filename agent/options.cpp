#include "options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "command_line.h"
#include "tag_vocabulary.h"

namespace {

// The fleet options that share a reader.
enum FleetOption { DEVICES, LOSS, DELAY, BUDGET };

// The longest delay or jitter: a minute, far beyond any client's patience.
constexpr unsigned long MAX_DELAY_MS = 60000;

// A whole decimal number within [min, max]; no sign, blanks or suffix.
bool readNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    if (*text < '0' || *text > '9') return false;
    char* end;
    errno = 0;
    value = strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

// Two numbers "FIRST:SECOND" within [0, max]; with optional, "FIRST" alone
// leaves second as it is.
bool readPair(const char* text, unsigned long max, bool optional, unsigned long& first,
              unsigned long& second) {
    std::string head(text);
    const char* colon = strchr(text, ':');
    if (colon) head.resize(size_t(colon - text));
    if (!colon && !optional) return false;
    return readNumber(head.c_str(), 0, max, first) && (!colon || readNumber(colon + 1, 0, max, second));
}

// A share from 0 to 1 written as a decimal fraction ("0.05", "1").
bool readShare(const char* text, double& share) {
    if ((*text < '0' || *text > '9') && *text != '.') return false;
    char* end;
    share = strtod(text, &end);
    return *end == '\0' && std::isfinite(share) && share >= 0 && share <= 1;
}

// Comma-separated tag names into the set; false, naming it, at the first
// name that is unknown or takes no value (a SET of it is refused anyway).
bool readTagNames(const char* text, ReadOnlyTags& tags, std::string& error) {
    std::string_view rest(text);
    for (;;) {
        size_t comma = rest.find(',');
        std::string name(rest.substr(0, comma));
        const TagEntry* entry = tagByName(name.c_str());
        if (!entry || entry->kind == TagKind::None) {
            error = "bad read-only tag '" + name + "'";
            return false;
        }
        tags.set(entry->id);
        if (comma == std::string_view::npos) return true;
        rest.remove_prefix(comma + 1);
    }
}

// Reads one of the fleet options; throws the complaint.
void readFleetOption(int opt, const std::string& text, Options& options) {
    const char* value = text.c_str();
    unsigned long replies = 0, bytes = 0;
    bool good = true;
    switch (opt) {
    case DEVICES: good = readNumber(value, 1, MAX_DEVICES, options.devices); break;
    case LOSS: good = readShare(value, options.loss); break;
    case DELAY:
        options.jitterMs = 0;
        good = readPair(value, MAX_DELAY_MS, true, options.delayMs, options.jitterMs);
        break;
    default:  // BUDGET: "0" alone lifts both limits
        good = text == "0" || readPair(value, 0xFFFFFFFF, false, replies, bytes);
        options.budget = {uint32_t(replies), uint32_t(bytes)};
        break;
    }
    if (!good) {
        const char* what = opt == DEVICES ? "device count"
                           : opt == LOSS  ? "loss"
                           : opt == DELAY ? "delay"
                                          : "budget";
        throw cmdline::UsageError(std::string("bad ") + what + " '" + text + "'");
    }
}

// A whole number within [min, max] into out, or "bad WHAT 'TEXT'".
template <typename T>
cmdline::CommandLine::Reader number(T& out, unsigned long min, unsigned long max, const char* what) {
    return [&out, min, max, what](const std::string& text) {
        unsigned long n = 0;
        if (!readNumber(text.c_str(), min, max, n))
            throw cmdline::UsageError(std::string("bad ") + what + " '" + text + "'");
        out = T(n);
    };
}

cmdline::CommandLine::Reader fleetOption(int opt, Options& o) {
    return [opt, &o](const std::string& text) { readFleetOption(opt, text, o); };
}

cmdline::Wording wording() {
    return {[](const std::string& arg) { return "unknown option '" + arg + "'"; },
            [](const std::string& arg) { return "option '" + arg + "' needs a value"; },
            [](const std::string& arg) { return "unexpected argument '" + arg + "'"; }};
}

}  // namespace

void describeOptions(cmdline::CommandLine& line, Options& o) {
    line.single({"-a", "--address"}, "ADDR", "IPv4 or IPv6 address to serve on (default 127.0.0.1)",
                [&o](const std::string& text) {
                    in6_addr unused;
                    if (inet_pton(AF_INET, text.c_str(), &unused) != 1 &&
                        inet_pton(AF_INET6, text.c_str(), &unused) != 1)
                        throw cmdline::UsageError("bad address '" + text + "'");
                    o.address = text;
                });
    line.single({"-p", "--port"}, "PORT", "UDP port (default 60000; 0 takes a free one)",
                number(o.port, 0, 65535, "port"));
    line.single({"-f", "--file"}, "FILE", "tag values as NAME=value lines instead of the demo device",
                [&o](const std::string& file) { o.dataFile = file; });
    line.single({"-t", "--time"}, "SECONDS", "exit after that many seconds",
                number(o.timeLimit, 1, 0xFFFFFFFF, "time"));
    line.single({"-n", "--requests"}, "N", "exit after handling N requests",
                number(o.requestLimit, 1, 0xFFFFFFFF, "request count"));
    line.flag({"-v", "--verbose"}, "log each request (twice: each tag too)", [&o] { ++o.verbosity; });
    line.helpAndVersion(true, "show this help and exit", "show the version and exit");
    line.section("Fleet and network simulation:");
    line.single({"--devices"}, "N",
                "simulate N devices (up to 16777214) on loopback only:\n"
                "IPv4: device I at the I-th address from ADDR on, all\n"
                "on PORT (0: one free port) through one socket;\n"
                "::1: device I on the I-th port from PORT on (0: a\n"
                "free one each); TAG_DEV_ID I, a label ending in \" I\"",
                fleetOption(DEVICES, o));
    line.single({"--targets-file"}, "FILE",
                "write one ADDRESS:PORT line per device before the\n"
                "first line of output",
                [&o](const std::string& file) { o.targetsFile = file; });
    line.single({"--loss"}, "FRACTION", "drop that share of requests unread (0 to 1)", fleetOption(LOSS, o));
    line.single({"--delay"}, "MS[:JITTER]",
                "send answers MS milliseconds late, give or take\n"
                "up to JITTER",
                fleetOption(DELAY, o));
    line.single({"--budget"}, "REPLIES:BYTES",
                "replies and reply bytes a second (and burst) that\n"
                "one device sends one source address (default\n"
                "200:65536; 0 is unlimited, \"0\" alone lifts both)",
                fleetOption(BUDGET, o));
    line.repeatable({"--read-only"}, "TAG[,TAG...]",
                    "ignore SETs of these tags, keeping their values,\n"
                    "as a device with read-only or clamped values does",
                    [&o](const std::string& text) {
                        std::string error;
                        if (!readTagNames(text.c_str(), o.readOnly, error)) throw cmdline::UsageError(error);
                    });
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    cmdline::CommandLine line("tagagent", wording());
    describeOptions(line, options);
    return line.parse(argc, argv, options.help, options.version, error);
}

void printUsage(FILE* out) {
    Options unused;
    cmdline::CommandLine line("tagagent", wording());
    describeOptions(line, unused);
    fprintf(out,
            "Usage: tagagent [OPTION]...\n"
            "Serves tag protocol requests on one UDP socket, or as a fleet of devices.\n"
            "\n"
            "%s"
            "\n"
            "Requests from a device's own port, or from any device of this agent, are never\n"
            "answered. The first line on standard output is \"listening on ADDR:PORT\", or\n"
            "for --devices \"listening on N devices from ADDR:PORT to ADDR:PORT\".\n",
            line.optionsHelp(24).c_str());
}
