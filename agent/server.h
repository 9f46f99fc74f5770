// The agent's one event loop: every socket of the fleet in one epoll set,
// with the stop signals read through a descriptor in the same set.
// Datagrams are read and sent in batches (recvmmsg, sendmmsg).
#ifndef AGENT_SERVER_H
#define AGENT_SERVER_H

#include <vector>

#include "device_states.h"
#include "fleet.h"
#include "options.h"

// What the loop did, for its closing log line and for tests.
struct ServeCounts {
    unsigned long requests = 0;    // decoded and handled
    unsigned long sets = 0;        // datagrams with a SET header that arrived, lost on purpose or not
    unsigned long replies = 0;     // datagrams sent
    unsigned long overBudget = 0;  // requests dropped: their source had spent its budget
    unsigned long fromAgent = 0;   // datagrams ignored: sent from a device's or agent's port
    unsigned long lost = 0;        // requests dropped by --loss
    unsigned long unsent = 0;      // replies the kernel refused or the delay queue had no room for
};

// Blocks SIGINT and SIGTERM and returns a non-blocking descriptor that
// reads them, or -1. Called first, so that a signal during start-up is kept
// for the loop.
int stopSignalDescriptor();

// Serves the devices until a stop signal arrives on stopFd, the time limit
// passes or the request limit is reached (then after sending the delayed
// answers still queued). clock, when not null, is the store whose demo
// clock is set once a second. The loop ends within a few milliseconds of a
// stop signal whatever the load: each wake reads a bounded batch per
// socket, then looks at stopFd.
ServeCounts serve(const Fleet& fleet, DeviceStates& states, const Options& options, TagStore* clock,
                  int stopFd);

#endif
