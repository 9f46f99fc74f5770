// Writes results, and messages that arrive unasked, in the chosen format:
// line (target, TAB, the client's line), JSON Lines, or CSV with a header.
// In line and CSV output the client's line has a device's or a sender's
// control bytes and bytes that are not UTF-8 escaped as \xNN (terminalSafe).
#ifndef TAGPOLL_RESULT_WRITER_H
#define TAGPOLL_RESULT_WRITER_H

#include <cstdio>

#include "poll_options.h"
#include "tagengine.h"
#include "targets.h"

namespace tagpoll {

class ResultWriter {
public:
    // requestBytes: the request's length, printed for requests only sent.
    ResultWriter(Format format, FILE* out, size_t requestBytes);

    // The CSV header; nothing for the other formats.
    void begin(bool events);
    // The result of the exchange with target (the result's own label is not
    // read: the engine need not carry one per exchange).
    void result(const tagengine::Result& result, const Target& target);
    // A datagram that arrived from source: the message, or null when its
    // bytes are not one valid message.
    void event(const sockaddr_storage& source, VMsg* message, size_t bytes);

private:
    // A result in line format.
    void writeLine(const tagengine::Result& result);

    Format format;
    FILE* out;
    size_t requestBytes;
    // Kept from one result to the next, so that a line costs no allocation.
    std::string label, line;
};

// A CSV field, quoted when it holds a comma, quote or line break.
std::string csvField(const std::string& text);

}  // namespace tagpoll

#endif
