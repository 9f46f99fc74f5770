#include "run_guard.h"

#include <cstdio>

#include "run_lock.h"
#include "same_device.h"
#include "stop_signals.h"

namespace tagconf {

int guardedRun(const State& state, RunOptions options, double lockTimeout, RunReport& report) {
    std::vector<sockaddr_storage> addresses;
    std::string why;
    if (!resolveTargets(state, addresses, why)) {
        fprintf(stderr, "tagconf: %s\n", why.c_str());
        return 1;
    }
    // From here on a stop signal ends the run with what it has.
    tagpoll::StopSignals signals;
    RunLock lock;
    if (options.write) {
        std::string path = lockFilePath();
        switch (lock.take(path, addresses, lockTimeout, signals.fd, why)) {
        case RunLock::Outcome::Taken: break;
        case RunLock::Outcome::Stopped: return 128 + signals.taken();
        case RunLock::Outcome::Held:
            fprintf(stderr,
                    "tagconf: %s is applying to some of these targets (waited %g s, --lock-timeout)\n",
                    why.c_str(), lockTimeout);
            return 1;
        case RunLock::Outcome::Failed: fprintf(stderr, "tagconf: %s\n", why.c_str()); return 1;
        }
    }
    options.stopFd = signals.fd;
    options.addresses = &addresses;
    report = runStateUntilStopped(state, options);
    if (report.stopped) report.stopSignal = signals.taken();
    return -1;
}

}  // namespace tagconf
