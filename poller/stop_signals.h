// SIGINT and SIGTERM as a descriptor to watch: blocked while it lives, so
// they never kill a run before it has said what it has.
#ifndef TAGPOLL_STOP_SIGNALS_H
#define TAGPOLL_STOP_SIGNALS_H

#include <csignal>

namespace tagpoll {

class StopSignals {
public:
    StopSignals();
    // Unblocks the signals again, a signal already taken as the stop read
    // off first so that it does not strike once unblocked.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that came (SIGINT, SIGTERM), read off the descriptor; 0
    // when none has.
    int taken();

    int fd = -1;  // readable once a signal came; -1 when none could be made

private:
    sigset_t set{}, before{};
    int signal = 0;
};

}  // namespace tagpoll

#endif
