// One part of a fleet, so that several pollers (hosts, cron jobs, an
// orchestrator's indexed jobs) split it with no overlap and no gap. A target
// belongs to shard I of N when its key's FNV-1a 64 hash modulo N is I. The
// key, and so the split, is the same on every run, machine and build:
//
//   IPv4 address   0x04, the 4 address bytes, the port (2 bytes, big-endian)
//   IPv6 address   0x06, the 16 address bytes, the port
//   host name      0x00, the name in lower case without a final '.', the port
//
// Every spelling of one address is one key: 127.0.0.1, 127.1, 2130706433 and
// ::ffff:127.0.0.1 alike (the numeric forms the resolver takes, read
// without it). A name is hashed as written, never resolved: a name may
// resolve differently on two machines, which would put its device in two
// shards or in none; hashed by its text it is in exactly one. The cost: a
// device named once by a name and once by its address may land in two
// shards, so a fleet should name each device one way.
#ifndef TAGPOLL_SHARD_H
#define TAGPOLL_SHARD_H

#include <cstdint>
#include <string>
#include <vector>

#include "targets.h"

namespace tagpoll {

struct Shard {
    uint64_t index = 0;  // I, below count
    uint64_t count = 1;  // N, 1 for the whole fleet
};

// "I/N" with 0 <= I < N and 1 <= N <= MAX_SHARDS, decimal digits only.
// False with the reason in error otherwise.
constexpr uint64_t MAX_SHARDS = 1000000;
bool parseShard(const std::string& text, Shard& shard, std::string& error);

// The bytes the hash is taken over (above).
std::string shardKey(const Target& target);
// FNV-1a 64 of shardKey.
uint64_t shardHash(const Target& target);
bool inShard(const Target& target, const Shard& shard);

// The targets of the shard, in their order.
std::vector<Target> shardTargets(const std::vector<Target>& targets, const Shard& shard);

}  // namespace tagpoll

#endif
