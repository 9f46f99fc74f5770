#include "stop_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

namespace tagpoll {

StopSignals::StopSignals() {
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, &before);
    fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    // Without the descriptor the signals must keep their usual effect.
    if (fd < 0) sigprocmask(SIG_SETMASK, &before, nullptr);
}

StopSignals::~StopSignals() {
    signalfd_siginfo info;
    if (fd >= 0)
        while (read(fd, &info, sizeof info) == ssize_t(sizeof info)) {}
    if (fd >= 0) close(fd);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

int StopSignals::taken() {
    signalfd_siginfo info;
    if (signal == 0 && fd >= 0 && read(fd, &info, sizeof info) == ssize_t(sizeof info))
        signal = int(info.ssi_signo);
    return signal;
}

}  // namespace tagpoll
