#include "poll_run.h"

#include <cstdio>

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

}  // namespace

int runPoll(const PollOptions& options, const std::vector<Target>& targets,
            const std::shared_ptr<const VMsg>& request, ResultWriter& writer, bool progress) {
    tagengine::Options engineOptions;
    engineOptions.maxInFlight = options.concurrency;
    engineOptions.requestsPerSecond = options.rate;
    // -t is the wait of every attempt, so a target that never answers is
    // done after the time-out times the attempts, as users reckon it.
    engineOptions.maxAttemptTimeout = std::chrono::duration_cast<tagengine::Duration>(
        std::chrono::duration<double>(options.timeoutSeconds));
    tagengine::Engine engine(engineOptions);

    size_t done = 0, good = 0;
    Progress shown(progress, targets.size());
    auto finished = [&](tagengine::Result&& r) {
        writer.result(r);
        ++done;
        if (r.status == tagengine::Status::Answered || r.status == tagengine::Status::Sent) ++good;
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
        x.done = finished;
        engine.submit(std::move(x), now);
    }
    if (!tagengine::runUntilDone(engine)) {
        perror("tagpoll: epoll");
        return 1;
    }
    fflush(stdout);
    return good == targets.size() ? 0 : 1;
}

}  // namespace tagpoll
