// One poll: the request to every target at once through the engine, each
// result written as it ends.
#ifndef TAGPOLL_POLL_RUN_H
#define TAGPOLL_POLL_RUN_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "poll_options.h"
#include "result_writer.h"
#include "targets.h"

namespace tagpoll {

// "tagpoll: 12 targets: 10 answered, 2 timed_out": every status that
// happened, in the order the engine lists them.
std::string summaryLine(size_t targets, const std::map<tagengine::Status, size_t>& counts);

// Exit status: 0 when every target answered (or, for requests that expect
// no reply, was sent), 1 otherwise. progress: show a progress line on
// standard error while it runs.
int runPoll(const PollOptions& options, const std::vector<Target>& targets,
            const std::shared_ptr<const VMsg>& request, ResultWriter& writer, bool progress);

}  // namespace tagpoll

#endif
