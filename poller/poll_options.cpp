#include "poll_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "command_line.h"

namespace tagpoll {

namespace {

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

cmdline::UsageError bad(const char* name, const std::string& text, const char* range) {
    return cmdline::UsageError(std::string("bad ") + name + " \"" + text + "\": " + range);
}

// A whole number within [min, max] into out, or "bad NAME "TEXT": RANGE".
template <typename T>
cmdline::CommandLine::Reader number(T& out, unsigned long min, unsigned long max, const char* name,
                                    const char* range) {
    return [&out, min, max, name, range](const std::string& text) {
        unsigned long n = 0;
        if (!readUnsigned(text.c_str(), min, max, n)) throw bad(name, text, range);
        out = T(n);
    };
}

cmdline::CommandLine::Reader seconds(double& out, double min, double max, const char* name,
                                     const char* range) {
    return [&out, min, max, name, range](const std::string& text) {
        if (!readSeconds(text.c_str(), min, max, out)) throw bad(name, text, range);
    };
}

cmdline::Wording wording() {
    return {[](const std::string& arg) { return "unknown option " + arg; },
            [](const std::string& arg) { return "option " + arg + " needs a value"; },
            [](const std::string& arg) { return "unexpected argument " + arg; }};
}

// Targets, words and --listen together: what no single option can check.
bool checkCombination(const PollOptions& o, std::string& error) {
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

}  // namespace

void describeOptions(cmdline::CommandLine& line, PollOptions& o) {
    line.repeatable({"-f", "--file"}, "FILE",
                    "targets, one HOST[:PORT], [IPV6]:PORT or ADDRESS/N[:PORT]\n"
                    "a line (HOST: a name, an IPv4 or a bare IPv6 address);\n"
                    "- for standard input (repeatable)",
                    [&o](const std::string& file) { o.files.push_back(file); });
    line.repeatable({"--target"}, "HOST[:PORT]", "one target (repeatable; [IPV6]:PORT too)",
                    [&o](const std::string& target) { o.targets.push_back(target); });
    line.single({"-t", "--timeout"}, "SECONDS",
                "longest wait of an attempt, and the wait before any\n"
                "target answered (default 2); a target is given up\n"
                "this per attempt, at most 6 times, after its first\n"
                "request",
                seconds(o.timeoutSeconds, 0.001, 3600, "--timeout", "seconds from 0.001 to 3600"));
    line.single({"-r", "--retries"}, "N", "more attempts after the first (default 30)",
                number(o.retries, 0, 100, "--retries", "0 to 100"));
    line.single({"-c", "--concurrency"}, "N", "exchanges in flight at most (default 1024)",
                number(o.concurrency, 1, 1000000, "--concurrency", "1 to 1000000"));
    line.single({"--rate"}, "N", "requests sent per second at most (default no limit)",
                seconds(o.rate, 1, 10000000, "--rate", "requests per second from 1 to 10000000"));
    line.single({"-p", "--port"}, "PORT", "port of targets that name none (default 60000)",
                number(o.port, 1, 65535, "--port", "1 to 65535"));
    line.single({"-o", "--format"}, "FORMAT", "line, json or csv (default line)",
                [&o](const std::string& text) {
                    if (!readFormat(text.c_str(), o.format)) throw bad("--format", text, "line, json or csv");
                },
                {"line", "json", "csv"});
    line.flag({"--verify"},
              "read a SET back from each target and compare; resend\n"
              "what differs (within the retries); exit 0 only when\n"
              "every target verified",
              [&o] { o.verify = true; });
    line.flag({"--alive"}, "print only the targets that replied", [&o] { o.alive = true; });
    line.flag({"--summary"}, "end with a count of each status on standard error", [&o] { o.summary = true; });
    line.single({"--shard"}, "I/N",
                "only the targets whose address and port hash to I\n"
                "modulo N (0 <= I < N); N runs cover the fleet once",
                [&o](const std::string& text) {
                    std::string why;
                    if (!parseShard(text, o.shard, why)) throw cmdline::UsageError(why);
                });
    line.single({"--max-reply-bytes"}, "N", "bytes one reply may carry (default 1048576)",
                number(o.maxReplyBytes, 1024, 1UL << 30, "--max-reply-bytes", "1024 to 1073741824"));
    line.single({"--listen"}, "[ADDRESS:]PORT",
                "print every message that arrives there\n"
                "(ADDRESS: A.B.C.D or [IPV6])",
                [&o](const std::string& address) { o.listen = address; });
    line.helpAndVersion(true, "print this help and exit", "print the version and exit");
    line.wordsAfterOptions(o.words);
}

bool parseOptions(int argc, char** argv, PollOptions& o, std::string& error) {
    cmdline::CommandLine line("tagpoll", wording());
    describeOptions(line, o);
    if (!line.parse(argc, argv, o.help, o.version, error)) return false;
    return o.help || o.version || checkCombination(o, error);
}

std::string usageText() {
    PollOptions unused;
    cmdline::CommandLine line("tagpoll", wording());
    describeOptions(line, unused);
    return std::string(
               "Usage: tagpoll [OPTIONS] -f FILE|- WORDS...\n"
               "       tagpoll [OPTIONS] --target HOST[:PORT]... WORDS...\n"
               "       tagpoll [OPTIONS] --listen [ADDRESS:]PORT\n"
               "Sends one tag-protocol request to every target at once and prints one\n"
               "result per target. WORDS are those tagclient takes, e.g. GET: TAG_DEV_ID.\n"
               "\n") +
           line.optionsHelp(26) +
           "\n"
           "The protocol never acknowledges a SET: without --verify a SET is reported as\n"
           "sent, which does not mean the device took it; a lost one goes unnoticed.\n"
           "\n"
           "Exit status: 0 every target answered (or verified), 1 some did not, 2 bad\n"
           "usage or targets.\n";
}

}  // namespace tagpoll
