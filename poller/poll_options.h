// tagpoll's command line.
#ifndef TAGPOLL_POLL_OPTIONS_H
#define TAGPOLL_POLL_OPTIONS_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shard.h"

namespace cmdline {
class CommandLine;
}

namespace tagpoll {

enum class Format { Line, Json, Csv };

// Retries are cheap once waits follow the round trip, so the default is
// many; a target that never answers is still given up after at most this
// many -t from its first send (a write: from its first SET), the bound five
// retries of -t each set before waits were estimated.
constexpr int DEFAULT_RETRIES = 30;
constexpr int TIMEOUTS_BEFORE_GIVING_UP = 6;

// How long an exchange may run from its first send: one -t per attempt,
// as users reckon it, but no more than TIMEOUTS_BEFORE_GIVING_UP of them.
inline std::chrono::nanoseconds givingUpAfter(std::chrono::nanoseconds timeout, int retries) {
    return timeout * std::min(1 + std::max(retries, 0), TIMEOUTS_BEFORE_GIVING_UP);
}

struct PollOptions {
    std::vector<std::string> files;    // -f, "-" for standard input
    std::vector<std::string> targets;  // --target
    std::string listen;                // --listen [ADDRESS:]PORT
    double timeoutSeconds = 2;
    int retries = DEFAULT_RETRIES;
    unsigned concurrency = 1024;
    double rate = 0;  // requests per second, 0 for no limit
    uint16_t port = 60000;
    Format format = Format::Line;
    size_t maxReplyBytes = 1 << 20;  // --max-reply-bytes: what one reply may carry
    bool alive = false;              // --alive: print only the targets that replied
    bool summary = false;            // --summary: a count of each status on standard error at the end
    bool verify = false;             // --verify: a SET read back and compared, target by target
    Shard shard;                     // --shard I/N: only the targets of that shard
    std::vector<std::string> words;  // message-type word, then tag words
    bool help = false;
    bool version = false;
};

// The table of tagpoll's options, reading into options: for the parse, the
// help and the bash completion.
void describeOptions(cmdline::CommandLine& line, PollOptions& options);

// Parses argv into options. On a usage error returns false with the reason
// in error. --help and --version set their flag and stop there.
bool parseOptions(int argc, char** argv, PollOptions& options, std::string& error);

// The --help text.
std::string usageText();

}  // namespace tagpoll

#endif
