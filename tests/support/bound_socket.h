// A UDP socket bound to a free port of a loopback address, for tests that
// need a peer that only listens (or, once closed, a port with nothing behind
// it).
#ifndef BOUND_SOCKET_H
#define BOUND_SOCKET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

struct BoundSocket {
    explicit BoundSocket(const char* address = "127.0.0.1") {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~BoundSocket() { close(fd); }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;

    int fd;
    uint16_t port;
};

#endif
