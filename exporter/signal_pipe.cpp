#include "signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace exporter {

namespace {

constexpr int SIGNALS[] = {SIGHUP, SIGINT, SIGTERM};

// Written by the handler, so a plain int: nothing else is async-signal-safe.
volatile sig_atomic_t writeEnd = -1;

void onSignal(int number) {
    int saved = errno;  // the interrupted code may be about to read errno
    auto byte = static_cast<unsigned char>(number);
    (void)!write(writeEnd, &byte, 1);
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    // A full pipe drops the signal rather than stopping the thread it hit.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    readFd = fds[0];
    writeEnd = fds[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    for (int number : SIGNALS) sigaction(number, &action, nullptr);
}

SignalPipe::~SignalPipe() {
    for (int number : SIGNALS) signal(number, SIG_DFL);
    close(writeEnd);
    writeEnd = -1;
    close(readFd);
}

int SignalPipe::wait() {
    unsigned char byte = 0;
    for (;;) {
        ssize_t n = read(readFd, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno != EINTR) return SIGTERM;  // the pipe is gone: nothing could reach us again
    }
}

}  // namespace exporter
