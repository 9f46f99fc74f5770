// tagpoll's own result lines, next to those it shares with tagclient
// (client/output_lines.h). Scripts match these texts.
#ifndef TAGPOLL_POLL_LINES_H
#define TAGPOLL_POLL_LINES_H

namespace tagpoll::lines {

constexpr const char TIMEOUT[] = "ERR: RX_TIMEOUT ATTEMPTS=%d";
constexpr const char REFUSED[] = "ERR: RX_REFUSED ATTEMPTS=%d";
constexpr const char CANCELLED[] = "ERR: RX_CANCELLED ATTEMPTS=%d";
constexpr const char BAD_MESSAGE[] = "ERR: RX_BAD_MESSAGE BYTES=%zu";

}  // namespace tagpoll::lines

#endif
