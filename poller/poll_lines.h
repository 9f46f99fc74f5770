// tagpoll's own result lines, next to those it shares with tagclient
// (client/output_lines.h). Scripts match these texts.
#ifndef TAGPOLL_POLL_LINES_H
#define TAGPOLL_POLL_LINES_H

namespace tagpoll::lines {

constexpr const char TIMEOUT[] = "ERR: RX_TIMEOUT ATTEMPTS=%d";
constexpr const char REFUSED[] = "ERR: RX_REFUSED ATTEMPTS=%d";
constexpr const char CANCELLED[] = "ERR: RX_CANCELLED ATTEMPTS=%d";
// A reply cut at the bytes it may carry (the tag bound has the client's line).
constexpr const char REPLY_TOO_MANY_BYTES[] = "ERR: RX_REPLY_TOO_LONG BYTES=%zu";
constexpr const char BAD_MESSAGE[] = "ERR: RX_BAD_MESSAGE BYTES=%zu";
// A verified write: every value read back as written, or those that did not,
// each as " NAME WROTE=value READ=value" (READ=MISSING when the reply left
// the tag out).
constexpr const char VERIFIED[] = "VERIFIED";
constexpr const char SET_MISMATCH[] = "ERR: SET_MISMATCH";
constexpr const char NOT_READ[] = "MISSING";

}  // namespace tagpoll::lines

#endif
