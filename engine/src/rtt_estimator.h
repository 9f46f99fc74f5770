// How long a reply takes to come back, as the path has shown it: a smoothed
// round trip and its variation per target, and the same over every target
// for those not heard from yet (RFC 6298's estimator). The engine reads no
// clock: samples and waits are durations it hands in and gets back.
#ifndef TAGENGINE_RTT_ESTIMATOR_H
#define TAGENGINE_RTT_ESTIMATOR_H

#include <chrono>
#include <cstdint>
#include <optional>
#include "flat_map.h"
#include "peer_key.h"

namespace tagengine {

class RttEstimator {
public:
    using Duration = std::chrono::nanoseconds;

    // The finest wait the engine's callers keep (epoll counts milliseconds):
    // the least margin a wait gets above the smoothed round trip.
    static constexpr Duration GRANULARITY = std::chrono::milliseconds(1);
    // Targets given an estimate of their own; past it one of them makes room
    // (each in turn round the table), so a fleet of millions costs a bounded table (a target
    // forgotten falls back to the fleet's estimate).
    static constexpr size_t TARGETS_KEPT = 65536;

    // A whole reply to an attempt sent rtt before: the target's sample and
    // the fleet's.
    void sample(const PeerKey& target, Duration rtt);
    // Each of the two alone. Replies read together share the reader's
    // lateness and are no independent measures of the path: their caller
    // gives the fleet one sample for them all (their mean), lest many equal
    // samples drive its variation, and so its margin, to nothing (as RFC
    // 7323, appendix G, warns of many samples a round trip).
    void sampleTarget(const PeerKey& target, Duration rtt);
    void sampleFleet(Duration rtt) { update(fleet, rtt); }

    // The wait of a first attempt to the target: its own estimate, else the
    // fleet's, never above the ceiling; the ceiling itself when nothing at
    // all has been sampled.
    Duration timeout(const PeerKey& target, Duration ceiling) const;
    // Whether the target has an estimate of its own.
    bool knows(const PeerKey& target) const { return perTarget.contains(target); }
    // The fleet's wait, none before the first sample.
    std::optional<Duration> fleetTimeout() const;

    size_t targets() const { return perTarget.size(); }

private:
    // Kept in microseconds: a target's state is 8 bytes beside its key.
    struct Estimate {
        int32_t srtt = -1;  // -1: no sample yet
        int32_t rttvar = 0;
    };
    static void update(Estimate& e, Duration rtt);
    static Duration waitOf(const Estimate& e);

    FlatMap<PeerKey, Estimate, PeerKeyHash> perTarget;
    Estimate fleet;
};

}  // namespace tagengine

#endif
