// The datagram exchange: one request out, and for a GET the reply segments
// back, merged until the one flagged last.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "msg_request.h"
#include "output_lines.h"

namespace {

constexpr time_t REPLY_WAIT_SECONDS = 9;

// Closes the socket however send returns.
class Socket {
public:
    Socket() : fd(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

bool isIpv6Literal(const char* host) {
    in6_addr unused;
    return inet_pton(AF_INET6, host, &unused) == 1;
}

// Fills dest with the host's first IPv4 address, or prints why it cannot.
bool resolve(FILE* out, const char* host, uint16_t port, sockaddr_in& dest) {
    const hostent* he = gethostbyname(host);
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list[0]) {
        fprintf(out, isIpv6Literal(host) ? lines::HOST_NOT_IPV4 : lines::HOST_UNKNOWN, host);
        return false;
    }
    memset(&dest, 0, sizeof dest);
    dest.sin_family = AF_INET;
    dest.sin_port = htons(port);
    memcpy(&dest.sin_addr, he->h_addr_list[0], sizeof dest.sin_addr);
    return true;
}

// Waits up to the reply time-out for the socket to become readable.
bool waitReadable(int fd) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeout{REPLY_WAIT_SECONDS, 0};
    return select(fd + 1, &readable, nullptr, nullptr, &timeout) >= 1;
}

// Receives one datagram into buf; what recvfrom would return, at most the
// buffer's size. cut tells whether the datagram was longer than the buffer.
// The sender is taken but not examined: a reply from any address counts.
ssize_t receiveDatagram(int fd, void* buf, size_t size, bool& cut) {
    sockaddr_in from;
    iovec part{buf, size};
    msghdr header{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    ssize_t received = recvmsg(fd, &header, 0);
    cut = received >= 0 && (header.msg_flags & MSG_TRUNC) != 0;
    return received;
}

}  // namespace

void MsgRequest::send(const char* host, uint16_t port) {
    Socket sock;
    if (sock.fd < 0) {
        fprintf(out, lines::SOCKET_FAILED, host, strerror(errno));
        return;
    }
    // select cannot watch a descriptor beyond FD_SETSIZE: a GET refuses it
    // before sending rather than write past the fd_set while waiting.
    if (msg->msgId == MSG_GET && sock.fd >= FD_SETSIZE) {
        fprintf(out, lines::SOCKET_FAILED, host, "descriptor out of range for select");
        return;
    }
    sockaddr_in dest;
    if (!resolve(out, host, port, dest)) return;

    msg->sequence = 0;
    msg->setLastSegment(true);
    uint16_t length = msg->getMsg(buffer, DATAGRAM_SIZE);
    if (length == 0) {
        fprintf(out, lines::MSG_TOO_LONG, int(DATAGRAM_SIZE));
        return;
    }
    fprintf(out, lines::SENT, int(length));
    if (sendto(sock.fd, buffer, length, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) < 0) {
        fprintf(out, lines::SEND_FAILED, strerror(errno));
        return;
    }
    if (msg->msgId == MSG_GET) waitForReply(sock.fd);
}

void MsgRequest::waitForReply(int sock) {
    std::unique_ptr<VMsg> reply(new VMsg(MSG_GET));
    for (;;) {
        if (!waitReadable(sock)) {
            fputs(lines::RX_TIMEOUT, out);
            return;
        }
        bool cut = false;
        ssize_t received = receiveDatagram(sock, buffer, sizeof buffer, cut);
        fprintf(out, lines::RECEIVED, int(received));
        // A datagram longer than the buffer is invalid whole; its first
        // bytes may still happen to form a message, so it is never decoded.
        if (received < 1 || cut) continue;

        // Undecodable bytes are dropped like a stray segment.
        std::unique_ptr<VMsg> segment(VMsg::parseMsg(buffer, uint16_t(received)));
        if (!segment) continue;
        if ((segment->sequence & VMsg::SEQUENCE_NUMBER) != (msg->sequence & VMsg::SEQUENCE_NUMBER)) continue;
        if (reply->tagCount() + segment->tagCount() > REPLY_TAG_LIMIT) {
            fprintf(out, lines::RX_REPLY_TOO_LONG, REPLY_TAG_LIMIT);
            return;
        }
        bool last = segment->isLastSegment();
        reply->addSegment(segment.get());
        if (last) {
            printMsg(reply.get());
            return;
        }
    }
}
