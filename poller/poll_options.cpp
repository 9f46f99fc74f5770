#include "poll_options.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tagpoll {

namespace {

enum LongOnly {
    OPT_TARGET = 256,
    OPT_RATE,
    OPT_LISTEN,
    OPT_VERIFY,
    OPT_ALIVE,
    OPT_SUMMARY,
    OPT_MAX_REPLY_BYTES,
    OPT_SHARD,
    OPT_HELP,
    OPT_VERSION
};

constexpr option longOptions[] = {{"file", required_argument, nullptr, 'f'},
                                  {"target", required_argument, nullptr, OPT_TARGET},
                                  {"timeout", required_argument, nullptr, 't'},
                                  {"retries", required_argument, nullptr, 'r'},
                                  {"concurrency", required_argument, nullptr, 'c'},
                                  {"rate", required_argument, nullptr, OPT_RATE},
                                  {"port", required_argument, nullptr, 'p'},
                                  {"format", required_argument, nullptr, 'o'},
                                  {"listen", required_argument, nullptr, OPT_LISTEN},
                                  {"help", no_argument, nullptr, OPT_HELP},
                                  {"version", no_argument, nullptr, OPT_VERSION},
                                  {"verify", no_argument, nullptr, OPT_VERIFY},
                                  {"alive", no_argument, nullptr, OPT_ALIVE},
                                  {"summary", no_argument, nullptr, OPT_SUMMARY},
                                  {"max-reply-bytes", required_argument, nullptr, OPT_MAX_REPLY_BYTES},
                                  {"shard", required_argument, nullptr, OPT_SHARD},
                                  {nullptr, 0, nullptr, 0}};

bool readUnsigned(const char* text, unsigned long min, unsigned long max, unsigned long& out) {
    const char* end = text + strlen(text);
    auto parsed = std::from_chars(text, end, out);
    return *text && parsed.ec == std::errc() && parsed.ptr == end && out >= min && out <= max;
}

bool readSeconds(const char* text, double min, double max, double& out) {
    char* end = nullptr;
    out = strtod(text, &end);
    return *text && end && *end == '\0' && std::isfinite(out) && out >= min && out <= max;
}

bool readFormat(const char* text, Format& format) {
    if (strcmp(text, "line") == 0)
        format = Format::Line;
    else if (strcmp(text, "json") == 0)
        format = Format::Json;
    else if (strcmp(text, "csv") == 0)
        format = Format::Csv;
    else
        return false;
    return true;
}

// One option's argument into the options; false with the reason if bad.
bool takeOption(int opt, const char* arg, PollOptions& o, std::string& error) {
    unsigned long n = 0;
    switch (opt) {
    case 'f': o.files.emplace_back(arg); return true;
    case OPT_TARGET: o.targets.emplace_back(arg); return true;
    case OPT_LISTEN: o.listen = arg; return true;
    case OPT_VERIFY: o.verify = true; return true;
    case OPT_ALIVE: o.alive = true; return true;
    case OPT_SUMMARY: o.summary = true; return true;
    case OPT_SHARD: return parseShard(arg, o.shard, error);
    case OPT_MAX_REPLY_BYTES:
        if (readUnsigned(arg, 1024, 1UL << 30, n)) {
            o.maxReplyBytes = n;
            return true;
        }
        error = "bad --max-reply-bytes \"" + std::string(arg) + "\": 1024 to 1073741824";
        return false;
    case 't':
        if (readSeconds(arg, 0.001, 3600, o.timeoutSeconds)) return true;
        error = "bad --timeout \"" + std::string(arg) + "\": seconds from 0.001 to 3600";
        return false;
    case 'r':
        if (readUnsigned(arg, 0, 100, n)) {
            o.retries = int(n);
            return true;
        }
        error = "bad --retries \"" + std::string(arg) + "\": 0 to 100";
        return false;
    case 'c':
        if (readUnsigned(arg, 1, 1000000, n)) {
            o.concurrency = unsigned(n);
            return true;
        }
        error = "bad --concurrency \"" + std::string(arg) + "\": 1 to 1000000";
        return false;
    case OPT_RATE:
        if (readSeconds(arg, 1, 10000000, o.rate)) return true;
        error = "bad --rate \"" + std::string(arg) + "\": requests per second from 1 to 10000000";
        return false;
    case 'p':
        if (readUnsigned(arg, 1, 65535, n)) {
            o.port = uint16_t(n);
            return true;
        }
        error = "bad --port \"" + std::string(arg) + "\": 1 to 65535";
        return false;
    case 'o':
        if (readFormat(arg, o.format)) return true;
        error = "bad --format \"" + std::string(arg) + "\": line, json or csv";
        return false;
    default: error = "unknown option"; return false;
    }
}

}  // namespace

