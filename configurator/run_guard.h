// What stands between a state file read and its run on the fleet: every
// target's address found once (two names for one device refused), for apply
// the lock that keeps another apply on this machine off the same devices,
// and SIGINT or SIGTERM stopping the run with every target reported.
#ifndef TAGCONF_RUN_GUARD_H
#define TAGCONF_RUN_GUARD_H

#include "conf_run.h"

namespace tagconf {

// Runs the state as options say (options.write takes the lock first,
// waiting at most lockTimeout seconds). Returns -1 with report filled (its
// stopSignal set when a signal stopped the run); otherwise the exit status,
// after saying why on standard error: 1 when the targets or the lock did
// not allow the run, 128 + the signal when one came before it began.
int guardedRun(const State& state, RunOptions options, double lockTimeout, RunReport& report);

}  // namespace tagconf

#endif
