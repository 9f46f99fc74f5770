// Two names for one device: 127.0.0.1:P, 127.1:P, localhost:P and
// 2130706433:P all reach the same device, and a state file naming it twice
// would write it twice, with two overrides, and call both done. Targets are
// judged by the address the engine sends to, found once per distinct host
// name (literals without the resolver), before anything is sent.
#ifndef TAGCONF_SAME_DEVICE_H
#define TAGCONF_SAME_DEVICE_H

#include <sys/socket.h>

#include <string>
#include <vector>

#include "state.h"
#include "targets.h"

namespace tagconf {

// Fills addresses with each target's address (port set; AF_UNSPEC where the
// host does not resolve, for the run to report). Returns false with
// "FILE:LINE: B and A (FILE:LINE) are one device, ADDRESS: name each device
// once" for the first target that is the device of an earlier one.
bool resolveTargets(const State& state, std::vector<sockaddr_storage>& addresses, std::string& error);

// save's targets (those of the list, or the part of them given) with every
// device once: a target that is the device of an earlier one is left out,
// and notes says which ("FILE:LINE: B is the device of A (FILE:LINE),
// ADDRESS: saved once"). Only the targets given are resolved.
std::vector<tagpoll::Target> oneTargetPerDevice(const tagpoll::TargetList& list,
                                                std::vector<std::string>& notes);
std::vector<tagpoll::Target> oneTargetPerDevice(const tagpoll::TargetList& list,
                                                const std::vector<tagpoll::Target>& targets,
                                                std::vector<std::string>& notes);

}  // namespace tagconf

#endif
