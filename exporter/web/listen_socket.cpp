#include "listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
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

bool parseListenAddress(const std::string& text, sockaddr_storage& storage, std::string& reason) {
    storage = sockaddr_storage{};
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    std::string portText = colon == std::string::npos ? "" : text.substr(colon + 1);
    unsigned port = 0;
    auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        port > 65535) {
        reason = "\"" + text + "\" is not HOST:PORT";
        return false;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto& six = reinterpret_cast<sockaddr_in6&>(storage);
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(uint16_t(port));
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &six.sin6_addr) == 1) return true;
        reason = "\"" + host + "\" is not an IPv6 address in brackets";
        return false;
    }
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    if (host.empty()) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (host == "localhost") {
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        reason = "\"" + host + "\" is not an IPv4 address (an IPv6 one goes in brackets)";
        return false;
    }
    return true;
}

}  // namespace exporter
