#include "fleet.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tag_vocabulary.h"

namespace {

// Descriptors the agent needs beside its sockets: standard streams, epoll,
// the signal descriptor, the log and the data or targets file.
constexpr unsigned long SPARE_FILES = 16;

// Looked up once (a fleet makes a device's view for each request it
// serves), on first use: the vocabulary's index is built at start-up too.
uint8_t devIdTag() {
    static const uint8_t id = tagByName("TAG_DEV_ID")->id;
    return id;
}
uint8_t devLabelTag() {
    static const uint8_t id = tagByName("TAG_DEV_LABEL")->id;
    return id;
}

std::string labelOf(const TagStore& store) {
    const VTag* tag = store.find(devLabelTag());
    if (!tag || tag->type != VTAG_STRING) return "Device";
    return std::string(static_cast<const VTagString*>(tag)->text());
}

// count devices on one IPv6 address, on consecutive ports from port (or
// each on a free one when port is 0).
bool samePortRun(const in6_addr& address, unsigned long count, uint16_t port,
                 std::vector<sockaddr_storage>& addresses, std::string& error) {
    if (count == 0 || (port != 0 && uint64_t(port) + count - 1 > 65535)) {
        error =
            std::to_string(count) + " devices from port " + std::to_string(port) + " would pass port 65535";
        return false;
    }
    addresses.assign(count, sockaddr_storage{});
    for (unsigned long i = 0; i < count; ++i) {
        auto& a = reinterpret_cast<sockaddr_in6&>(addresses[i]);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port == 0 ? 0 : uint16_t(port + i));
        a.sin6_addr = address;
    }
    return true;
}

socklen_t lengthOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t portOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                   : reinterpret_cast<const sockaddr_in&>(a).sin_port;
}

// The address and port in an order of their own, to find a device's.
std::tuple<uint64_t, uint64_t, uint16_t> endpointKey(const sockaddr_storage& a) {
    uint64_t words[2] = {0, 0};
    if (a.ss_family == AF_INET6)
        memcpy(words, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, sizeof words);
    else
        words[1] = reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr;
    return {words[0], words[1], portOf(a)};
}

// count consecutive IPv4 addresses from from (host order) stay within its
// /8 network and short of its last address.
bool ipv4Run(const std::string& text, uint32_t from, unsigned long count, std::string& error) {
    const uint64_t last = uint64_t(from) + count - 1;
    if (count == 0 || (last >> 24) != (from >> 24) || (last & 0xFFFFFF) == 0xFFFFFF) {
        error = std::to_string(count) + " devices from " + text + " would leave its /8 network";
        return false;
    }
    return true;
}

// A simulated fleet answers on this machine only.
bool isLoopback(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Readies a socket that is bound to every address on its port to serve
// the fleet's: it learns each request's destination, and takes datagrams
// from the loopback interface only (where the kernel allows the binding;
// elsewhere a destination in 127.0.0.0/8 can only come from this host).
bool shareOnLoopback(int fd, std::string& error) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        error = std::string("cannot ask for destination addresses: ") + strerror(errno);
        return false;
    }
    static const char LOOPBACK[] = "lo";
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, LOOPBACK, sizeof LOOPBACK - 1);
    // Room for a burst from a poller that sends in batches.
    int room = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return true;
}

}  // namespace

bool fleetAddresses(const std::string& first, unsigned long count, uint16_t port,
                    std::vector<sockaddr_storage>& addresses, std::string& error) {
    in6_addr start6{};
    if (inet_pton(AF_INET6, first.c_str(), &start6) == 1)
        return samePortRun(start6, count, port, addresses, error);
    in_addr start{};
    if (inet_pton(AF_INET, first.c_str(), &start) != 1) {
        error = "bad address '" + first + "'";
        return false;
    }
    const uint32_t from = ntohl(start.s_addr);
    if (!ipv4Run(first, from, count, error)) return false;
    addresses.assign(count, sockaddr_storage{});
    for (uint64_t i = 0; i < count; ++i) {
        auto& a = reinterpret_cast<sockaddr_in&>(addresses[i]);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(uint32_t(from + i));
    }
    return true;
}

TagStore fleetDeviceStore(std::shared_ptr<const TagStore> base, unsigned long index) {
    std::string label = labelOf(*base) + " " + std::to_string(index);
    TagStore store(std::move(base));
    store.put(std::unique_ptr<VTag>(VTagFactory::createVTag(devIdTag(), uint32_t(index))));
    store.put(std::unique_ptr<VTag>(VTagFactory::createVTag(devLabelTag(), label.c_str())));
    return store;
}

