// The wait of each attempt: the base time-out doubled per retry, capped,
// then jittered to between half and all of it so that targets timed out
// together do not retry in lock-step, and never below the base.
#ifndef TAGENGINE_BACKOFF_H
#define TAGENGINE_BACKOFF_H

#include <chrono>
#include <random>

namespace tagengine {

// attempt counts from 0 (the first send); jitter is a fraction in [0, 1).
std::chrono::nanoseconds attemptWait(std::chrono::nanoseconds base, std::chrono::nanoseconds cap, int attempt,
                                     double jitter);

// One attempt of an exchange, as its wait is reckoned by the engine and by
// a line alike (tagengine.h states the rules).
struct AttemptTiming {
    std::chrono::nanoseconds timeout;   // the exchange's attemptTimeout: the ceiling
    std::chrono::nanoseconds estimate;  // the estimator's wait for the target (timeout when none)
    std::chrono::nanoseconds cap;       // Options::maxAttemptTimeout, or 0 for four time-outs
    bool estimated = true;              // Options::estimateWaits
    int attempt = 0;                    // from 0, the earlier rounds of what it serves counted
    bool last = false;                  // no attempt may follow it
    double jitter = 0;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// When the attempt's wait, begun at from, is over.
std::chrono::steady_clock::time_point attemptEnd(const AttemptTiming& a,
                                                 std::chrono::steady_clock::time_point from);

}  // namespace tagengine

#endif
