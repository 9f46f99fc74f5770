#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tag_vocabulary.h"

namespace {

// Long options without a short form.
enum : int { DEVICES = 256, TARGETS_FILE, LOSS, DELAY, BUDGET, READ_ONLY };

constexpr const char SHORT_OPTIONS[] = ":a:p:f:t:n:vh";
constexpr option LONG_OPTIONS[] = {
    {"address", required_argument, nullptr, 'a'},
    {"port", required_argument, nullptr, 'p'},
    {"file", required_argument, nullptr, 'f'},
    {"time", required_argument, nullptr, 't'},
    {"requests", required_argument, nullptr, 'n'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"devices", required_argument, nullptr, DEVICES},
    {"targets-file", required_argument, nullptr, TARGETS_FILE},
    {"loss", required_argument, nullptr, LOSS},
    {"delay", required_argument, nullptr, DELAY},
    {"budget", required_argument, nullptr, BUDGET},
    {"read-only", required_argument, nullptr, READ_ONLY},
    {nullptr, 0, nullptr, 0},
};

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

// Reads one of the fleet options; false with the complaint in error.
bool readFleetOption(int opt, const char* value, Options& options, std::string& error) {
    unsigned long replies = 0, bytes = 0;
    bool good = true;
    switch (opt) {
    case DEVICES: good = readNumber(value, 1, MAX_DEVICES, options.devices); break;
    case TARGETS_FILE: options.targetsFile = value; break;
    case LOSS: good = readShare(value, options.loss); break;
    case DELAY:
        options.jitterMs = 0;
        good = readPair(value, MAX_DELAY_MS, true, options.delayMs, options.jitterMs);
        break;
    default:  // BUDGET: "0" alone lifts both limits
        good = std::string_view(value) == "0" || readPair(value, 0xFFFFFFFF, false, replies, bytes);
        options.budget = {uint32_t(replies), uint32_t(bytes)};
        break;
    }
    if (!good) {
        const char* what = opt == DEVICES ? "device count"
                           : opt == LOSS  ? "loss"
                           : opt == DELAY ? "delay"
                                          : "budget";
        error = std::string("bad ") + what + " '" + value + "'";
    }
    return good;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    optind = 0;  // a full restart, so the parse can run more than once
    opterr = 0;  // complaints are ours, without argv[0]'s path
    int opt;
    unsigned long number;
    while ((opt = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        switch (opt) {
        case 'a': {
            in6_addr unused;
            if (inet_pton(AF_INET, optarg, &unused) != 1 && inet_pton(AF_INET6, optarg, &unused) != 1) {
                error = "bad address '" + std::string(optarg) + "'";
                return false;
            }
            options.address = optarg;
            break;
        }
        case 'p':
            if (!readNumber(optarg, 0, 65535, number)) {
                error = "bad port '" + std::string(optarg) + "'";
                return false;
            }
            options.port = uint16_t(number);
            break;
        case 'f': options.dataFile = optarg; break;
        case 't':
        case 'n':
            if (!readNumber(optarg, 1, 0xFFFFFFFF, number)) {
                error = std::string(opt == 't' ? "bad time '" : "bad request count '") + optarg + "'";
                return false;
            }
            (opt == 't' ? options.timeLimit : options.requestLimit) = number;
            break;
        case 'v': ++options.verbosity; break;
        case 'h': options.help = true; break;
        case DEVICES:
        case TARGETS_FILE:
        case LOSS:
        case DELAY:
        case BUDGET:
            if (!readFleetOption(opt, optarg, options, error)) return false;
            break;
        case READ_ONLY:
            if (!readTagNames(optarg, options.readOnly, error)) return false;
            break;
        case ':': error = "option '" + std::string(argv[optind - 1]) + "' needs a value"; return false;
        default:
            // A short option may sit inside a cluster such as -vx; optopt names it.
            error = "unknown option '" +
                    (optopt ? std::string("-") + char(optopt) : std::string(argv[optind - 1])) + "'";
            return false;
        }
    }
    if (optind < argc) {
        error = "unexpected argument '" + std::string(argv[optind]) + "'";
        return false;
    }
    return true;
}

void printUsage(FILE* out) {
    fputs(
        "Usage: tagagent [OPTION]...\n"
        "Serves tag protocol requests on one UDP socket, or as a fleet of devices.\n"
        "\n"
        "  -a, --address ADDR    IPv4 or IPv6 address to serve on (default 127.0.0.1)\n"
        "  -p, --port PORT       UDP port (default 60000; 0 takes a free one)\n"
        "  -f, --file FILE       tag values as NAME=value lines instead of the demo device\n"
        "  -t, --time SECONDS    exit after that many seconds\n"
        "  -n, --requests N      exit after handling N requests\n"
        "  -v, --verbose         log each request (twice: each tag too)\n"
        "  -h, --help            show this help and exit\n"
        "\n"
        "Fleet and network simulation:\n"
        "      --devices N       simulate N devices (up to 16777214) on loopback only:\n"
        "                        IPv4: device I at the I-th address from ADDR on, all\n"
        "                        on PORT (0: one free port) through one socket;\n"
        "                        ::1: device I on the I-th port from PORT on (0: a\n"
        "                        free one each); TAG_DEV_ID I, a label ending in \" I\"\n"
        "      --targets-file FILE  write one ADDRESS:PORT line per device before the\n"
        "                        first line of output\n"
        "      --loss FRACTION   drop that share of requests unread (0 to 1)\n"
        "      --delay MS[:JITTER]  send answers MS milliseconds late, give or take\n"
        "                        up to JITTER\n"
        "      --budget REPLIES:BYTES  replies and reply bytes a second (and burst) that\n"
        "                        one device sends one source address (default\n"
        "                        200:65536; 0 is unlimited, \"0\" alone lifts both)\n"
        "      --read-only TAG[,TAG...]  ignore SETs of these tags, keeping their values,\n"
        "                        as a device with read-only or clamped values does\n"
        "\n"
        "Requests from a device's own port, or from any device of this agent, are never\n"
        "answered. The first line on standard output is \"listening on ADDR:PORT\", or\n"
        "for --devices \"listening on N devices from ADDR:PORT to ADDR:PORT\".\n",
        out);
}
