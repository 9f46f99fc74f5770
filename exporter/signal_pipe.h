// The signals the exporter acts on (SIGHUP, SIGINT, SIGTERM), taken by
// handlers that write their number to a pipe the main thread reads.
//
// Blocking them and calling sigwait is not enough: the C library runs the
// notifications of asynchronous name lookups on threads of its own with no
// signal blocked, and a signal the kernel hands to such a thread takes its
// default action there, killing the process (SIGTERM: no clean stop;
// SIGHUP: no reload, just death). A handler works on whichever thread the
// kernel picks.
#ifndef EXPORTER_SIGNAL_PIPE_H
#define EXPORTER_SIGNAL_PIPE_H

namespace exporter {

class SignalPipe {
public:
    // Opens the pipe and installs the handlers; a signal that arrived
    // before still took its default action. Only one may exist at a time.
    SignalPipe();
    // Puts the default actions back and closes the pipe.
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // Waits for the next signal and returns its number, in the order they
    // came; one that arrived before the call returns at once.
    int wait();

private:
    int readFd = -1;
};

}  // namespace exporter

#endif
