// Preloaded into a client under test to make every socket() fail, the one
// way to see the client's answer to a socket it cannot open.
#include <sys/socket.h>

#include <cerrno>

extern "C" __attribute__((visibility("default"))) int socket(int, int, int) {
    errno = EAFNOSUPPORT;
    return -1;
}
