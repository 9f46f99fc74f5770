// The targets of a poll, one a line, '#' starting a comment, blank lines
// ignored: HOST[:PORT] (a name or an IPv4 address), an IPv6 address bare or
// as [ADDRESS][:PORT], or a range A.B.C.D/N[:PORT], ADDRESS/N[:PORT] (IPv6,
// brackets around the address allowed).
#ifndef TAGPOLL_TARGETS_H
#define TAGPOLL_TARGETS_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "label_index.h"
#include "tagaddress.h"

namespace tagpoll {

// A range may name at most this many addresses (an IPv4 /16, an IPv6 /112).
constexpr size_t MAX_RANGE_ADDRESSES = 65536;
// All lines together may name at most this many targets.
constexpr size_t MAX_TARGETS = 1 << 20;
// Longer lines are refused rather than read without end.
constexpr size_t MAX_LINE = 4096;

struct Target {
    std::string host;  // a name, a dotted quad, or an IPv6 address as the system writes it
    uint16_t port;
    // The host's address when it is one (family 0 for a name), read once
    // with the list: handed to the engine, it is not read again from the
    // text for every exchange.
    tagaddress::Ip ip{};
    // "host:port"; "[address]:port" for IPv6.
    std::string label() const {
        std::string text;
        text.reserve(host.size() + 8);
        appendLabel(text);
        return text;
    }
    // The same, appended: a caller writing many reuses its string.
    void appendLabel(std::string& text) const {
        bool v6 = host.find(':') != std::string::npos;
        if (v6) text += '[';
        text += host;
        text += v6 ? "]:" : ":";
        char digits[8];
        auto end = std::to_chars(digits, digits + sizeof digits, port).ptr;
        text.append(digits, size_t(end - digits));
    }
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
    bool addEntry(std::string_view text, const std::string& name, size_t line);

    const std::vector<Target>& targets() const { return list; }
    // The targets, taken out of the list, which forgets where each came from
    // (whereOf, warnings), so that a run holds nothing but the targets.
    std::vector<Target> release();
    // "FILE:LINE" of the entry that first named the target; "" for a target
    // not in the list.
    std::string whereOf(const Target& target) const;
    // The same for targets()[index], without a lookup by label.
    std::string whereAt(size_t index) const { return whereText(origins[index]); }
    // "FILE:LINE: reason" for the bad line.
    const std::string& error() const { return why; }
    // "FILE:LINE: duplicate of FILE:LINE, polled once" for each duplicate.
    const std::vector<std::string>& warnings() const { return notes; }

private:
    // A line of a source, kept as numbers: its "FILE:LINE" is written only
    // when a message needs it, not for each of a fleet's lines.
    struct Origin {
        size_t source;  // in sources
        size_t line;
    };
    std::string whereText(const Origin& where) const;
    bool fail(const std::string& where, const std::string& reason);
    bool fail(const Origin& where, const std::string& reason) { return fail(whereText(where), reason); }
    bool addRange(const tagaddress::Network& range, uint16_t port, const Origin& where);
    bool add(Target target, const Origin& where);

    uint16_t defaultPort;
    std::vector<Target> list;
    std::vector<Origin> origins;       // where each of list was named first
    std::vector<std::string> sources;  // the names lines came from
    // Each target's label lowered, written into key.
    static void keyInto(const Target& target, std::string& key);
    LabelIndex::KeyOf keyOf() const;

    LabelIndex seen;  // the targets by their label lowered
    std::string key;  // the label of the target being added
    std::string why;
    std::vector<std::string> notes;
};

}  // namespace tagpoll

#endif
