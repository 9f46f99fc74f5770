#include "rtt_estimator.h"

#include <algorithm>
#include <cstdlib>

namespace tagengine {

namespace {

// A round trip longer than this is held at it: the microsecond fields must
// not overflow, and no caller waits half an hour for one datagram.
constexpr int64_t LONGEST_US = 1800LL * 1000 * 1000;

}  // namespace

void RttEstimator::update(Estimate& e, Duration rtt) {
    int64_t r = std::clamp<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(rtt).count(), 0,
                                    LONGEST_US);
    if (e.srtt < 0) {
        e.srtt = int32_t(r);
        e.rttvar = int32_t(r / 2);
        return;
    }
    // The variation first, against the smoothed round trip before this
    // sample moves it (RFC 6298, 2.3): gains 1/4 and 1/8.
    e.rttvar = int32_t((3 * int64_t(e.rttvar) + std::abs(int64_t(e.srtt) - r)) / 4);
    e.srtt = int32_t((7 * int64_t(e.srtt) + r) / 8);
}

RttEstimator::Duration RttEstimator::waitOf(const Estimate& e) {
    // The margin above the smoothed round trip: four variations, but never
    // under the granularity, and never under a quarter of the round trip, so
    // a device that answered steadily for a long time (its variation near
    // zero) and then a little slower is not sent a needless datagram. On a
    // loopback-scale path (0.1 ms) this is about a millisecond.
    std::chrono::microseconds srtt(e.srtt), rttvar(e.rttvar);
    Duration margin = std::max({Duration(GRANULARITY), Duration(4 * rttvar), Duration(srtt / 4)});
    return srtt + margin;
}

void RttEstimator::sample(const PeerKey& target, Duration rtt) {
    sampleFleet(rtt);
    sampleTarget(target, rtt);
}

void RttEstimator::sampleTarget(const PeerKey& target, Duration rtt) {
    // Only a full table is searched first, to make room for a new target:
    // below that, one lookup finds the target or places it, as new.
    if (perTarget.size() >= TARGETS_KEPT && !perTarget.contains(target)) perTarget.erase(perTarget.anyKey());
    update(*perTarget.tryEmplace(target).first, rtt);
}

RttEstimator::Duration RttEstimator::timeout(const PeerKey& target, Duration ceiling) const {
    if (const Estimate* own = perTarget.find(target)) return std::min(waitOf(*own), ceiling);
    if (fleet.srtt >= 0) return std::min(waitOf(fleet), ceiling);
    return ceiling;
}

std::optional<RttEstimator::Duration> RttEstimator::fleetTimeout() const {
    if (fleet.srtt < 0) return std::nullopt;
    return waitOf(fleet);
}

}  // namespace tagengine
