#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char SHORT_OPTIONS[] = ":a:p:f:t:n:vh";
constexpr option LONG_OPTIONS[] = {
    {"address", required_argument, nullptr, 'a'},  {"port", required_argument, nullptr, 'p'},
    {"file", required_argument, nullptr, 'f'},     {"time", required_argument, nullptr, 't'},
    {"requests", required_argument, nullptr, 'n'}, {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
};

// A whole decimal number within [min, max]; no sign, blanks or suffix.
bool readNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    if (*text < '0' || *text > '9') return false;
    char* end;
    errno = 0;
    value = strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
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
            in_addr unused;
            if (inet_pton(AF_INET, optarg, &unused) != 1) {
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
        "Serves tag protocol requests on one UDP socket.\n"
        "\n"
        "  -a, --address ADDR    IPv4 address to serve on (default 127.0.0.1)\n"
        "  -p, --port PORT       UDP port (default 60000; 0 takes a free one)\n"
        "  -f, --file FILE       tag values as NAME=value lines instead of the demo device\n"
        "  -t, --time SECONDS    exit after that many seconds\n"
        "  -n, --requests N      exit after handling N requests\n"
        "  -v, --verbose         log each request (twice: each tag too)\n"
        "  -h, --help            show this help and exit\n"
        "\n"
        "The first line on standard output is \"listening on ADDR:PORT\".\n",
        out);
}
