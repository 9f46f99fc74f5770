// The devices one agent plays: where each listens, what each holds, and
// how the agent tells scripts where to find them.
#ifndef AGENT_FLEET_H
#define AGENT_FLEET_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reply_budget.h"
#include "store.h"

struct Device {
    int fd = -1;
    sockaddr_storage bound{};  // the address and port actually served (IPv4 or IPv6)
    TagStore store;
    ReplyBudget budget;  // per source address, this device's own
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

// Opens a non-blocking UDP socket per device, bound to its address and
// port (port 0: a free one each), and records what was bound. False with
// the reason (naming the address) at the first failure; sockets opened so
// far stay in the devices for the caller to close.
bool openDevices(std::vector<Device>& devices, const std::vector<sockaddr_storage>& addresses,
                 std::string& error);

// "ADDRESS:PORT" of a bound device, "[ADDRESS]:PORT" for IPv6.
std::string endpointText(const sockaddr_storage& bound);

// Writes one "ADDRESS:PORT" ("[ADDRESS]:PORT") line per device and closes the file; false with
// the reason when any of it fails.
bool writeTargets(const std::string& path, const std::vector<Device>& devices, std::string& error);

// The first line of output: "listening on ADDR:PORT" for a single device,
// "listening on N devices from ADDR:PORT to ADDR:PORT" for a fleet.
std::string listeningLine(const std::vector<Device>& devices, bool fleet);

#endif
