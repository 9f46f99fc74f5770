// plan and apply on the engine: every target read with one GET of its tags,
// compared by the tags' kinds; for apply, the tags that differ written and
// read back as one verified write. A target's read and write run as soon as
// pacing allows, while the others still wait.
#ifndef TAGCONF_CONF_RUN_H
#define TAGCONF_CONF_RUN_H

#include <memory>
#include <string>
#include <vector>

#include "state.h"
#include "tagengine.h"

namespace tagconf {

struct RunOptions {
    double timeoutSeconds = 2;  // every attempt's wait, as users reckon it
    int retries = 2;            // a read's further attempts; a write's further rounds
    unsigned concurrency = 1024;
    double rate = 0;
    bool write = false;     // apply, not plan
    bool progress = false;  // a progress line on standard error
};

enum class Outcome : uint8_t {
    Unchanged,    // every tag as desired
    ToChange,     // plan: some tags differ
    Changed,      // apply: the tags that differed were written and read back as written
    Mismatch,     // apply: written, but the device holds other values
    Unreachable,  // no answer to go by (reason says why)
    Stale,        // a plan's target that no longer holds what was planned from: not written
};

struct TagChange {
    const TagEntry* entry;
    std::unique_ptr<VTag> current;  // as read; null when the reply lacked it
    std::shared_ptr<const VTag> desired;
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
    std::string reason;                           // Unreachable
    std::vector<StaleTag> stale;                  // Stale
    int attempts = 0;                             // datagrams of the read, then rounds of the write
};

// The engine's options for the run's pacing and time-outs.
tagengine::Options engineOptions(double timeoutSeconds, unsigned concurrency, double rate);

// Why an exchange that ended other than as answered, verified or mismatched
// gives nothing to go by ("timed out after 3 attempts").
std::string unreachableReason(const tagengine::Result& result);

// One result per target of the state, in its order. Throws
// std::system_error when the engine cannot open its socket or epoll fails.
std::vector<TargetResult> runState(const State& state, const RunOptions& options);

}  // namespace tagconf

#endif
