// Two applies on one machine whose targets overlap never write at once: each
// takes a write lock on its targets' byte ranges of one lock file, all or
// none, before the first datagram, and the second waits for the first.
// Runs over disjoint targets (shards of a fleet) lock disjoint ranges and do
// not wait for each other.
//
// A target's byte is its address: port << 32 | IPv4 address for IPv4, so
// that a fleet of consecutive addresses on one port is one range the kernel
// holds as one lock (its cost grows with the square of the locks a file
// holds); 2^48 plus 40 bits of a hash of address, scope and port for IPv6.
// Past MAX_LOCK_RANGES ranges, the narrowest gaps between them are locked
// too: a run then may wait for a run whose targets lie in those gaps.
//
// The locks are POSIX record locks, which the kernel drops when the process
// ends however it ends, and whose holder it names (the pid; the command is
// read from /proc). They cover only tagconf runs on this machine that use
// the same lock file: not other machines, not other tools.
#ifndef TAGCONF_RUN_LOCK_H
#define TAGCONF_RUN_LOCK_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tagconf {

constexpr size_t MAX_LOCK_RANGES = 1024;

// The lock file: $TAGCONF_LOCK_FILE when set, else tagconf.lock in /run/lock
// (every user of the machine shares it) when that folder exists, else in
// /tmp.
std::string lockFilePath();

// The byte ranges [first, last] that stand for the addresses (AF_UNSPEC
// ones left out), ascending, at most MAX_LOCK_RANGES of them.
std::vector<std::pair<uint64_t, uint64_t>> lockRanges(const std::vector<sockaddr_storage>& addresses);

class RunLock {
public:
    RunLock() = default;
    ~RunLock();  // releases the lock
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    enum class Outcome { Taken, Held, Stopped, Failed };
    // Takes the ranges of the addresses in the file at path, retrying while
    // another process holds one of them, for at most waitSeconds or until
    // stopFd (when not -1) turns readable. Held: why names the holder ("pid
    // 1234 (tagconf apply fleet.yml)"); Failed: why says what failed.
    Outcome take(const std::string& path, const std::vector<sockaddr_storage>& addresses, double waitSeconds,
                 int stopFd, std::string& why);

private:
    int fd = -1;
};

}  // namespace tagconf

#endif
