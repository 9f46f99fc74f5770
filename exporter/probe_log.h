// The log of one probe for debug=true: what was sent, each attempt, what came
// back and why the probe ended as it did, in plain text, times from the
// probe's start.
#ifndef EXPORTER_PROBE_LOG_H
#define EXPORTER_PROBE_LOG_H

#include <string>

#include "tagengine.h"

namespace exporter {

class ProbeLog {
public:
    explicit ProbeLog(tagengine::Clock::time_point start) : start(start) {}

    void note(tagengine::Clock::time_point at, const std::string& what);
    void request(tagengine::Clock::time_point at, const std::string& address, const VMsg& request);
    void event(const tagengine::Event& event);
    void result(tagengine::Clock::time_point at, const tagengine::Result& result);
    const std::string& text() const { return lines; }

private:
    tagengine::Clock::time_point start;
    std::string lines;
};

// The message as one line of tagclient's vocabulary ("GET: TAG_DEV_ID=0000002A ").
std::string messageLine(const VMsg& message);

}  // namespace exporter

#endif
