#include "conf_run.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <system_error>

#include "client_line.h"
#include "plan_value.h"

namespace tagconf {

using tagengine::Status;

namespace {

std::shared_ptr<const VMsg> message(uint8_t msgId, const std::vector<std::unique_ptr<VTag>>& tags) {
    auto msg = std::make_shared<VMsg>(msgId);
    msg->sequence = 0;
    msg->setLastSegment(true);
    for (const auto& tag : tags) msg->addTag(tag->clone());
    return msg;
}

std::shared_ptr<const VMsg> readRequest(const TagList& tags) {
    std::vector<std::unique_ptr<VTag>> asked;
    for (const DesiredTag& t : tags) asked.emplace_back(VTagFactory::createVTag(t.entry->id));
    return message(MSG_GET, asked);
}

const VTag* findTag(const VMsg& reply, uint8_t id) {
    for (const VTag* t : reply)
        if (t->tagId == id) return t;
    return nullptr;
}

// Whether a plan's target holds other than the plan read; if so the result
// says which tags, and nothing is written.
bool isStale(const TargetState& target, const VMsg& reply, TargetResult& result) {
    if (!target.held) return false;
    for (const DesiredTag& h : *target.held) {
        const VTag* now = findTag(reply, h.entry->id);
        if (heldAlike(h.value.get(), now)) continue;
        result.stale.push_back({h.entry, h.value, std::unique_ptr<VTag>(now ? now->clone() : nullptr)});
    }
    if (result.stale.empty()) return false;
    result.outcome = Outcome::Stale;
    return true;
}

// The progress line, redrawn at most every tenth of a second.
class Progress {
public:
    Progress(bool shown, size_t total) : shown(shown), total(total) {}
    void update(size_t read, size_t writing, size_t written) {
        auto now = tagengine::Clock::now();
        bool last = read == total && written == writing;
        if (!shown || (now - drawn < std::chrono::milliseconds(100) && !last)) return;
        drawn = now;
        fprintf(stderr, "\rtagconf: %zu/%zu read, %zu/%zu written\033[K", read, total, written, writing);
        if (last) fputc('\n', stderr);
    }

private:
    bool shown;
    size_t total;
    tagengine::Clock::time_point drawn{};
};

// One run: the engine, the results, and what is still under way.
class Run {
public:
    Run(const State& state, const RunOptions& options)
        : state(state),
          options(options),
          engine(engineOptions(options.timeoutSeconds, options.concurrency, options.rate)),
          results(state.targets.size()),
          progress(options.progress, state.targets.size()) {}
    std::vector<TargetResult> run();

private:
    tagengine::Exchange exchange(size_t index, std::shared_ptr<const VMsg> request);
    void compare(size_t index, tagengine::Result&& r);
    void write(size_t index);
    void written(size_t index, tagengine::Result&& r);

