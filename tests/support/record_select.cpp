// Preloaded into a client under test: each select call writes the time-out
// it was given to standard error ("select 9.000000"), then waits as usual.
// It shows that the reply wait starts afresh from a full time-out each time.
#include <dlfcn.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>

extern "C" __attribute__((visibility("default"))) int select(int n, fd_set* r, fd_set* w, fd_set* e,
                                                             timeval* timeout) {
    using Select = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
    static auto next = reinterpret_cast<Select>(dlsym(RTLD_NEXT, "select"));
    if (timeout) dprintf(STDERR_FILENO, "select %ld.%06ld\n", long(timeout->tv_sec), long(timeout->tv_usec));
    return next(n, r, w, e, timeout);
}
