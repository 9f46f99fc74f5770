#include "shard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace tagpoll {

namespace {

// Decimal digits only, no sign or space.
bool readCount(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    std::from_chars(text.data(), text.data() + text.size(), out);
    return true;
}

void appendPort(std::string& key, uint16_t port) {
    key += char(port >> 8);
    key += char(port & 0xFF);
}

void appendIpv4(std::string& key, const unsigned char* bytes) {
    key += '\x04';
    key.append(reinterpret_cast<const char*>(bytes), 4);
}

}  // namespace

bool parseShard(const std::string& text, Shard& shard, std::string& error) {
    size_t slash = text.find('/');
    Shard read;
    if (slash == std::string::npos || !readCount(text.substr(0, slash), read.index) ||
        !readCount(text.substr(slash + 1), read.count)) {
        error = "bad --shard \"" + text + "\": I/N, e.g. 0/4";
        return false;
    }
    if (read.count < 1 || read.count > MAX_SHARDS || read.index >= read.count) {
        error =
            "bad --shard \"" + text + "\": N from 1 to " + std::to_string(MAX_SHARDS) + ", I from 0 to N-1";
        return false;
    }
    shard = read;
    return true;
}

std::string shardKey(const Target& target) {
    std::string key;
    unsigned char bytes[sizeof(in6_addr)];
    in_addr four{};
    if (inet_pton(AF_INET6, target.host.c_str(), bytes) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(bytes))) {
            appendIpv4(key, bytes + 12);
        } else {
            key += '\x06';
            key.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
        }
    } else if (inet_aton(target.host.c_str(), &four) == 1) {
        // inet_aton takes the strict dotted quad and the shorter numeric
        // forms the resolver takes ("127.1", "0x7f.1", "2130706433").
        appendIpv4(key, reinterpret_cast<const unsigned char*>(&four.s_addr));
    } else {
        std::string name = target.host;
        if (!name.empty() && name.back() == '.') name.pop_back();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        key += '\0';
        key += name;
    }
    appendPort(key, target.port);
    return key;
}

uint64_t shardHash(const Target& target) {
    uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a 64 offset basis
    for (unsigned char c : shardKey(target)) {
        hash ^= c;
        hash *= 0x100000001b3ULL;  // FNV 64 prime
    }
    return hash;
}

bool inShard(const Target& target, const Shard& shard) {
    return shard.count <= 1 || shardHash(target) % shard.count == shard.index;
}

std::vector<Target> shardTargets(const std::vector<Target>& targets, const Shard& shard) {
    std::vector<Target> kept;
    std::copy_if(targets.begin(), targets.end(), std::back_inserter(kept),
                 [&](const Target& t) { return inShard(t, shard); });
    return kept;
}

}  // namespace tagpoll
