// The tags each device is known not to hold, so that a steady scrape asks
// only for what the device can answer: one exchange, not an ERR reply and a
// second GET every time.
//
// Remembered per target and set of modules, for a while only (a device may
// be upgraded), forgotten on SIGHUP, and bounded in number: past the bound
// the oldest entry goes, which only costs that target one ERR again.
#ifndef EXPORTER_MISSING_TAGS_H
#define EXPORTER_MISSING_TAGS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace exporter {

class MissingTags {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t DEFAULT_MAX_ENTRIES = 65536;
    static constexpr Clock::duration DEFAULT_REMEMBER_FOR = std::chrono::minutes(10);

    explicit MissingTags(size_t maxEntries = DEFAULT_MAX_ENTRIES,
                         Clock::duration rememberFor = DEFAULT_REMEMBER_FOR)
        : maxEntries(maxEntries), rememberFor(rememberFor) {}

    // The key of a probe: its target and the modules it names, in order.
    static std::string keyOf(const std::string& target, const std::vector<std::string>& modules);

    // The tags left out of a request of these tags: those the device is known
    // not to hold, unless that is all of them, when every tag is asked for
    // again (the device's answer is still the probe's only sign of life).
    std::vector<uint8_t> reduce(const std::string& key, const std::vector<uint8_t>& tags,
                                Clock::time_point now);

    // Adds tags the device said it does not hold; the time it learnt them
    // counts from the first learnt.
    void learn(const std::string& key, const std::vector<uint8_t>& notHeld, Clock::time_point now);

    void forgetAll();
    size_t size() const;

private:
    struct Entry {
        std::vector<uint8_t> ids;
        Clock::time_point learnt;
    };
    void makeRoom(Clock::time_point now);

    size_t maxEntries;
    Clock::duration rememberFor;
    mutable std::mutex lock;
    std::map<std::string, Entry> entries;  // under lock
};

}  // namespace exporter

#endif
