#include "probe_log.h"

#include <cstdio>
#include <cstdlib>

#include "msg_request.h"
#include "terminal_text.h"

namespace exporter {

std::string messageLine(const VMsg& message) {
    char* buffer = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    if (!out) return "(cannot be printed)";
    MsgRequest printer(MSG_GET);
    printer.out = out;
    printer.printMsg(const_cast<VMsg*>(&message));  // moves the cursor only
    fclose(out);
    std::string line(buffer, length);
    free(buffer);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

std::string safeLines(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        size_t end = text.find('\n');
        out += terminalSafe(text.substr(0, end));
        if (end == std::string_view::npos) break;
        out += '\n';
        text.remove_prefix(end + 1);
    }
    return out;
}

std::string ProbeLog::line(tagengine::Clock::time_point at, const std::string& what) const {
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%8.3f s  ", std::chrono::duration<double>(at - start).count());
    std::string shown = terminalSafe(std::string_view(what).substr(0, MAX_LINE_BYTES));
    if (what.size() > MAX_LINE_BYTES)
        shown += " ... (line cut at " + std::to_string(MAX_LINE_BYTES) + " bytes)";
    return stamp + shown + "\n";
}

void ProbeLog::note(tagengine::Clock::time_point at, const std::string& what) { lines += line(at, what); }

void ProbeLog::eventNote(tagengine::Clock::time_point at, const std::string& what) {
    if (cutAt == std::string::npos) {
        std::string entry = line(at, what);
        if (eventBytes + entry.size() <= maxEventBytes) {
            eventBytes += entry.size();
            lines += entry;
            return;
        }
        cutAt = lines.size();
        cutTime = at;
    }
    ++leftOut;
}

std::string ProbeLog::text() const {
    if (cutAt == std::string::npos) return lines;
    return lines.substr(0, cutAt) +
           line(cutTime, "the log of attempts and segments stops here, at " + std::to_string(maxEventBytes) +
                             " bytes: " + std::to_string(leftOut) + " more such lines were left out") +
           lines.substr(cutAt);
}

void ProbeLog::request(tagengine::Clock::time_point at, const std::string& address, const VMsg& request) {
    note(at, "request to " + address + ": " + messageLine(request));
}

void ProbeLog::event(const tagengine::Event& event) {
    using Kind = tagengine::Event::Kind;
    std::string attempt =
        "attempt " + std::to_string(event.attempt) + " (sequence " + std::to_string(event.sequence) + ")";
    switch (event.kind) {
    case Kind::Sent: eventNote(event.at, attempt + ": sent " + std::to_string(event.bytes) + " bytes"); break;
    case Kind::Segment:
        eventNote(event.at, attempt + ": received a segment of " + std::to_string(event.bytes) + " bytes" +
                                (event.last ? ", the last" : ", more to come"));
        break;
    case Kind::AttemptTimedOut: eventNote(event.at, attempt + ": no whole reply in time"); break;
    }
}

void ProbeLog::result(tagengine::Clock::time_point at, const tagengine::Result& result) {
    std::string ended = std::string("exchange ended: ") + tagengine::statusName(result.status);
    if (!result.detail.empty()) ended += " (" + result.detail + ")";
    ended += ", " + std::to_string(result.attempts) + " attempts, " + std::to_string(result.segments) +
             " segments received";
    note(at, ended);
    if (result.reply) note(at, "reply: " + messageLine(*result.reply));
}

}  // namespace exporter
