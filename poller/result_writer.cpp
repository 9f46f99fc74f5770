#include "result_writer.h"

#include <cstdio>

#include "client_line.h"
#include "json_message.h"
#include "poll_lines.h"
#include "terminal_text.h"

namespace tagpoll {

ResultWriter::ResultWriter(Format f, FILE* o, size_t bytes) : format(f), out(o), requestBytes(bytes) {}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

void ResultWriter::begin(bool events) {
    if (format != Format::Csv) return;
    fputs(events ? "source,message\n" : "target,address,status,attempts,round_trip_seconds,message\n", out);
}

// Line and CSV output reach terminals as they are: a device's or a sender's
// bytes are escaped there (JSON escapes by its own rules).
void ResultWriter::result(const tagengine::Result& r, const Target& target) {
    label.clear();
    target.appendLabel(label);
    if (format == Format::Line) {
        writeLine(r);
        return;
    }
    line.clear();
    // A reply's line the printer knows to be printable ASCII, the common
    // one, is not looked through again byte by byte.
    bool printable = appendClientLine(line, r, requestBytes, label);
    if (format == Format::Json) {
        fprintf(out, "%s\n", resultJson(r, label, line).dump().c_str());
        return;
    }
    if (!printable && !isPrintableAscii(line)) line = terminalSafe(line);
    bool timed = tookReply(r.status);
    std::string rtt = timed ? std::to_string(std::chrono::duration<double>(r.roundTrip).count()) : "";
    std::string address =
        r.status == tagengine::Status::Unresolvable ? "" : tagengine::endpointText(r.address);
    fprintf(out, "%s,%s,%s,%d,%s,%s\n", csvField(label).c_str(), address.c_str(),
            tagengine::statusName(r.status), r.attempts, rtt.c_str(), csvField(line).c_str());
}

// Most of a run's output is these lines: the client's line printed straight
// after the label, in the one buffer, and written as it is, no format to
// read, in one call.
void ResultWriter::writeLine(const tagengine::Result& r) {
    line.assign(label);
    line += '\t';
    size_t from = line.size();
    bool printable = appendClientLine(line, r, requestBytes, label);
    std::string_view printed = std::string_view(line).substr(from);
    if (!printable && !isPrintableAscii(printed))
        line.replace(from, std::string::npos, terminalSafe(printed));
    line += '\n';
    fwrite(line.data(), 1, line.size(), out);
}

void ResultWriter::event(const sockaddr_storage& source, VMsg* message, size_t bytes) {
    std::string from = tagengine::endpointText(source);
    char bad[64];
    snprintf(bad, sizeof bad, lines::BAD_MESSAGE, bytes);
    std::string text = message ? printedMessage(*message) : std::string(bad);
    if (format != Format::Json && message) text = terminalSafe(text);
    switch (format) {
    case Format::Line: fprintf(out, "%s\t%s\n", from.c_str(), text.c_str()); break;
    case Format::Json: {
        nlohmann::ordered_json j;
        j["source"] = from;
        if (message)
            addMessage(j, *message);
        else
            j["error"] = text;
        fprintf(out, "%s\n", j.dump().c_str());
        break;
    }
    case Format::Csv: fprintf(out, "%s,%s\n", from.c_str(), csvField(text).c_str()); break;
    }
    fflush(out);
}

}  // namespace tagpoll
