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

}  // namespace

bool fleetAddresses(const std::string& first, unsigned long count, std::vector<in_addr>& addresses,
                    std::string& error) {
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
    addresses.clear();
    addresses.reserve(count);
    for (uint64_t a = from; a <= last; ++a) addresses.push_back(in_addr{htonl(uint32_t(a))});
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

bool openDevices(std::vector<Device>& devices, const std::vector<in_addr>& addresses, uint16_t port,
                 std::string& error) {
    for (size_t i = 0; i < devices.size(); ++i) {
        Device& device = devices[i];
        device.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (device.fd < 0) {
            error = std::string("cannot open a UDP socket: ") + strerror(errno);
            return false;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr = addresses[i];
        socklen_t length = sizeof device.bound;
        if (bind(device.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            getsockname(device.fd, reinterpret_cast<sockaddr*>(&device.bound), &length) != 0) {
            error = "cannot bind " + endpointText(addr) + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

std::string endpointText(const sockaddr_in& bound) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(bound.sin_port));
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
