// What tagproto.get and tagproto.set keep between calls: an engine per
// thread, its socket open and the round trips it has learnt, so that a
// steady GET costs a send, a wait and a read; and the last target and tag
// list asked, parsed, so that asking the same again parses nothing.
#ifndef TAGPROTO_PLAIN_CALLS_H
#define TAGPROTO_PLAIN_CALLS_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver.h"

namespace tagproto {

class PlainCalls {
public:
    // This thread's; made anew in a child after fork(), whose copy of the
    // parent's socket would read the parent's replies.
    static PlainCalls& mine();

    Driver& driver() { return core; }

    // The exchange to the target as exchangeTo makes it, its address found
    // already when the host is an address (a name is looked up at every
    // call, as its address may change). Throws as exchangeTo does.
    tagengine::Exchange exchangeTo(std::string_view target);

    // The GET of the tags when they are, name for name, the last ones
    // given; else null. keys are the tags as given (names; ids as text).
    std::shared_ptr<const VMsg> lastGet(const std::vector<std::string_view>& keys) const;
    void keepGet(const std::vector<std::string_view>& keys, std::shared_ptr<const VMsg> request);

    // Set while a call runs on this thread's engine: a signal handler that
    // calls again meanwhile gets an engine of its own.
    bool busy = false;

private:
    explicit PlainCalls(unsigned forkCount);

    unsigned generation;  // the fork count it was made at
    Driver core;
    std::string target;
    tagengine::Exchange parsed;
    std::vector<std::string> tagKeys;
    std::shared_ptr<const VMsg> request;
};

// Marks a thread's PlainCalls busy for a call's length.
class BusyCall {
public:
    explicit BusyCall(PlainCalls& calls) : calls(calls) { calls.busy = true; }
    ~BusyCall() { calls.busy = false; }
    BusyCall(const BusyCall&) = delete;
    BusyCall& operator=(const BusyCall&) = delete;

private:
    PlainCalls& calls;
};

}  // namespace tagproto

#endif
