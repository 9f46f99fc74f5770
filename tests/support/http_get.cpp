#include "http_get.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int connectFrom(const char* source, uint16_t port, std::chrono::milliseconds timeout) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval wait{micros / 1000000, micros % 1000000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string readToEnd(int fd) {
    std::string reply;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, size_t(n));
    close(fd);
    return reply;
}

std::string httpGet(uint16_t port, const std::string& uri, const std::string& headers, const char* source,
                    std::chrono::milliseconds timeout) {
    int fd = connectFrom(source, port, timeout);
    if (fd < 0) return "";
    std::string text = "GET " + uri + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n";
    if (write(fd, text.data(), text.size()) != ssize_t(text.size())) {
        close(fd);
        return "";
    }
    return readToEnd(fd);
}

std::string statusLineOf(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

std::string bodyOf(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}
