// The one line tagclient would print for a result: its printer's line for a
// reply, or an ERR line saying what happened instead.
#ifndef TAGPOLL_CLIENT_LINE_H
#define TAGPOLL_CLIENT_LINE_H

#include <cstddef>
#include <string>
#include <string_view>

#include "tagengine.h"

namespace tagpoll {

// The message as tagclient prints it, without the newline.
std::string printedMessage(VMsg& message);

// The line for the result, without the newline; requestBytes is the length
// of the request, printed for one that was only sent.
std::string clientLine(const tagengine::Result& result, size_t requestBytes);
// The same, appended to line, for the exchange with target (its label, as
// the result's own may be left empty): a caller writing a line per result
// reuses one string rather than allocating one per line.
// Returns whether what it appended is known to be printable ASCII: a line
// that is needs no look for bytes to escape (false: it may or may not).
bool appendClientLine(std::string& line, const tagengine::Result& result, size_t requestBytes,
                      std::string_view target);

// Whether the result came with a reply, so a round trip was measured.
inline bool tookReply(tagengine::Status s) {
    using tagengine::Status;
    return s == Status::Answered || s == Status::ErrorReply || s == Status::Verified || s == Status::Mismatch;
}

}  // namespace tagpoll

#endif
