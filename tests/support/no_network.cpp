// Preloaded into a program under test that must not touch the network:
// opening a socket or looking up a name says so on standard error and
// aborts, so the test sees the first attempt, not whether it happened to fail.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void refuse(const char* what) {
    const char* prefix = "no_network: ";
    (void)!write(STDERR_FILENO, prefix, strlen(prefix));
    (void)!write(STDERR_FILENO, what, strlen(what));
    (void)!write(STDERR_FILENO, "\n", 1);
    abort();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int socket(int, int, int) { refuse("socket"); }

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char*, const char*, const addrinfo*,
                                                                  addrinfo**) {
    refuse("getaddrinfo");
}

extern "C" __attribute__((visibility("default"))) hostent* gethostbyname(const char*) {
    refuse("gethostbyname");
}
