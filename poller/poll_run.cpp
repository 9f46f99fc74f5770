#include "poll_run.h"

#include <cstdio>

#include "client_line.h"
#include "stop_signals.h"

namespace tagpoll {

namespace {

// The progress line, redrawn at most every tenth of a second.
class Progress {
public:
    Progress(bool shown, size_t total) : shown(shown), total(total) {}
    void update(size_t done, size_t answered) {
        auto now = tagengine::Clock::now();
        if (!shown || (now - last < std::chrono::milliseconds(100) && done < total)) return;
        last = now;
        fprintf(stderr, "\rtagpoll: %zu/%zu done, %zu answered\033[K", done, total, answered);
        if (done == total) fputc('\n', stderr);
    }

private:
    bool shown;
    size_t total;
    tagengine::Clock::time_point last{};
};

// A write counts only once read back as written; a plain SET only as sent.
bool succeeded(tagengine::Status status, bool verify) {
    if (verify) return status == tagengine::Status::Verified;
    return status == tagengine::Status::Answered || status == tagengine::Status::Sent;
}

}  // namespace

std::string summaryLine(size_t targets, const std::map<tagengine::Status, size_t>& counts) {
    std::string line = "tagpoll: " + std::to_string(targets) + " targets:";
    const char* separator = " ";
    for (const auto& [status, n] : counts) {
        line += separator + std::to_string(n) + " " + tagengine::statusName(status);
        separator = ", ";
    }
    return line;
}

int runPoll(const PollOptions& options, const std::vector<Target>& targets,
            const std::shared_ptr<const VMsg>& request, ResultWriter& writer, bool progress) {
    tagengine::Options engineOptions;
    engineOptions.maxInFlight = options.concurrency;
    engineOptions.requestsPerSecond = options.rate;
    engineOptions.maxReplyBytes = options.maxReplyBytes;
    // -t bounds every attempt's wait, so a target that never answers is done
    // after the time-out times the attempts at most, and within the budget.
    engineOptions.maxAttemptTimeout = std::chrono::duration_cast<tagengine::Duration>(
        std::chrono::duration<double>(options.timeoutSeconds));
    tagengine::Engine engine(engineOptions);
    // From here on a stop signal ends the run with what it has, even while
    // names are still being looked up.
    StopSignals signals;

    size_t done = 0, good = 0;
    Progress shown(progress, targets.size());
    std::map<tagengine::Status, size_t> counts;
    auto finished = [&](tagengine::Result&& r) {
        ++counts[r.status];
        if (!options.alive || tookReply(r.status)) writer.result(r);
        ++done;
        if (succeeded(r.status, options.verify)) ++good;
        shown.update(done, good);
    };
    writer.begin(false);
    auto now = tagengine::Clock::now();
    for (const Target& t : targets) {
        tagengine::Exchange x;
        x.target = t.label();
        x.host = t.host;
        x.port = t.port;
        x.request = request;
        x.attemptTimeout = engineOptions.maxAttemptTimeout;
        x.retries = options.retries;
        x.budget = givingUpAfter(engineOptions.maxAttemptTimeout, options.retries);
        x.done = finished;
        if (options.verify)
            engine.submitWrite(std::move(x), now);
        else
            engine.submit(std::move(x), now);
    }
    tagengine::RunEnd end = tagengine::runUntilDone(engine, signals.fd);
    fflush(stdout);
    if (options.summary) fprintf(stderr, "%s\n", summaryLine(targets.size(), counts).c_str());
    if (end == tagengine::RunEnd::Failed) {
        perror("tagpoll: epoll");
        return 1;
    }
    return good == targets.size() ? 0 : 1;
}

}  // namespace tagpoll
