#include "backoff.h"

#include <algorithm>

namespace tagengine {

std::chrono::nanoseconds attemptWait(std::chrono::nanoseconds base, std::chrono::nanoseconds cap, int attempt,
                                     double jitter) {
    if (attempt <= 0) return base;
    if (cap < base) cap = base;
    auto wait = base;
    // Doubling stops at the cap, so no shift can overflow.
    for (int i = 0; i < attempt && wait < cap; ++i) wait *= 2;
    wait = std::min(wait, cap);
    auto jittered = std::chrono::nanoseconds(int64_t(double(wait.count()) * (0.5 + jitter / 2)));
    return std::max(jittered, base);
}

std::chrono::steady_clock::time_point attemptEnd(const AttemptTiming& a,
                                                 std::chrono::steady_clock::time_point from) {
    // The time-out is the ceiling of the estimate and the wait while nothing
    // has been heard from anyone; further attempts double from the estimate.
    std::chrono::nanoseconds base = a.estimated ? std::min(a.estimate, a.timeout) : a.timeout;
    std::chrono::nanoseconds cap = a.cap.count() > 0 ? a.cap : a.timeout * 4;
    std::chrono::nanoseconds wait = attemptWait(base, cap, a.attempt, a.jitter);
    // The last attempt waits for as long as the exchange may run, whatever
    // the estimate: a device busy for longer than a few round trips still
    // has its reply to any attempt taken, and a target that never answers
    // is given up when its deadline or budget says, as before estimates.
    if (a.estimated && a.last) {
        if (a.deadline != std::chrono::steady_clock::time_point::max()) return a.deadline;
        wait = std::max(wait, a.timeout);
    }
    return a.deadline - from > wait ? from + wait : a.deadline;
}

}  // namespace tagengine
