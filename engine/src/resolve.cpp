#include "resolve.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace tagengine {

bool resolveIpv4(const std::string& host, uint16_t port, sockaddr_in& to, std::string& why) {
    to = sockaddr_in{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        why = rc != 0 ? gai_strerror(rc) : "no address";
        to = sockaddr_in{};
        return false;
    }
    memcpy(&to.sin_addr, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, sizeof to.sin_addr);
    freeaddrinfo(found);
    return true;
}

}  // namespace tagengine
