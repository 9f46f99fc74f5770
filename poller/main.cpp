// tagpoll: one tag-protocol request to a whole fleet at once, one result per
// target; or, with --listen, every message that arrives unasked.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "listener.h"
#include "poll_options.h"
#include "poll_run.h"
#include "request_words.h"
#include "shard.h"
#include "targets.h"

#ifndef TAGPOLL_VERSION
#define TAGPOLL_VERSION "0"
#endif

namespace {

constexpr int USAGE = 2;
// Duplicate targets noted one by one up to this many, then counted.
constexpr size_t WARNINGS_SHOWN = 10;
// Bytes of results written at once.
constexpr size_t RESULT_BUFFER = 64 << 10;

int usageError(const std::string& why) {
    fprintf(stderr, "tagpoll: %s\nTry 'tagpoll --help' for more information.\n", why.c_str());
    return USAGE;
}

// Every target named by files and --target options, or false after saying
// what is wrong with them.
bool collectTargets(const tagpoll::PollOptions& o, tagpoll::TargetList& list) {
    for (const std::string& file : o.files) {
        bool read = false;
        if (file == "-") {
            read = list.readStream(std::cin, "-");
        } else {
            std::ifstream in(file);
            if (!in) {
                fprintf(stderr, "tagpoll: cannot read %s: %s\n", file.c_str(), strerror(errno));
                return false;
            }
            read = list.readStream(in, file);
        }
        if (!read) {
            fprintf(stderr, "tagpoll: %s\n", list.error().c_str());
            return false;
        }
    }
    for (size_t i = 0; i < o.targets.size(); ++i) {
        if (!list.addEntry(o.targets[i], "--target", i + 1)) {
            fprintf(stderr, "tagpoll: %s\n", list.error().c_str());
            return false;
        }
    }
    const auto& warnings = list.warnings();
    for (size_t i = 0; i < warnings.size() && i < WARNINGS_SHOWN; ++i)
        fprintf(stderr, "tagpoll: %s\n", warnings[i].c_str());
    if (warnings.size() > WARNINGS_SHOWN)
        fprintf(stderr, "tagpoll: %zu more duplicate targets, polled once\n",
                warnings.size() - WARNINGS_SHOWN);
    if (list.targets().empty()) {
        fprintf(stderr, "tagpoll: no targets to poll\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    tagpoll::PollOptions o;
    std::string error;
    if (!tagpoll::parseOptions(argc, argv, o, error)) return usageError(error);
    if (o.help) {
        fputs(tagpoll::usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        printf("tagpoll %s\n", TAGPOLL_VERSION);
        return 0;
    }

    if (!o.listen.empty()) {
        tagpoll::ResultWriter writer(o.format, stdout, 0);
        return tagpoll::listen(o.listen, writer);
    }
    auto request = tagpoll::buildRequest(o.words, error);
    if (!request) return usageError(error);
    if (o.verify) {
        std::string why = tagengine::unwritableReason(*request);
        if (!why.empty()) return usageError("--verify: " + why);
    }
    tagpoll::TargetList list(o.port);
    if (!collectTargets(o, list)) return USAGE;

    // Unsplit, the list is polled as it stands: a large fleet is not copied.
    // Where each target came from is not needed past this point: forgotten,
    // its memory serves the run.
    std::vector<tagpoll::Target> all = list.release();
    std::vector<tagpoll::Target> part;
    if (o.shard.count > 1) part = tagpoll::shardTargets(all, o.shard);
    const std::vector<tagpoll::Target>& targets = o.shard.count > 1 ? part : all;
    // A shard may hold none of a small fleet: not an error, since the other
    // shards cover it, and the run still writes what a run writes (a CSV
    // header, the summary).
    if (targets.empty())
        fprintf(stderr, "tagpoll: shard %s/%s holds none of the %zu targets\n",
                std::to_string(o.shard.index).c_str(), std::to_string(o.shard.count).c_str(), all.size());

    // Results go out in blocks rather than a write per line, flushed
    // whenever the run would wait (runPoll), also on a terminal.
    // (The C library takes the size only with a buffer given.)
    static char results[RESULT_BUFFER];
    setvbuf(stdout, results, _IOFBF, sizeof results);
    uint8_t encoded[1024];
    tagpoll::ResultWriter writer(o.format, stdout, request->getMsg(encoded, sizeof encoded));
    return tagpoll::runPoll(o, targets, request, writer, isatty(STDERR_FILENO) == 1);
}
