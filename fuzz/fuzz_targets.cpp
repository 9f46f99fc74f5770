// The targets-file reader on any bytes: it either refuses with one
// printable "NAME:LINE: reason" line naming a line that exists, or gives
// distinct targets with a valid host and port each, IPv6 ones included; each
// target's shard key is of one of the documented forms and falls in exactly
// one of three shards.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "shard.h"
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // Each range may add 65534 targets: a few are enough to reach every
    // path without making one input take seconds.
    if (std::count(text.begin(), text.end(), '/') > 4) return 0;
    tagpoll::TargetList list(60000);
    std::istringstream in(text);
    if (!list.readStream(in, "f")) {
        const std::string& e = list.error();
        if (!e.starts_with("f:")) abort();
        size_t line = std::strtoul(e.c_str() + 2, nullptr, 10);
        if (line == 0 || line > size_t(std::count(text.begin(), text.end(), '\n')) + 1) abort();
        if (!std::all_of(e.begin(), e.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) abort();
        return 0;
    }
    std::set<std::string> labels;
    for (const tagpoll::Target& t : list.targets()) {
        if (t.port == 0 || t.host.empty()) abort();
        // An IPv6 host is an address in the system's own spelling, never
        // a mapped IPv4 one; any other host is a name or a dotted quad.
        if (t.host.find(':') != std::string::npos) {
            in6_addr six{};
            char again[INET6_ADDRSTRLEN];
            if (inet_pton(AF_INET6, t.host.c_str(), &six) != 1 || IN6_IS_ADDR_V4MAPPED(&six)) abort();
            if (t.host != inet_ntop(AF_INET6, &six, again, sizeof again)) abort();
        } else if (!std::all_of(t.host.begin(), t.host.end(), [](char c) {
                       return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
                   })) {
            abort();
        }
        std::string label = t.label();
        std::transform(label.begin(), label.end(), label.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (!labels.insert(label).second) abort();
        std::string key = tagpoll::shardKey(t);
        size_t body = key.size() - 3;  // less the kind byte and the port
        if (!((key[0] == '\x04' && body == 4) || (key[0] == '\x06' && body == 16) ||
              (key[0] == '\0' && body <= t.host.size())))
            abort();
        int shards = 0;
        for (uint64_t i = 0; i < 3; ++i) shards += tagpoll::inShard(t, tagpoll::Shard{i, 3});
        if (shards != 1) abort();
    }
    return 0;
}
