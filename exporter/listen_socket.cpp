#include "listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace exporter {

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
}

int openListenSocket(const sockaddr* address, socklen_t length, std::string& error) {
    int fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot listen on " + addressText(address) + ": " + strerror(errno);
        return -1;
    }
    // A restart must not wait for the last run's connections in TIME_WAIT.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->sa_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, address, length) != 0 || listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + addressText(address) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace exporter
