#include "listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace exporter {

std::string hostText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]";
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
}

std::string addressText(const sockaddr* address) {
    uint16_t port = address->sa_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                                                   : reinterpret_cast<const sockaddr_in*>(address)->sin_port;
    return hostText(address) + ":" + std::to_string(ntohs(port));
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
