// --listen: prints every message that arrives at an address, until SIGINT
// or SIGTERM.
#ifndef TAGPOLL_LISTENER_H
#define TAGPOLL_LISTENER_H

#include <string>

#include "result_writer.h"

namespace tagpoll {

// Exit status: 0 after a signal, 1 when the address cannot be bound, 2 when
// it is not [ADDRESS:]PORT. Says where it listens on standard error.
int listen(const std::string& where, ResultWriter& writer);

}  // namespace tagpoll

#endif
