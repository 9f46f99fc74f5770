// What tagproto.get and tagproto.set keep between calls, per thread: a line
// for GETs, its socket connected to the last target and the round trips it
// has learnt, so that a steady GET costs a send and a receive; an engine for
// writes; and the last target asked, parsed, so that asking it again parses
// nothing (the driver keeps the last GET built).
#ifndef TAGPROTO_PLAIN_CALLS_H
#define TAGPROTO_PLAIN_CALLS_H

#include <memory>
#include <string>
#include <string_view>

#include "driver.h"

namespace tagproto {

class PlainCalls {
public:
    // This thread's; made anew in a child after fork(), whose copy of the
    // parent's socket would read the parent's replies.
    static PlainCalls& mine();

    Driver& driver() { return core; }
    tagengine::Line& line() { return reads; }

    // The exchange to the target as exchangeTo makes it, its address found
    // already when the host is an address (a name is looked up at every
    // call, as its address may change), kept for the next call: a caller
    // sets its request and settings and runs it, or copies it. Throws as
    // exchangeTo does.
    tagengine::Exchange& exchangeTo(std::string_view asked);

    // Set while a call runs on this thread's engine: a signal handler that
    // calls again meanwhile gets an engine of its own.
    bool busy = false;

private:
    explicit PlainCalls(unsigned forkCount);

    unsigned generation;  // the fork count it was made at
    Driver core;
    tagengine::Line reads;
    std::string target;
    tagengine::Exchange parsed;
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
