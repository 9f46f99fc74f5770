#include "pacer.h"

#include <algorithm>

namespace tagengine {

Pacer::Pacer(double r) : rate(r), burst(std::max(1.0, r / 100)), tokens(burst) {}

void Pacer::refill(Clock::time_point now) {
    if (!started) {
        started = true;
        last = now;
        return;
    }
    if (now <= last) return;
    tokens = std::min(burst, tokens + std::chrono::duration<double>(now - last).count() * rate);
    last = now;
}

bool Pacer::take(Clock::time_point now) {
    if (rate <= 0) return true;
    refill(now);
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
}

Pacer::Clock::time_point Pacer::nextSlot(Clock::time_point now) {
    if (rate <= 0) return now;
    refill(now);
    if (tokens >= 1) return now;
    auto wait = std::chrono::duration<double>((1 - tokens) / rate);
    return now + std::chrono::ceil<Clock::duration>(wait);
}

}  // namespace tagengine
