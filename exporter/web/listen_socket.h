// The exporter's listening socket, opened before the HTTP library is
// started: the library's own bind reports only the port it was given as an
// argument (0 when the address comes as a socket address), not the address
// or the system's reason.
#ifndef EXPORTER_LISTEN_SOCKET_H
#define EXPORTER_LISTEN_SOCKET_H

#include <sys/socket.h>

#include <string>

namespace exporter {

// "127.0.0.1", or "[::1]" for IPv6.
std::string hostText(const sockaddr* address);
// "127.0.0.1:9727", or "[::1]:9727" for IPv6.
std::string addressText(const sockaddr* address);

// A TCP socket bound to the address and listening, non-blocking and
// close-on-exec; -1 with "cannot listen on ADDRESS:PORT: REASON" in error.
int openListenSocket(const sockaddr* address, socklen_t length, std::string& error);

// "HOST:PORT", "[IPV6]:PORT" or ":PORT" (every IPv4 interface) with HOST
// an IPv4 address or "localhost". False with the reason otherwise.
bool parseListenAddress(const std::string& text, sockaddr_storage& storage, std::string& reason);

}  // namespace exporter

#endif
