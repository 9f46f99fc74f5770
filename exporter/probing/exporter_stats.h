// The exporter's own metrics, served on /metrics: counters that any thread
// may bump, and the process figures read from /proc when they are served.
#ifndef EXPORTER_STATS_H
#define EXPORTER_STATS_H

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace exporter {

enum class ProbeResult : uint8_t { Success, Failure, BadRequest, Overloaded };

struct DatagramCounts {
    uint64_t sent = 0, received = 0, dropped = 0;
};

class ExporterStats {
public:
    static constexpr std::array<double, 12> BUCKETS = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,   0.25,   0.5,   1,    2.5,   5};

    void countProbe(ProbeResult result);
    void observeDuration(double seconds);
    void countReload(bool ok, double unixTime);
    void countUnauthorised() { ++unauthorised; }
    void countThrottled() { ++throttled; }
    void countChecksBusy() { ++checksBusy; }

    std::atomic<int64_t> inFlight{0};
    std::atomic<uint64_t> sent{0}, received{0}, dropped{0};

    // Everything above plus the process figures, as an exposition.
    std::string render(const std::string& version) const;

private:
    std::array<std::atomic<uint64_t>, 4> probes{};
    mutable std::mutex histogramLock;
    std::array<uint64_t, BUCKETS.size()> bucketCounts{};
    uint64_t count = 0;
    double sum = 0;
    std::atomic<uint64_t> reloadFailures{0}, reloads{0}, unauthorised{0}, throttled{0}, checksBusy{0};
    std::atomic<bool> lastReloadOk{true};
    std::atomic<double> lastReloadTime{0};
};

}  // namespace exporter

#endif
