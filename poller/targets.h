// The targets of a poll: one HOST[:PORT] or one IPv4 range A.B.C.D/N[:PORT]
// per line, '#' starting a comment, blank lines ignored.
#ifndef TAGPOLL_TARGETS_H
#define TAGPOLL_TARGETS_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <unordered_map>
#include <vector>

namespace tagpoll {

// A range may name at most this many addresses (a /16).
constexpr size_t MAX_RANGE_ADDRESSES = 65536;
// All lines together may name at most this many targets.
constexpr size_t MAX_TARGETS = 1 << 20;
// Longer lines are refused rather than read without end.
constexpr size_t MAX_LINE = 4096;

struct Target {
    std::string host;  // a name or a dotted quad
    uint16_t port;
    std::string label() const { return host + ":" + std::to_string(port); }
};

// Collects targets from any number of sources, without duplicates. The
// first bad line stops everything: error() then names it.
class TargetList {
public:
    explicit TargetList(uint16_t defaultPort) : defaultPort(defaultPort) {}

    // Reads every line of the stream; name is used in messages ("fleet.txt",
    // "-"). Returns false at the first bad line.
    bool readStream(std::istream& in, const std::string& name);
    // One entry as a line would hold it (for --target); false if it is bad.
    bool addEntry(const std::string& text, const std::string& name, size_t line);

    const std::vector<Target>& targets() const { return list; }
    // "FILE:LINE: reason" for the bad line.
    const std::string& error() const { return why; }
    // "FILE:LINE: duplicate of FILE:LINE, polled once" for each duplicate.
    const std::vector<std::string>& warnings() const { return notes; }

private:
    bool fail(const std::string& where, const std::string& reason);
    bool addRange(const std::string& text, const std::string& where);
    bool add(Target target, const std::string& where);

    uint16_t defaultPort;
    std::vector<Target> list;
    std::unordered_map<std::string, std::string> seen;  // label -> where first seen
    std::string why;
    std::vector<std::string> notes;
};

}  // namespace tagpoll

#endif
