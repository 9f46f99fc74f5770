#include "listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tagaddress.h"

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
    tagaddress::Parsed p = tagaddress::parse(text, {.needPort = true, .portZero = true, .emptyHost = true});
    if (p.fault == tagaddress::Fault::NotIpv6 && p.bracketed) {
        reason = "\"[" + p.part + "]\" is not an IPv6 address in brackets";
        return false;
    }
    if (p.fault == tagaddress::Fault::NoPort && !p.bracketed && std::ranges::count(text, ':') > 1) {
        reason = "\"" + text + "\" is not HOST:PORT (an IPv6 address goes in brackets)";
        return false;
    }
    if (p.fault != tagaddress::Fault::None) {
        reason = "\"" + text + "\" is not HOST:PORT";
        return false;
    }
    if (p.host.empty()) {
        p.ip = tagaddress::Ip{AF_INET, {}};  // every IPv4 address
    } else if (p.host == "localhost") {
        tagaddress::parseIp("127.0.0.1", p.ip);
    } else if (p.kind == tagaddress::Kind::Name) {
        reason = "\"" + p.host + "\" is not an IPv4 address (an IPv6 one goes in brackets)";
        return false;
    }
    storage = tagaddress::socketAddress(p.ip, *p.port);
    return true;
}

}  // namespace exporter
