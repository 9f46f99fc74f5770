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
        if (!shown) return;  // no clock read per result for a line never drawn
        auto now = tagengine::Clock::now();
        if (now - last < std::chrono::milliseconds(100) && done < total) return;
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

namespace {

// Targets go to the engine a window at a time, each one ended making room
// for the next: its result is written and freed as it ends, so memory
// follows the window, not the fleet.
class Feed {
public:
    Feed(const PollOptions& options, const std::vector<Target>& targets,
         const std::shared_ptr<const VMsg>& request, ResultWriter& writer, bool progress,
         tagengine::Engine& engine, tagengine::Duration attemptTimeout)
        : options(options),
          targets(targets),
          request(request),
          writer(writer),
          engine(engine),
          attemptTimeout(attemptTimeout),
          shown(progress, targets.size()) {}

    // Submits targets until the window is full (or all when asked).
    void fill(size_t window, tagengine::Clock::time_point now) {
        while (next < targets.size() && next - done < window) submit(next++, now);
    }
    // After a stop: every target not yet submitted, so that each one still
    // ends (as cancelled) with a result line.
    void submitRest(tagengine::Clock::time_point now) {
        stopped = true;
        fill(targets.size(), now);
    }

    // Enough queued behind the exchanges in flight that the engine never
    // waits for the next target.
    size_t window() const { return size_t(options.concurrency) * 2; }

    size_t good = 0;
    std::map<tagengine::Status, size_t> counts;

private:
    void submit(size_t index, tagengine::Clock::time_point now) {
        const Target& t = targets[index];
        tagengine::Exchange x;
        // No label: the result is written by the target's index, and the
        // engine would copy one in and out of every exchange.
        // An address already read goes as it is; only a name is looked up.
        if (t.ip.family != 0)
            x.address = tagaddress::socketAddress(t.ip, t.port);
        else
            x.host = t.host;
        x.port = t.port;
        x.request = request;
        x.attemptTimeout = attemptTimeout;
        x.retries = options.retries;
        x.budget = givingUpAfter(attemptTimeout, options.retries);
        // Line and CSV print a reply read where it lies, with no message
        // decoded; JSON builds its document from a decoded one.
        x.replyAsDatagram = options.format != Format::Json;
        // A pointer and an index: kept inside the callback, no allocation
        // of its own.
        x.done = [this, index](tagengine::Result&& r) { finished(std::move(r), targets[index]); };
        if (options.verify)
            engine.submitWrite(std::move(x), now);
        else
            engine.submit(std::move(x), now);
    }

    void finished(tagengine::Result&& r, const Target& target) {
        ++counts[r.status];
        if (!options.alive || tookReply(r.status)) writer.result(r, target);
        ++done;
        if (succeeded(r.status, options.verify)) ++good;
        shown.update(done, good);
        if (!stopped) fill(window(), tagengine::Clock::now());
    }

    const PollOptions& options;
    const std::vector<Target>& targets;
    const std::shared_ptr<const VMsg>& request;
    ResultWriter& writer;
    tagengine::Engine& engine;
    tagengine::Duration attemptTimeout;
    Progress shown;
    size_t next = 0, done = 0;
    bool stopped = false;
};

}  // namespace

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

    Feed feed(options, targets, request, writer, progress, engine, engineOptions.maxAttemptTimeout);
    writer.begin(false);
    feed.fill(feed.window(), tagengine::Clock::now());
    // Results are written in blocks; before the loop waits, what is written
    // goes out, so lines still show as they come.
    tagengine::RunEnd end = tagengine::runUntilDone(engine, signals.fd, [] { fflush(stdout); });
    if (end == tagengine::RunEnd::Stopped) {
        feed.submitRest(tagengine::Clock::now());
        engine.cancelAll();
        engine.process({}, tagengine::Clock::now());
    }
    fflush(stdout);
    if (options.summary) fprintf(stderr, "%s\n", summaryLine(targets.size(), feed.counts).c_str());
    if (end == tagengine::RunEnd::Failed) {
        perror("tagpoll: epoll");
        return 1;
    }
    return feed.good == targets.size() ? 0 : 1;
}

}  // namespace tagpoll