bool allowOpenFiles(unsigned long count, std::string& error) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;  // try anyway; bind will say
    const rlim_t needed = count + SPARE_FILES;
    if (limit.rlim_cur >= needed) return true;
    if (limit.rlim_max < needed) {
        error = std::to_string(count) + " devices need " + std::to_string(needed) +
                " open files; the hard limit is " + std::to_string(limit.rlim_max);
        return false;
    }
    limit.rlim_cur = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        error = std::string("cannot raise the open-file limit: ") + strerror(errno);
        return false;
    }
    return true;
}

std::string endpointText(const sockaddr_storage& bound) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (bound.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(bound);
        inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(bound);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool writeTargets(const std::string& path, const Fleet& fleet, std::string& error) {
    FILE* out = fopen(path.c_str(), "w");
    if (!out) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    bool good = true;
    for (size_t i = 0; i < fleet.size() && good; ++i)
        good = fprintf(out, "%s\n", endpointText(fleet.endpoint(i)).c_str()) > 0;
    if (fclose(out) != 0 || !good) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

std::string listeningLine(const Fleet& fleet, bool isFleet) {
    if (!isFleet) return "listening on " + endpointText(fleet.endpoint(0));
    return "listening on " + std::to_string(fleet.size()) + " devices from " +
           endpointText(fleet.endpoint(0)) + " to " + endpointText(fleet.endpoint(fleet.size() - 1));
}

Fleet::~Fleet() {
    for (const Socket& s : socks)
        if (s.fd >= 0) close(s.fd);
}

bool Fleet::plan(const std::string& firstAddress, unsigned long devices, uint16_t port, bool fleet,
                 std::string& error) {
    if (fleet && !isLoopback(firstAddress)) {
        error = "fleet address '" + firstAddress + "' is not on loopback (127.0.0.0/8 or ::1)";
        return false;
    }
    in_addr start{};
    if (fleet && inet_pton(AF_INET, firstAddress.c_str(), &start) == 1) {
        if (!ipv4Run(firstAddress, ntohl(start.s_addr), devices, error)) return false;
        sharedSocket = true;
        first = ntohl(start.s_addr);
        count = devices;
        addresses.assign(1, sockaddr_storage{});
        auto& a = reinterpret_cast<sockaddr_in&>(addresses[0]);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr = start;
        return true;
    }
    if (!fleetAddresses(firstAddress, fleet ? devices : 1, port, addresses, error)) return false;
    count = addresses.size();
    return true;
}

bool Fleet::open(std::string& error) {
    std::vector<sockaddr_storage> binds = addresses;
    if (sharedSocket) {
        auto& any = reinterpret_cast<sockaddr_in&>(binds[0]);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    socks.assign(binds.size(), Socket{});
    for (size_t i = 0; i < binds.size(); ++i) {
        Socket& s = socks[i];
        const sockaddr_storage& addr = binds[i];
        s.fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0) {
            error = std::string("cannot open a UDP socket: ") + strerror(errno);
            return false;
        }
        if (sharedSocket && !shareOnLoopback(s.fd, error)) return false;
        socklen_t length = sizeof s.bound;
        if (bind(s.fd, reinterpret_cast<const sockaddr*>(&addr), lengthOf(addr)) != 0 ||
            getsockname(s.fd, reinterpret_cast<sockaddr*>(&s.bound), &length) != 0) {
            error = "cannot bind " + endpointText(addr) + ": " + strerror(errno);
            return false;
        }
    }
    if (!sharedSocket) {
        for (const Socket& s : socks) ownEndpoints.push_back(endpointKey(s.bound));
        std::sort(ownEndpoints.begin(), ownEndpoints.end());
    }
    return true;
}

sockaddr_storage Fleet::endpoint(size_t index) const {
    if (!sharedSocket) return socks.empty() ? addresses[index] : socks[index].bound;
    sockaddr_storage at = socks.empty() ? addresses[0] : socks[0].bound;
    reinterpret_cast<sockaddr_in&>(at).sin_addr.s_addr = htonl(uint32_t(first + index));
    return at;
}

size_t Fleet::deviceAt(size_t socket, const sockaddr_storage& destination) const {
    if (!sharedSocket) return socket;
    if (destination.ss_family != AF_INET) return NONE;
    const uint32_t to = ntohl(reinterpret_cast<const sockaddr_in&>(destination).sin_addr.s_addr);
    return to >= first && to - first < count ? size_t(to - first) : NONE;
}

bool Fleet::fromAgent(size_t socket, const sockaddr_storage& peer) const {
    // Every device of a shared socket listens on its port: the first test
    // covers them all.
    return portOf(peer) == portOf(socks[socket].bound) ||
           (!sharedSocket && std::binary_search(ownEndpoints.begin(), ownEndpoints.end(), endpointKey(peer)));
}