bool parseOptions(int argc, char** argv, PollOptions& o, std::string& error) {
    optind = 0;  // reset, so the parser can run more than once in a process (tests)
    opterr = 0;
    int opt;
    // '+': options end at the first word, so tag words are never taken for
    // options.
    while ((opt = getopt_long(argc, argv, "+:f:t:r:c:p:o:", longOptions, nullptr)) != -1) {
        // --help and --version win over anything after them.
        if (opt == OPT_HELP || opt == OPT_VERSION) {
            (opt == OPT_HELP ? o.help : o.version) = true;
            return true;
        }
        if (opt == '?') {
            error = optopt ? std::string("unknown option -") + char(optopt)
                           : std::string("unknown option ") + argv[optind - 1];
            return false;
        }
        if (opt == ':') {
            error = std::string("option ") + argv[optind - 1] + " needs a value";
            return false;
        }
        if (!takeOption(opt, optarg, o, error)) return false;
    }
    for (int i = optind; i < argc; ++i) o.words.emplace_back(argv[i]);
    bool polling = !o.files.empty() || !o.targets.empty();
    if (!o.listen.empty()) {
        if (polling || !o.words.empty() || o.verify || o.shard.count > 1) {
            error = "--listen takes no targets, no words, no --verify and no --shard";
            return false;
        }
        return true;
    }
    if (!polling) {
        error = "no targets: give -f FILE, -f - or --target HOST[:PORT]";
        return false;
    }
    if (o.words.empty()) {
        error = "no message: give a message-type word (GET:, SET:, DEL:, REP:) and tag words";
        return false;
    }
    return true;
}

const char* usageText() {
    return "Usage: tagpoll [OPTIONS] -f FILE|- WORDS...\n"
           "       tagpoll [OPTIONS] --target HOST[:PORT]... WORDS...\n"
           "       tagpoll [OPTIONS] --listen [ADDRESS:]PORT\n"
           "Sends one tag-protocol request to every target at once and prints one\n"
           "result per target. WORDS are those tagclient takes, e.g. GET: TAG_DEV_ID.\n"
           "\n"
           "  -f, --file FILE         targets, one HOST[:PORT], [IPV6]:PORT or ADDRESS/N[:PORT]\n"
           "                          a line (HOST: a name, an IPv4 or a bare IPv6 address)\n"
           "      --target HOST[:PORT]  one target (repeatable; [IPV6]:PORT too)\n"
           "  -t, --timeout SECONDS   longest wait of an attempt, and the wait before any\n"
           "                          target answered (default 2); a target is given up\n"
           "                          this per attempt, at most 6 times, after its first\n"
           "                          request\n"
           "  -r, --retries N         more attempts after the first (default 30)\n"
           "  -c, --concurrency N     exchanges in flight at most (default 1024)\n"
           "      --rate N            requests sent per second at most (default no limit)\n"
           "  -p, --port PORT         port of targets that name none (default 60000)\n"
           "  -o, --format FORMAT     line, json or csv (default line)\n"
           "      --verify            read a SET back from each target and compare; resend\n"
           "                          what differs (within the retries); exit 0 only when\n"
           "                          every target verified\n"
           "      --alive             print only the targets that replied\n"
           "      --summary           end with a count of each status on standard error\n"
           "      --shard I/N         only the targets whose address and port hash to I\n"
           "                          modulo N (0 <= I < N); N runs cover the fleet once\n"
           "      --max-reply-bytes N  bytes one reply may carry (default 1048576)\n"
           "      --listen [ADDRESS:]PORT  print every message that arrives there\n"
           "                          (ADDRESS: A.B.C.D or [IPV6])\n"
           "      --help              print this help and exit\n"
           "      --version           print the version and exit\n"
           "\n"
           "The protocol never acknowledges a SET: without --verify a SET is reported as\n"
           "sent, which does not mean the device took it; a lost one goes unnoticed.\n"
           "\n"
           "Exit status: 0 every target answered (or verified), 1 some did not, 2 bad\n"
           "usage or targets.\n";
}

}  // namespace tagpoll
