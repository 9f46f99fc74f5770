// An address of either family from its text, as the engine and the
// exporter take them: AF_INET6 when the text has a colon.
#ifndef SOCKET_ADDRESS_H
#define SOCKET_ADDRESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

// A zeroed storage (family AF_UNSPEC) when the text is no address.
inline sockaddr_storage socketAddress(const char* text, uint16_t port = 0) {
    sockaddr_storage storage{};
    if (strchr(text, ':')) {
        auto& six = reinterpret_cast<sockaddr_in6&>(storage);
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(port);
        if (inet_pton(AF_INET6, text, &six.sin6_addr) != 1) storage = sockaddr_storage{};
    } else {
        auto& four = reinterpret_cast<sockaddr_in&>(storage);
        four.sin_family = AF_INET;
        four.sin_port = htons(port);
        if (inet_pton(AF_INET, text, &four.sin_addr) != 1) storage = sockaddr_storage{};
    }
    return storage;
}

#endif
