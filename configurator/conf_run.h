// plan and apply on the engine: every target read with one GET of its tags,
// compared by the tags' kinds; for apply, the tags that differ written and
// read back as one verified write. A target's read and write run as soon as
// pacing allows, while the others still wait.
#ifndef TAGCONF_CONF_RUN_H
#define TAGCONF_CONF_RUN_H

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "poll_options.h"

#include "state.h"
#include "tagengine.h"

namespace tagconf {

struct RunOptions {
    double timeoutSeconds = 2;               // the longest wait of an attempt
    int retries = tagpoll::DEFAULT_RETRIES;  // a read's further attempts; a write's further rounds
    unsigned concurrency = 1024;
    double rate = 0;
    bool write = false;     // apply, not plan
    bool progress = false;  // a progress line on standard error
    // Readable when the run is to stop (a signalfd): what is under way is
    // cancelled and every target reported as far as it got. -1 for none.
    int stopFd = -1;
    // Each target's address, resolved once before the run (by the state's
    // order; AF_UNSPEC where the host did not resolve): every exchange goes
    // there. Null: the engine resolves each host itself.
    const std::vector<sockaddr_storage>* addresses = nullptr;
};

enum class Outcome : uint8_t {
    Unchanged,    // every tag as desired
    ToChange,     // plan: some tags differ
    Changed,      // apply: the tags that differed were written and read back as written
    Mismatch,     // apply: written, but the device holds other values
    Unreachable,  // no answer to go by (reason says why)
    Unconfirmed,  // apply: written, but the last read-back never came (reason says why)
    Stopped,      // the run was stopped before this target was read or written (reason says which)
    Stale,        // a plan's target that no longer holds what was planned from: not written
};

struct TagChange {
    const TagEntry* entry;
    std::unique_ptr<VTag> current;  // as read; null when the reply lacked it
    std::shared_ptr<const VTag> desired;
    bool conflicting = false;  // the reply held the tag more than once, with differing values
};

// A tag of a plan's target that holds other than what the plan read.
struct StaleTag {
    const TagEntry* entry;
    std::shared_ptr<const VTag> planned;  // null when the plan read none
    std::unique_ptr<VTag> now;            // null when the reply lacks it
};

struct TargetResult {
    Outcome outcome = Outcome::Unreachable;
    std::vector<TagChange> changes;               // the tags that differed when read
    std::vector<tagengine::Mismatch> mismatches;  // Mismatch: as last read back
    std::string reason;                           // Unreachable, Unconfirmed, Stopped
    std::vector<StaleTag> stale;                  // Stale
    int attempts = 0;                             // datagrams of the read, then rounds of the write
};

// How a run ended: every target done, or stopped by stopFd first.
struct RunReport {
    std::vector<TargetResult> results;
    bool stopped = false;
    int stopSignal = 0;  // the signal that stopped it, when one did
};

// The engine's options for the run's pacing and time-outs.
tagengine::Options engineOptions(double timeoutSeconds, unsigned concurrency, double rate);

// Why an exchange that ended other than as answered, verified or mismatched
// gives nothing to go by ("timed out after 3 attempts").
std::string unreachableReason(const tagengine::Result& result);

// One result per target of the state, in its order. Throws
// std::system_error when the engine cannot open its socket or epoll fails.
std::vector<TargetResult> runState(const State& state, const RunOptions& options);

// The same, but a run stopped by options.stopFd still reports every target:
// those whose write went out but was not read back as Unconfirmed, those not
// read or not written as Stopped.
RunReport runStateUntilStopped(const State& state, const RunOptions& options);

}  // namespace tagconf

#endif
