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

}  // namespace tagengine
