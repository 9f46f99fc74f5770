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

}  // namespace tagengine

#endif
