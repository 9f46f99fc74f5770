#include "udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

constexpr size_t MAX_DATAGRAM = 65535;

// A second loopback socket on a port the system picks.
int otherSocket() {
    int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (other < 0) throw std::runtime_error("socket");
    return other;
}

bool readable(int fd, std::chrono::milliseconds within) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, int(within.count())) == 1;
}

}  // namespace

UdpPeer::UdpPeer() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
}

UdpPeer::~UdpPeer() {
    if (worker.joinable()) worker.join();
    close(fd);
}

void UdpPeer::answer(std::vector<PeerStep> script, std::chrono::milliseconds waitForRequest) {
    worker = std::thread(&UdpPeer::run, this, std::move(script), waitForRequest);
}

void UdpPeer::run(std::vector<PeerStep> script, std::chrono::milliseconds waitForRequest) {
    if (!readable(fd, waitForRequest)) return;
    Bytes request(MAX_DATAGRAM);
    sockaddr_in client{};
    socklen_t len = sizeof client;
    ssize_t n = recvfrom(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&client), &len);
    if (n < 0) return;
    request.resize(size_t(n));
    {
        std::lock_guard<std::mutex> g(lock);
        received.push_back(std::move(request));
    }
    int other = -1;
    for (const PeerStep& step : script) {
        if (step.kind == PeerStep::Pause) {
            std::this_thread::sleep_for(step.pause);
            continue;
        }
        if (step.fromOtherSocket && other < 0) other = otherSocket();
        for (int i = 0; i < step.repeat; ++i)
            sendto(step.fromOtherSocket ? other : fd, step.datagram.data(), step.datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(&client), len);
    }
    if (other >= 0) close(other);
}

std::vector<Bytes> UdpPeer::finish() {
    if (worker.joinable()) worker.join();
    std::lock_guard<std::mutex> g(lock);
    return received;
}

std::vector<Bytes> UdpPeer::drain() {
    if (worker.joinable()) worker.join();
    std::vector<Bytes> out;
    Bytes d(MAX_DATAGRAM);
    while (readable(fd, std::chrono::milliseconds(0))) {
        ssize_t n = recv(fd, d.data(), d.size(), 0);
        if (n < 0) break;
        out.emplace_back(d.begin(), d.begin() + n);
    }
    return out;
}

PeerStep send(const Bytes& datagram, int repeat) {
    return PeerStep{PeerStep::Send, datagram, std::chrono::milliseconds(0), repeat};
}

PeerStep pause(std::chrono::milliseconds ms) { return PeerStep{PeerStep::Pause, {}, ms}; }

PeerStep sendFromOtherSocket(const Bytes& datagram) {
    PeerStep step = send(datagram);
    step.fromOtherSocket = true;
    return step;
}

Bytes encode(const VMsg& msg) {
    Bytes out(MAX_DATAGRAM);
    uint16_t n = msg.getMsg(out.data(), uint16_t(out.size()));
    if (n == 0) throw std::runtime_error("message does not encode");
    out.resize(n);
    return out;
}

Bytes segment(uint8_t msgId, uint8_t sequence, std::vector<VTag*> tags) {
    VMsg msg(msgId);
    msg.sequence = sequence;
    for (VTag* t : tags) msg.addTag(t);
    return encode(msg);
}
