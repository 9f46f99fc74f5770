#include "client_line.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "message_text.h"
#include "msg_request.h"
#include "output_lines.h"
#include "poll_lines.h"
#include "tag_vocabulary.h"

namespace tagpoll {

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    int length = snprintf(nullptr, 0, pattern, args...);
    std::vector<char> text(size_t(length > 0 ? length : 0) + 1);
    snprintf(text.data(), text.size(), pattern, args...);
    std::string s(text.data());
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// The host part of a "host:port" label.
std::string hostOf(std::string_view label) { return std::string(label.substr(0, label.rfind(':'))); }

// Results go to standard output: on a terminal a device's text must not
// move the cursor or rewrite the screen, as with tagclient. Asked once:
// standard output stays what it is for the whole run.
bool toTerminal() {
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    return terminal;
}

// A tag's value as the client prints it after the name: "\"a\"", "0000002A".
std::string printedValue(const VTag& tag) {
    std::string value;
    // The value is read, never changed.
    appendTagValueText(value, const_cast<VTag*>(&tag), toTerminal());
    if (!value.empty() && value.front() == '=') value.erase(0, 1);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

std::string mismatchLine(const tagengine::Result& result) {
    std::string line = lines::SET_MISMATCH;
    for (const tagengine::Mismatch& m : result.mismatches) {
        const TagEntry* entry = tagById(m.wrote->tagId);
        line += " " + std::string(entry ? entry->name : std::to_string(m.wrote->tagId));
        line += " WROTE=" + printedValue(*m.wrote);
        line += " READ=" + (m.read ? printedValue(*m.read) : std::string(lines::NOT_READ));
    }
    return line;
}

// The line of a result other than a reply printed as it came.
std::string otherLine(const tagengine::Result& result, size_t requestBytes, std::string_view target) {
    using tagengine::Status;
    switch (result.status) {
    case Status::Answered:
    case Status::ErrorReply: return std::string();
    case Status::Sent: return format(::lines::SENT, int(requestBytes));
    case Status::TimedOut: return format(lines::TIMEOUT, result.attempts);
    case Status::Refused: return format(lines::REFUSED, result.attempts);
    case Status::Cancelled: return format(lines::CANCELLED, result.attempts);
    case Status::Unresolvable: return format(::lines::HOST_UNKNOWN, hostOf(target).c_str());
    case Status::ReplyTooLong:
        if (result.tags > REPLY_TAG_LIMIT) return format(::lines::RX_REPLY_TOO_LONG, REPLY_TAG_LIMIT);
        return format(lines::REPLY_TOO_MANY_BYTES, result.bytes);
    case Status::SendFailed: return format(::lines::SEND_FAILED, result.detail.c_str());
    case Status::Verified: return lines::VERIFIED;
    case Status::Mismatch: return mismatchLine(result);
    }
    return {};
}

}  // namespace

std::string printedMessage(VMsg& message) {
    std::string line;
    // A device's whole reply usually fits: one allocation, no regrowth.
    line.reserve(1024);
    appendMessageText(line, &message, toTerminal());
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

std::string clientLine(const tagengine::Result& result, size_t requestBytes) {
    std::string line;
    appendClientLine(line, result, requestBytes, result.target);
    return line;
}

bool appendClientLine(std::string& line, const tagengine::Result& result, size_t requestBytes,
                      std::string_view target) {
    using tagengine::Status;
    bool answered = result.status == Status::Answered || result.status == Status::ErrorReply;
    if (answered && (result.reply || !result.replyDatagram.empty())) {
        size_t from = line.size();
        VMsgView inPlace;
        bool printable = false;
        if (result.reply)
            appendMessageText(line, result.reply.get(), toTerminal());
        else if (inPlace.parse(result.replyDatagram.data(), uint16_t(result.replyDatagram.size())))
            printable = appendMessageText(line, inPlace, toTerminal());
        if (line.size() > from && line.back() == '\n') line.pop_back();
        return printable;
    }
    line += otherLine(result, requestBytes, target);
    return false;
}

}  // namespace tagpoll
