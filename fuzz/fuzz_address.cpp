// The engine's reader of address text on any bytes, under the rules of a
// caller chosen by the first byte. Nothing faults; a refusal names a part of
// the text; an accepted address is written back (in brackets for IPv6, with
// its port and prefix) and reads the same; a range's block holds its base,
// its first address and its last, and nothing of the other family.
#include <cstdlib>
#include <string>

#include "tagaddress.h"

using namespace tagaddress;

namespace {

constexpr Rules RULES[] = {
    {},                                                       // the one-call API
    {.ranges = true, .names = Names::Dns},                    // targets
    {.names = Names::Dns},                                    // the exporter's target=
    {.needPort = true, .portZero = true, .emptyHost = true},  // listening addresses
    {.ranges = true},                                         // allow-lists
};

std::string written(const Parsed& p) {
    std::string text = p.kind == Kind::Ipv6 ? "[" + p.host + "]" : p.host;
    if (p.prefix) text += "/" + std::to_string(*p.prefix);
    if (p.port) text += ":" + std::to_string(*p.port);
    return text;
}

void checkBlock(const Parsed& p) {
    Network n{p.ip, *p.prefix};
    if (*p.prefix > p.ip.bits() || !hostBitsClear(masked(n)) || !contains(n, p.ip)) abort();
    Ip first = nth(n, 0);
    if (first != masked(n).base || !contains(n, first)) abort();
    unsigned free = hostBits(n);
    uint64_t last = free >= 64 ? ~uint64_t(0) : (uint64_t(1) << free) - 1;
    if (!contains(n, nth(n, last))) abort();
    Ip other;
    other.family = p.ip.family == AF_INET ? AF_INET6 : AF_INET;
    if (contains(n, other)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const Rules& rules = RULES[data[0] % (sizeof RULES / sizeof RULES[0])];
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Parsed p = parse(text, rules);
    if (p.fault != Fault::None) {
        if (p.part.size() > text.size() || text.find(p.part) == std::string::npos) abort();
        return 0;
    }
    if (p.port && *p.port == 0 && !rules.portZero) abort();
    if (rules.needPort && !p.port) abort();
    if (p.kind != Kind::Name) {
        Ip again;
        if (!parseIp(p.host, again) || again != p.ip) abort();
        if ((p.kind == Kind::Ipv6) != (p.ip.family == AF_INET6)) abort();
    } else if (p.host.find('\0') != std::string::npos || p.prefix || p.bracketed) {
        abort();
    }
    if (p.prefix) checkBlock(p);
    if (p.host.empty()) return 0;  // ":PORT" has no other spelling
    Parsed back = parse(written(p), rules);
    if (back.fault != Fault::None || back.host != p.host || back.port != p.port || back.prefix != p.prefix ||
        back.kind != p.kind)
        abort();
    return 0;
}
