#include "conf_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <system_error>

#include "client_line.h"
#include "plan_value.h"
#include "poll_options.h"

namespace tagconf {

using tagengine::Status;

namespace {

std::shared_ptr<VMsg> message(uint8_t msgId) {
    auto msg = std::make_shared<VMsg>(msgId);
    msg->sequence = 0;
    msg->setLastSegment(true);
    return msg;
}

std::shared_ptr<const VMsg> readRequest(const TagList& tags) {
    auto get = message(MSG_GET);
    for (const DesiredTag& t : tags) get->addTag(VTagFactory::createVTag(t.entry->id));
    return get;
}

std::shared_ptr<const VMsg> setRequest(const std::vector<TagChange>& changes) {
    auto set = message(MSG_SET);
    for (const TagChange& c : changes) set->addTag(c.desired->clone());
    return set;
}

// Whether a plan's target holds other than the plan read; if so the result
// says which tags, and nothing is written. Copies of a tag that differ hold
// no value, as for the compare below: such a target is stale.
bool isStale(const TargetState& target, const VMsg& reply, TargetResult& result) {
    if (!target.held) return false;
    for (const DesiredTag& h : *target.held) {
        tagengine::Held now = tagengine::heldValue(reply, h.entry->id);
        if (!now.conflicting && heldAlike(h.value.get(), now.value)) continue;
        result.stale.push_back(
            {h.entry, h.value, std::unique_ptr<VTag>(now.value ? now.value->clone() : nullptr)});
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
          progress(options.progress, state.targets.size()),
          window(std::max<size_t>(2 * size_t(options.concurrency), 64)) {}
    RunReport run();

private:
    void feed();
    void finished();
    tagengine::Exchange exchange(size_t index, std::shared_ptr<const VMsg> request);
    void compare(size_t index, tagengine::Result&& r);
    std::shared_ptr<const VMsg> setFor(const std::vector<TagChange>& changes);
    std::shared_ptr<const VMsg> readFor(const TagList& tags);
    void write(size_t index);
    void written(size_t index, tagengine::Result&& r);

    const State& state;
    const RunOptions& options;
    tagengine::Engine engine;
    std::vector<TargetResult> results;
    Progress progress;
    size_t read = 0, writing = 0, done = 0;
    // Targets are handed to the engine a window at a time, so that what a
    // run holds beyond the results is bounded by the window, not the fleet:
    // an exchange waiting in the engine costs as much as one under way.
    size_t window;
    size_t next = 0;    // the first target not yet handed over
    size_t active = 0;  // handed over, result not yet final
    bool feeding = false;
    bool stopping = false;  // an exchange ended cancelled: the run is being stopped
    // One GET per distinct list of tag ids, shared by every target asking it.
    std::map<std::vector<uint8_t>, std::shared_ptr<const VMsg>> requests;
    // The GET of the tag list read last: a fleet shares one list, so the
    // ids need not be gathered and looked up again for each of its targets.
    const TagList* lastTags = nullptr;
    std::shared_ptr<const VMsg> lastRequest;
    // The SET written last, by the values it carries (the state's own,
    // shared by every target without an override): a fleet that differs
    // alike is written with one message, not one built per target. One
    // entry only, so that targets with values of their own cost no memory
    // beyond their write.
    std::vector<const VTag*> lastValues;
    std::shared_ptr<const VMsg> lastSet;
};

tagengine::Exchange Run::exchange(size_t index, std::shared_ptr<const VMsg> request) {
    const tagpoll::Target& t = state.targets[index].target;
    tagengine::Exchange x;
    // No label: results are kept by index, and the engine would copy one
    // into each of a write's rounds and results for nobody to read.
    x.host = t.host;
    x.port = t.port;
    if (options.addresses) x.address = (*options.addresses)[index];
    x.request = std::move(request);
    x.attemptTimeout = std::chrono::duration_cast<tagengine::Duration>(
        std::chrono::duration<double>(options.timeoutSeconds));
    x.retries = options.retries;
    x.budget = tagpoll::givingUpAfter(x.attemptTimeout, options.retries);
    return x;
}

void Run::compare(size_t index, tagengine::Result&& r) {
    ++read;
    TargetResult& result = results[index];
    result.attempts = r.attempts;
    if (r.status == Status::Cancelled) {
        stopping = true;
        result.outcome = Outcome::Stopped;
        result.reason = "not read";
    } else if (r.status != Status::Answered) {
        result.reason = unreachableReason(r);
    } else if (!isStale(state.targets[index], *r.reply, result)) {
        // The one rule of the engine's read-back, so that plan and apply agree.
        for (const DesiredTag& d : *state.targets[index].tags) {
            if (tagengine::holdsValue(*r.reply, *d.value)) continue;
            tagengine::Held current = tagengine::heldValue(*r.reply, d.entry->id);
            result.changes.push_back({d.entry,
                                      std::unique_ptr<VTag>(current.value ? current.value->clone() : nullptr),
                                      d.value, current.conflicting});
        }
        result.outcome = result.changes.empty() ? Outcome::Unchanged : Outcome::ToChange;
        if (options.write && !result.changes.empty()) {
            write(index);
            progress.update(read, writing, done);
            return;
        }
    }
    progress.update(read, writing, done);
    finished();
}

// The SET of a target's changes: the one written last when it carries the
// same values.
std::shared_ptr<const VMsg> Run::setFor(const std::vector<TagChange>& changes) {
    bool same = lastSet && changes.size() == lastValues.size();
    for (size_t i = 0; same && i < changes.size(); ++i) same = changes[i].desired.get() == lastValues[i];
    if (same) return lastSet;
    lastValues.clear();
    for (const TagChange& c : changes) lastValues.push_back(c.desired.get());
    lastSet = setRequest(changes);
    return lastSet;
}

void Run::write(size_t index) {
    tagengine::Exchange x = exchange(index, setFor(results[index].changes));
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
    } else if (r.setSent) {
        // The device may hold the values, or not: nobody read them back.
        result.outcome = Outcome::Unconfirmed;
        std::string why = r.status == Status::Cancelled  ? "stopped"
                          : r.status == Status::TimedOut ? "timed out after " + std::to_string(r.attempts) +
                                                               (r.attempts == 1 ? " round" : " rounds")
                                                         : unreachableReason(r);
        result.reason = "written, not read back (" + why + ")";
    } else if (r.status == Status::Cancelled) {
        stopping = true;
        result.outcome = Outcome::Stopped;
        result.reason = "not written";
    } else {
        // Nothing went out: the device holds what the read saw.
        result.outcome = Outcome::Unreachable;
        result.reason = "not written: " + unreachableReason(r);
    }
    progress.update(read, writing, done);
    finished();
}

void Run::finished() {
    --active;
    feed();
}

std::shared_ptr<const VMsg> Run::readFor(const TagList& tags) {
    if (&tags == lastTags) return lastRequest;
    std::vector<uint8_t> ids;
    for (const DesiredTag& t : tags) ids.push_back(t.entry->id);
    auto& request = requests[ids];
    if (!request) request = readRequest(tags);
    lastTags = &tags;
    lastRequest = request;
    return request;
}

// Called again from a callback of an exchange it submits, it leaves the
// handing over to the call already under way.
void Run::feed() {
    // A stopped run hands nothing more to the engine: what was never fed
    // is reported as not read.
    if (feeding || stopping) return;
    feeding = true;
    auto now = tagengine::Clock::now();
    while (next < state.targets.size() && active < window) {
        size_t i = next++;
        // A plan's target reads every tag the plan read.
        const TagList& tags = state.targets[i].held ? *state.targets[i].held : *state.targets[i].tags;
        if (tags.empty()) {
            results[i].outcome = Outcome::Unchanged;
            ++read;
            continue;
        }
        tagengine::Exchange x = exchange(i, readFor(tags));
        x.done = [this, i](tagengine::Result&& r) { compare(i, std::move(r)); };
        ++active;
        engine.submit(std::move(x), now);
    }
    feeding = false;
}

RunReport Run::run() {
    feed();
    tagengine::RunEnd end = tagengine::runUntilDone(engine, options.stopFd);
    if (end == tagengine::RunEnd::Failed) throw std::system_error(errno, std::generic_category(), "epoll");
    if (end == tagengine::RunEnd::Stopped)
        for (size_t i = next; i < state.targets.size(); ++i) {
            results[i].outcome = Outcome::Stopped;
            results[i].reason = "not read";
        }
    progress.update(read, writing, done);
    return {std::move(results), end == tagengine::RunEnd::Stopped};
}

}  // namespace

tagengine::Options engineOptions(double timeoutSeconds, unsigned concurrency, double rate) {
    tagengine::Options o;
    o.maxInFlight = concurrency;
    o.requestsPerSecond = rate;
    // -t bounds every attempt's wait, as with tagpoll: a target that never
    // answers is done after the time-out times the attempts at most, and
    // within the budget.
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
    return runStateUntilStopped(state, options).results;
}

RunReport runStateUntilStopped(const State& state, const RunOptions& options) {
    Run run(state, options);
    return run.run();
}

}  // namespace tagconf
