// Addresses as people write them, read once for the whole tree: the
// engine's one-call API, tagpoll's and tagconf's targets, tagpoll --listen
// and the exporter's target=, --web.listen-address and allow-list all parse
// here, and do their prefix arithmetic here.
//
// Not installed and not exported by libtagengine.so: the installed contract
// stays tagengine.h, whose exchangeTo() is the way in for other programs.
// The faults below are for this tree's programs to word as each of their
// tests and manuals say, and may change with them.
#ifndef TAGENGINE_TAGADDRESS_H
#define TAGENGINE_TAGADDRESS_H

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tagaddress {

// An IPv4 or IPv6 address in network byte order.
struct Ip {
    int family = 0;                   // AF_INET or AF_INET6
    std::array<uint8_t, 16> bytes{};  // an IPv4 address in the first 4
    unsigned bits() const { return family == AF_INET6 ? 128 : 32; }
    bool operator==(const Ip&) const = default;
};

// An IPv4 or IPv6 literal in inet_pton's strict form, with no brackets;
// false for anything else, a NUL or a control byte included.
bool parseIp(std::string_view text, Ip& ip);
// The system's one spelling of the address (inet_ntop).
std::string ipText(const Ip& ip);
// The address with the port, as bind() and sendto() take it.
sockaddr_storage socketAddress(const Ip& ip, uint16_t port);
// The address of an IPv4 or IPv6 socket address; family 0 for any other.
Ip ipOf(const sockaddr_storage& address);

// The block of addresses that share their first prefix bits with base.
struct Network {
    Ip base;
    unsigned prefix = 0;  // 0 to base.bits()
};

// The bits after the prefix: 0 for a single address.
inline unsigned hostBits(const Network& n) { return n.base.bits() - n.prefix; }
// Whether base has no bit set after the prefix (is the block's first address).
bool hostBitsClear(const Network& n);
// base with the bits after the prefix cleared.
Network masked(Network n);
// Whether ip is of the block's family and shares its first prefix bits.
bool contains(const Network& n, const Ip& ip);
// The block's index-th address, counting from its first (masked base); index
// must be below 2^hostBits(n).
Ip nth(const Network& n, uint64_t index);

// What was wrong with the text, for each caller to word.
enum class Fault {
    None,
    NoHost,          // nothing before the ':' or the port, and no bracket
    NoCloseBracket,  // '[' with no ']'
    BadPort,         // not digits, 0 (unless Rules::portZero), or over 65535
    NoPort,          // Rules::needPort and none given
    NotIpv6,         // in brackets, or with more than one ':', and not IPv6
    BadName,         // a host name of characters Rules::names does not allow
    NotAddress,      // a range whose base is no IPv4 or IPv6 address
    BadPrefix,       // a prefix that is not digits or is over 32 or 128
};

enum class Names {
    Printable,  // any bytes but control ones (C0, DEL) and NUL
    Dns,        // letters, digits, '.', '-', '_', 1 to 253 of them
};

// The forms a caller takes. Always: HOST, HOST:PORT, [IPV6], [IPV6]:PORT
// and a bare IPv6 address (more than one ':', so never with a port).
struct Rules {
    bool ranges = false;     // also ADDRESS/N[:PORT], the address maybe in brackets
    bool needPort = false;   // a port must be given
    bool portZero = false;   // port 0 is taken (the system chooses)
    bool emptyHost = false;  // ":PORT" is taken, host ""
    Names names = Names::Printable;
};

enum class Kind { Name, Ipv4, Ipv6 };

struct Parsed {
    Fault fault = Fault::None;
    Kind kind = Kind::Name;
    std::string host;                // without brackets, as written
    Ip ip;                           // for Ipv4 and Ipv6
    std::optional<uint16_t> port;    // absent when none was written
    std::optional<unsigned> prefix;  // a range's prefix length
    bool bracketed = false;          // the address was written in brackets
    // On a fault, the text at fault as written: the port for BadPort, the
    // address for NotIpv6, the host for BadName.
    std::string part;
};

// Splits and checks text; checks are made in the order the text is read:
// brackets, then the port, then the host, then the prefix, so the first
// fault named is the leftmost structural one.
Parsed parse(std::string_view text, const Rules& rules);

}  // namespace tagaddress

#endif
