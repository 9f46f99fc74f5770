// Requests per second as a token bucket: a burst of up to a hundredth of a
// second's worth (at least one), refilled as time passes.
#ifndef TAGENGINE_PACER_H
#define TAGENGINE_PACER_H

#include <chrono>

namespace tagengine {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;
    // rate 0: no limit.
    explicit Pacer(double rate);
    // Takes one token if there is one now.
    bool take(Clock::time_point now);
    // When the next token will be there (now if there is one).
    Clock::time_point nextSlot(Clock::time_point now);

private:
    void refill(Clock::time_point now);
    double rate;
    double burst;
    double tokens;
    Clock::time_point last{};
    bool started = false;
};

}  // namespace tagengine

#endif
