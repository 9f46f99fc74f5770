// --limit: the targets of a file a run acts on.
#ifndef TAGCONF_TARGET_LIMIT_H
#define TAGCONF_TARGET_LIMIT_H

#include <cstdint>
#include <string>
#include <vector>

#include "state.h"

namespace tagconf {

// Keeps the targets that the limits name, in the file's order. A limit is
// read as a targets file's line (HOST[:PORT], [IPV6]:PORT, a range), with
// the default port, and matches the targets of the same host and port as
// they are written down (names without case, IPv6 addresses in any form of
// the same address); nothing is looked up, so a name does not match its
// address. A limit that is bad, or matches no target of the file, is an
// error: false, "--limit TEXT: reason", and the state left as it was.
bool limitTargets(State& state, const std::vector<std::string>& limits, uint16_t defaultPort,
                  const std::string& fileName, std::string& error);

}  // namespace tagconf

#endif