    const State& state;
    const RunOptions& options;
    tagengine::Engine engine;
    std::vector<TargetResult> results;
    Progress progress;
    size_t read = 0, writing = 0, done = 0;
};

tagengine::Exchange Run::exchange(size_t index, std::shared_ptr<const VMsg> request) {
    const tagpoll::Target& t = state.targets[index].target;
    tagengine::Exchange x;
    x.target = t.label();
    x.host = t.host;
    x.port = t.port;
    x.request = std::move(request);
    x.attemptTimeout = std::chrono::duration_cast<tagengine::Duration>(
        std::chrono::duration<double>(options.timeoutSeconds));
    x.retries = options.retries;
    return x;
}

void Run::compare(size_t index, tagengine::Result&& r) {
    ++read;
    TargetResult& result = results[index];
    result.attempts = r.attempts;
    if (r.status != Status::Answered) {
        result.reason = unreachableReason(r);
    } else if (!isStale(state.targets[index], *r.reply, result)) {
        for (const DesiredTag& d : *state.targets[index].tags) {
            const VTag* current = findTag(*r.reply, d.entry->id);
            if (current && tagengine::sameValue(*d.value, *current)) continue;
            result.changes.push_back(
                {d.entry, std::unique_ptr<VTag>(current ? current->clone() : nullptr), d.value});
        }
        result.outcome = result.changes.empty() ? Outcome::Unchanged : Outcome::ToChange;
        if (options.write && !result.changes.empty()) write(index);
    }
    progress.update(read, writing, done);
}

void Run::write(size_t index) {
    std::vector<std::unique_ptr<VTag>> values;
    for (const TagChange& c : results[index].changes) values.emplace_back(c.desired->clone());
    tagengine::Exchange x = exchange(index, message(MSG_SET, values));
    x.done = [this, index](tagengine::Result&& r) { written(index, std::move(r)); };
    ++writing;
    engine.submitWrite(std::move(x), tagengine::Clock::now());
}

void Run::written(size_t index, tagengine::Result&& r) {
    ++done;
    TargetResult& result = results[index];
    result.attempts += r.attempts;
    if (r.status == Status::Verified) {
        result.outcome = Outcome::Changed;
    } else if (r.status == Status::Mismatch) {
        result.outcome = Outcome::Mismatch;
        result.mismatches = std::move(r.mismatches);
    } else {
        // Whatever was sent, nobody confirmed it: not done.
        result.outcome = Outcome::Unreachable;
        result.reason = "written but not confirmed: " + unreachableReason(r);
    }
    progress.update(read, writing, done);
}

std::vector<TargetResult> Run::run() {
    // One request per distinct list of tag ids: a plan's targets each have a
    // list of their own, mostly of the same tags.
    std::map<std::string, std::shared_ptr<const VMsg>> requests;
    auto now = tagengine::Clock::now();
    for (size_t i = 0; i < state.targets.size(); ++i) {
        // A plan's target reads every tag the plan read.
        const TagList& tags = state.targets[i].held ? *state.targets[i].held : *state.targets[i].tags;
        if (tags.empty()) {
            results[i].outcome = Outcome::Unchanged;
            ++read;
            continue;
        }
        std::string ids;
        for (const DesiredTag& t : tags) ids += char(t.entry->id);
        auto& request = requests[ids];
        if (!request) request = readRequest(tags);
        tagengine::Exchange x = exchange(i, request);
        x.done = [this, i](tagengine::Result&& r) { compare(i, std::move(r)); };
        engine.submit(std::move(x), now);
    }
    if (!tagengine::runUntilDone(engine)) throw std::system_error(errno, std::generic_category(), "epoll");
    progress.update(read, writing, done);
    return std::move(results);
}

}  // namespace

tagengine::Options engineOptions(double timeoutSeconds, unsigned concurrency, double rate) {
    tagengine::Options o;
    o.maxInFlight = concurrency;
    o.requestsPerSecond = rate;
    // -t is the wait of every attempt, as with tagpoll: a target that never
    // answers is done after the time-out times the attempts.
    o.maxAttemptTimeout =
        std::chrono::duration_cast<tagengine::Duration>(std::chrono::duration<double>(timeoutSeconds));
    return o;
}

std::string unreachableReason(const tagengine::Result& r) {
    std::string attempts = std::to_string(r.attempts) + (r.attempts == 1 ? " attempt" : " attempts");
    switch (r.status) {
    case Status::TimedOut: return "timed out after " + attempts;
    case Status::Refused: return "refused (port closed)";
    case Status::Unresolvable: return "unresolvable host";
    case Status::ErrorReply: return "error reply: " + (r.reply ? tagpoll::printedMessage(*r.reply) : "");
    case Status::ReplyTooLong: return "reply too long";
    case Status::SendFailed: return "send failed: " + r.detail;
    case Status::Cancelled: return "cancelled";
    default: return tagengine::statusName(r.status);
    }
}

std::vector<TargetResult> runState(const State& state, const RunOptions& options) {
    Run run(state, options);
    return run.run();
}

}  // namespace tagconf
