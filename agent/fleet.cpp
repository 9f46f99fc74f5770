#include "fleet.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tag_vocabulary.h"

namespace {

// Descriptors the agent needs beside its sockets: standard streams, epoll,
// the signal descriptor, the log and the data or targets file.
constexpr unsigned long SPARE_FILES = 16;

std::string labelOf(const TagStore& store) {
    const TagEntry* entry = tagByName("TAG_DEV_LABEL");
    const VTag* tag = store.find(entry->id);
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
    const uint64_t last = uint64_t(from) + count - 1;
    if (count == 0 || (last >> 24) != (from >> 24) || (last & 0xFFFFFF) == 0xFFFFFF) {
        error = std::to_string(count) + " devices from " + first + " would leave its /8 network";
        return false;
    }
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
    store.put(std::unique_ptr<VTag>(VTagFactory::createVTag(tagByName("TAG_DEV_ID")->id, uint32_t(index))));
    store.put(std::unique_ptr<VTag>(VTagFactory::createVTag(tagByName("TAG_DEV_LABEL")->id, label.c_str())));
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

bool openDevices(std::vector<Device>& devices, const std::vector<sockaddr_storage>& addresses,
                 std::string& error) {
    for (size_t i = 0; i < devices.size(); ++i) {
        Device& device = devices[i];
        const sockaddr_storage& addr = addresses[i];
        device.fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (device.fd < 0) {
            error = std::string("cannot open a UDP socket: ") + strerror(errno);
            return false;
        }
        socklen_t length = sizeof device.bound;
        if (bind(device.fd, reinterpret_cast<const sockaddr*>(&addr), lengthOf(addr)) != 0 ||
            getsockname(device.fd, reinterpret_cast<sockaddr*>(&device.bound), &length) != 0) {
            error = "cannot bind " + endpointText(addr) + ": " + strerror(errno);
            return false;
        }
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

bool writeTargets(const std::string& path, const std::vector<Device>& devices, std::string& error) {
    FILE* out = fopen(path.c_str(), "w");
    if (!out) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    bool good = true;
    for (const Device& device : devices)
        good = good && fprintf(out, "%s\n", endpointText(device.bound).c_str()) > 0;
    if (fclose(out) != 0 || !good) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

std::string listeningLine(const std::vector<Device>& devices, bool fleet) {
    if (!fleet) return "listening on " + endpointText(devices.front().bound);
    return "listening on " + std::to_string(devices.size()) + " devices from " +
           endpointText(devices.front().bound) + " to " + endpointText(devices.back().bound);
}
