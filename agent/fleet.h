// The devices one agent plays: where each listens, which socket serves it,
// and how the agent tells scripts where to find them.
#ifndef AGENT_FLEET_H
#define AGENT_FLEET_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "store.h"

// A socket the agent reads.
struct Socket {
    int fd = -1;
    sockaddr_storage bound{};  // the address and port actually bound (IPv4 or IPv6)
};

// Where count devices listen. IPv4: the first address, then each next
// address in turn, all on the port; false, with the reason in error, when
// the run would leave the first address's /8 network or reach its last
// address (on loopback the broadcast address of 127.0.0.0/8). IPv6 (a
// host has one loopback address, ::1): every device on the one address,
// each on its own port, port, port + 1, ... (port 0: a free one each);
// false when the ports would pass 65535.
bool fleetAddresses(const std::string& first, unsigned long count, uint16_t port,
                    std::vector<sockaddr_storage>& addresses, std::string& error);

// Device number index (from 1) of a fleet: the base's values, shared, with
// TAG_DEV_ID set to the index and TAG_DEV_LABEL to the base's label (or
// "Device") followed by a space and the index.
TagStore fleetDeviceStore(std::shared_ptr<const TagStore> base, unsigned long index);

// Raises the open-file limit so that count sockets and a few more fit;
// false with the reason when the hard limit is too low.
bool allowOpenFiles(unsigned long count, std::string& error);

// "ADDRESS:PORT" of a socket address, "[ADDRESS]:PORT" for IPv6.
std::string endpointText(const sockaddr_storage& bound);

// The sockets of a run and the device each datagram is for. One device, or
// an IPv6 fleet (::1, a port each), has a socket per device. An IPv4 fleet
// has one socket for all: bound to every local address on one port, it
// learns the address each request was sent to (IP_PKTINFO) and answers from
// that address, so a fleet takes one descriptor and a few bytes a device
// whatever its size.
class Fleet {
public:
    static constexpr size_t NONE = SIZE_MAX;

    Fleet() = default;
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Lays out the devices from the first address on the port (0: a free
    // one). A fleet must stay on loopback (127.0.0.0/8 or ::1); one device
    // serves any address. False with the reason in error.
    bool plan(const std::string& firstAddress, unsigned long devices, uint16_t port, bool fleet,
              std::string& error);
    // Opens and binds the sockets, non-blocking. False with the reason
    // (naming the address) at the first failure; the sockets opened so far
    // are closed with the fleet.
    bool open(std::string& error);

    size_t size() const { return count; }
    bool shared() const { return sharedSocket; }
    const std::vector<Socket>& sockets() const { return socks; }
    // Where device index is asked, as bound.
    sockaddr_storage endpoint(size_t index) const;
    size_t socketOf(size_t index) const { return sharedSocket ? 0 : index; }
    // The device a datagram that came in on the socket was sent to; on the
    // shared socket by its destination address, NONE when no device has it.
    size_t deviceAt(size_t socket, const sockaddr_storage& destination) const;
    // Whether a datagram from the peer came from a device of this agent or
    // from the port of the socket it arrived on, as another agent's would.
    bool fromAgent(size_t socket, const sockaddr_storage& peer) const;

private:
    unsigned long count = 0;
    bool sharedSocket = false;
    uint32_t first = 0;                       // shared: the first device's address, host order
    std::vector<sockaddr_storage> addresses;  // the sockets' addresses before binding
    std::vector<Socket> socks;
    std::vector<std::tuple<uint64_t, uint64_t, uint16_t>> ownEndpoints;  // not shared; sorted
};

// Writes one "ADDRESS:PORT" ("[ADDRESS]:PORT") line per device and closes
// the file; false with the reason when any of it fails.
bool writeTargets(const std::string& path, const Fleet& fleet, std::string& error);

// The first line of output: "listening on ADDR:PORT" for a single device,
// "listening on N devices from ADDR:PORT to ADDR:PORT" for a fleet.
std::string listeningLine(const Fleet& fleet, bool isFleet);

#endif
