// The engine's clock-free timing: the round-trip estimator and the backoff
// of further attempts, by literal durations.
#include <gtest/gtest.h>

#include <vector>

#include "backoff.h"
#include "rtt_estimator.h"

namespace {

using namespace std::chrono_literals;
using tagengine::PeerKey;
using tagengine::RttEstimator;
using us = std::chrono::microseconds;

const PeerKey A{0, 0xffff7f000001, 60000};
const PeerKey B{0, 0xffff7f000002, 60000};

struct Sampled {
    const char* what;
    std::vector<us> samplesOfA;
    std::vector<us> samplesOfB;
    std::chrono::nanoseconds ceiling;
    std::chrono::nanoseconds waitOfA;
    std::chrono::nanoseconds waitOfAnother;  // a target never heard from
};

TEST(RttEstimator, WaitsBySmoothedRoundTripAndVariationWithinFloorAndCeiling) {
    const std::vector<Sampled> cases = {
        {"nothing sampled: the ceiling", {}, {}, 2s, 2s, 2s},
        // 0.1 ms: 100 us + the 1 ms granularity; everyone else by the fleet.
        {"loopback-scale path recovers in about a millisecond", {100us}, {}, 2s, 1100us, 1100us},
        // 300 ms, variation 150 ms: 300 + 4 * 150.
        {"first sample: variation half the round trip", {300ms}, {}, 2s, 900ms, 900ms},
        // The variation decays to 0.6 ms, but the margin stays a quarter.
        {"a steady slow device keeps a quarter margin", std::vector<us>(20, 300ms), {}, 2s, 375ms, 375ms},
        // A: 10 ms, 5 ms -> 30 ms. B: 100 ms -> 300 ms. The fleet saw both:
        // variation (3 * 5 + |10 - 100|) / 4 = 26.25, smoothed 21.25 ms.
        {"each target its own, the fleet over both", {10ms}, {100ms}, 2s, 30ms, 126250us},
        {"the ceiling bounds every estimate", {3s}, {}, 2s, 2s, 2s},
    };
    for (const Sampled& c : cases) {
        RttEstimator e;
        for (us s : c.samplesOfA) e.sample(A, s);
        for (us s : c.samplesOfB) e.sample(B, s);
        EXPECT_EQ(e.timeout(A, c.ceiling), c.waitOfA) << c.what;
        EXPECT_EQ(e.timeout(PeerKey{0, 0xffff7f000009, 60000}, c.ceiling), c.waitOfAnother) << c.what;
        EXPECT_EQ(e.knows(A), !c.samplesOfA.empty()) << c.what;
    }
}

TEST(RttEstimator, FleetHasNoEstimateBeforeItsFirstSample) {
    RttEstimator e;
    EXPECT_FALSE(e.fleetTimeout());
    e.sample(B, 10ms);
    ASSERT_TRUE(e.fleetTimeout());
    EXPECT_EQ(*e.fleetTimeout(), 30ms);
}

TEST(RttEstimator, TargetsKeptAreBounded) {
    RttEstimator e;
    for (uint64_t i = 0; i < RttEstimator::TARGETS_KEPT + 100; ++i) e.sample(PeerKey{0, i, 60000}, 1ms);
    EXPECT_EQ(e.targets(), RttEstimator::TARGETS_KEPT);
    // One forgotten falls back to the fleet's estimate, not to the ceiling.
    EXPECT_EQ(e.timeout(PeerKey{0, 1ULL << 40, 60000}, 2s), 2ms);
}

// A full table makes room only for a target it does not hold: samples of
// one it holds forget no other.
TEST(RttEstimator, FullTableKeepsEveryTargetWhenAHeldOneAnswersAgain) {
    RttEstimator e;
    for (uint64_t i = 0; i < RttEstimator::TARGETS_KEPT; ++i) e.sample(PeerKey{0, i, 60000}, 1ms);
    for (int again = 0; again < 10; ++again) e.sampleTarget(PeerKey{0, 7, 60000}, 1ms);
    EXPECT_EQ(e.targets(), RttEstimator::TARGETS_KEPT);
    EXPECT_TRUE(e.knows(PeerKey{0, 7, 60000}));
}

struct Backoff {
    int attempt;
    double jitter;
    std::chrono::nanoseconds wait;
};

TEST(Backoff, DoublesFromTheEstimateJitteredAndCapped) {
    // Base 30 ms (an estimate), cap 2 s (the time-out).
    const std::vector<Backoff> cases = {
        {0, 0.9, 30ms},     // the first attempt waits the base exactly
        {1, 0.0, 30ms},     // doubled to 60, jittered to half: never below the base
        {1, 0.5, 45ms},     // three quarters of 60
        {3, 0.0, 120ms},    // half of 240
        {7, 0.5, 1500ms},   // 3840 capped at 2000, three quarters of it
        {40, 0.0, 1000ms},  // no overflow however many attempts
    };
    for (const Backoff& c : cases)
        EXPECT_EQ(tagengine::attemptWait(30ms, 2s, c.attempt, c.jitter), c.wait)
            << c.attempt << " " << c.jitter;
}

struct Reckoning {
    const char* what;
    tagengine::AttemptTiming timing;
    std::chrono::milliseconds ends;  // after the attempt's send; -1 ms: at the deadline
};

// When an attempt's wait ends, by the engine's and a line's one rule: a
// time-out of 1 s, the target's estimate 30 ms, sent at 10 s on a clock
// that is only ever handed in.
TEST(AttemptEnd, ByTheEstimateDoubledCappedAndTheLastByTheTimeOutOrDeadline) {
    using tagengine::AttemptTiming;
    const auto sent = std::chrono::steady_clock::time_point{} + 10s;
    const auto deadline = sent + 700ms;
    const auto noDeadline = std::chrono::steady_clock::time_point::max();
    const Reckoning cases[] = {
        {"first attempt: the estimate", {1s, 30ms, 0ms, true, 0, false, 0.9, noDeadline}, 30ms},
        {"nothing heard: the time-out", {1s, 1s, 0ms, true, 0, false, 0.9, noDeadline}, 1000ms},
        {"an estimate over the time-out is cut to it",
         {1s, 5s, 0ms, true, 0, false, 0.9, noDeadline},
         1000ms},
        {"third attempt: doubled twice, jittered", {1s, 30ms, 0ms, true, 2, false, 0.5, noDeadline}, 90ms},
        {"doubling stops at four time-outs", {1s, 30ms, 0ms, true, 9, false, 1.0, noDeadline}, 4000ms},
        {"or at the cap given", {1s, 30ms, 200ms, true, 9, false, 1.0, noDeadline}, 200ms},
        {"the last attempt waits the time-out at least",
         {1s, 30ms, 0ms, true, 1, true, 0.0, noDeadline},
         1000ms},
        {"the last attempt waits until the deadline", {1s, 30ms, 0ms, true, 1, true, 0.0, deadline}, -1ms},
        {"no wait runs past the deadline", {1s, 30ms, 0ms, true, 5, false, 1.0, deadline}, -1ms},
        {"not estimated: the time-out doubled", {1s, 30ms, 0ms, false, 1, false, 1.0, noDeadline}, 2000ms},
        {"not estimated, last: no longer than its turn",
         {1s, 30ms, 0ms, false, 0, true, 0.0, noDeadline},
         1000ms},
    };
    for (const Reckoning& c : cases) {
        auto ends = tagengine::attemptEnd(c.timing, sent);
        if (c.ends == -1ms)
            EXPECT_EQ(ends, deadline) << c.what;
        else
            EXPECT_EQ(ends - sent, c.ends) << c.what;
    }
}

}  // namespace
