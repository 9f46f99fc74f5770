// The log of one probe for debug=true: what was sent, each attempt, what came
// back and why the probe ended as it did, in plain text, times from the
// probe's start.
//
// Bounded whatever the device sends: the lines of attempts and segments are
// kept up to maxEventBytes, and past it only counted, the body saying where
// they stop and how many were left out; every other line is kept, cut at
// MAX_LINE_BYTES. A device's bytes are escaped (terminalSafe), so that the
// body can be read on a terminal.
#ifndef EXPORTER_PROBE_LOG_H
#define EXPORTER_PROBE_LOG_H

#include <string>
#include <string_view>

#include "tagengine.h"

namespace exporter {

class ProbeLog {
public:
    static constexpr size_t MAX_EVENT_BYTES = size_t{1} << 20;
    static constexpr size_t MAX_LINE_BYTES = size_t{64} << 10;

    explicit ProbeLog(tagengine::Clock::time_point start, size_t maxEventBytes = MAX_EVENT_BYTES)
        : start(start), maxEventBytes(maxEventBytes) {}

    void note(tagengine::Clock::time_point at, const std::string& what);
    void request(tagengine::Clock::time_point at, const std::string& address, const VMsg& request);
    void event(const tagengine::Event& event);
    void result(tagengine::Clock::time_point at, const tagengine::Result& result);
    // The lines, with the one that says where the events stopped, if they did.
    std::string text() const;

private:
    std::string line(tagengine::Clock::time_point at, const std::string& what) const;
    void eventNote(tagengine::Clock::time_point at, const std::string& what);

    tagengine::Clock::time_point start;
    size_t maxEventBytes;
    std::string lines;
    size_t eventBytes = 0;
    size_t cutAt = std::string::npos;  // where the events stopped, in lines
    tagengine::Clock::time_point cutTime;
    uint64_t leftOut = 0;
};

// Lines of text as the debug body shows them: each made terminalSafe, the
// line ends kept (a device's text in the metrics' label values, say).
std::string safeLines(std::string_view text);

// The message as one line of tagclient's vocabulary ("GET: TAG_DEV_ID=0000002A ").
std::string messageLine(const VMsg& message);

}  // namespace exporter

#endif
