#include "targets.h"

#include <algorithm>
#include <string_view>

namespace tagpoll {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A byte at a time, not a search of the set per byte: a fleet's file is
// this, line after line.
std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Text from the file as it may be shown on a terminal: bytes outside
// printable ASCII as \xNN.
std::string shown(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
    return out;
}

// Reads one line, at most limit + 1 characters of it, so that a file
// without line ends (/dev/zero) cannot grow memory; text is then a view of
// it in the buffer, not a copy. False at the end. One getline per line
// into a buffer of limit + 2: the stream scans its own buffer for the line
// end instead of being asked for each character.
bool readBoundedLine(std::istream& in, std::vector<char>& buffer, std::string_view& text, size_t limit) {
    buffer.resize(limit + 2);
    in.getline(buffer.data(), std::streamsize(buffer.size()));
    auto taken = size_t(in.gcount());
    // A line end taken is counted but not stored; at the end of the file
    // there is none, and a line cut at the bound leaves the stream failed.
    bool ended = !in.eof() && !in.fail();
    text = std::string_view(buffer.data(), ended ? taken - 1 : taken);
    return taken > 0;
}

// An IPv4-mapped IPv6 address as the IPv4 address it stands for, as the
// engine sends to it; any other as it is.
tagaddress::Ip unmapped(tagaddress::Ip address) {
    static constexpr uint8_t MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (address.family == AF_INET6 && std::equal(MAPPED, MAPPED + 12, address.bytes.begin())) {
        std::copy(address.bytes.begin() + 12, address.bytes.end(), address.bytes.begin());
        std::fill(address.bytes.begin() + 4, address.bytes.end(), 0);
        address.family = AF_INET;
    }
    return address;
}

// A target of an address, spelt the one way, so that duplicates are found
// however written, and kept read for the engine.
Target addressTarget(const tagaddress::Ip& address, uint16_t port) {
    tagaddress::Ip ip = unmapped(address);
    return Target{tagaddress::ipText(ip), port, ip};
}

// A line's forms: HOST[:PORT], [IPV6][:PORT], a bare IPv6 address, and
// ranges; host names as DNS and dotted quads write them.
constexpr tagaddress::Rules TARGET_RULES{.ranges = true, .names = tagaddress::Names::Dns};

// Why an entry is refused, in the words the manual and the tests know.
std::string refusal(const tagaddress::Parsed& p, std::string_view entry) {
    using tagaddress::Fault;
    switch (p.fault) {
    case Fault::NoCloseBracket: return "bad target \"" + shown(entry) + "\": no ']' after the IPv6 address";
    case Fault::BadPort: return "bad port \"" + shown(p.part) + "\" (1-65535)";
    case Fault::NotIpv6:
        return "bad IPv6 address \"" + shown(p.part) + "\"" +
               (p.bracketed ? "" : " (a port goes after [ADDRESS]:)");
    case Fault::NotAddress:
        return "bad range \"" + shown(entry) + "\": not an IPv4 or IPv6 address before the '/'";
    case Fault::BadPrefix:
        return "bad range \"" + shown(entry) + "\": prefix length must be 0-" + std::to_string(p.ip.bits());
    default: return "bad host name \"" + shown(p.part) + "\"";
    }
}

}  // namespace

std::string TargetList::whereText(const Origin& where) const {
    return sources[where.source] + ":" + std::to_string(where.line);
}

bool TargetList::fail(const std::string& where, const std::string& reason) {
    why = where + ": " + reason;
    return false;
}

bool TargetList::readStream(std::istream& in, const std::string& name) {
    std::string_view line;
    std::vector<char> buffer;
    size_t number = 0;
    while (readBoundedLine(in, buffer, line, MAX_LINE)) {
        ++number;
        if (line.size() > MAX_LINE)
            return fail(name + ":" + std::to_string(number),
                        "line longer than " + std::to_string(MAX_LINE) + " characters");
        if (!addEntry(line, name, number)) return false;
    }
    // A folder, or a read error part way, is not an empty list.
    if (in.bad()) return fail(name, "cannot be read");
    return true;
}

bool TargetList::addEntry(std::string_view text, const std::string& name, size_t line) {
    // A view of the line, not a copy: most entries are past a short
    // string's room, and the parse copies what it keeps.
    std::string_view entry = trim(text.substr(0, text.find('#')));
    if (entry.empty()) return true;
    if (sources.empty() || sources.back() != name) sources.push_back(name);
    Origin where{sources.size() - 1, line};
    if (std::any_of(entry.begin(), entry.end(), [](char c) { return c == ' ' || c == '\t'; }))
        return fail(where, "more than one target on a line");
    tagaddress::Parsed p = tagaddress::parse(entry, TARGET_RULES);
    if (p.fault != tagaddress::Fault::None) return fail(where, refusal(p, entry));
    uint16_t port = p.port.value_or(defaultPort);
    if (p.prefix) return addRange(tagaddress::Network{p.ip, *p.prefix}, port, where);
    switch (p.kind) {
    case tagaddress::Kind::Ipv6: return add(addressTarget(p.ip, port), where);
    // A dotted quad keeps its spelling (it has one), and its address.
    case tagaddress::Kind::Ipv4: return add(Target{std::move(p.host), port, p.ip}, where);
    default: return add(Target{std::move(p.host), port}, where);
    }
}

bool TargetList::addRange(const tagaddress::Network& range, uint16_t port, const Origin& where) {
    bool v6 = range.base.family == AF_INET6;
    unsigned hostBits = tagaddress::hostBits(range);
    if (hostBits > 16) {
        std::string count =
            hostBits < 64 ? std::to_string(uint64_t(1) << hostBits) : "2^" + std::to_string(hostBits);
        return fail(where, "range too wide: " + count + " addresses, at most " +
                               std::to_string(MAX_RANGE_ADDRESSES) + (v6 ? " (/112)" : " (/16)"));
    }
    uint64_t size = uint64_t(1) << hostBits;
    // A block's first address is not a device: an IPv4 network address, an
    // IPv6 subnet-router anycast address; nor is an IPv4 block's last, its
    // broadcast address (IPv6 has none). /31, /32, /127 and /128 skip nothing.
    uint64_t skip = size >= 4 ? 1 : 0;
    for (uint64_t i = skip; i < size - (v6 ? 0 : skip); ++i)
        if (!add(addressTarget(tagaddress::nth(range, i), port), where)) return false;
    return true;
}

std::vector<Target> TargetList::release() {
    seen.clear();
    std::string().swap(key);
    std::vector<Origin>().swap(origins);
    std::vector<std::string>().swap(sources);
    std::vector<std::string>().swap(notes);
    return std::move(list);
}

LabelIndex::KeyOf TargetList::keyOf() const {
    return [this](uint32_t index, std::string& key) { keyInto(list[index], key); };
}

void TargetList::keyInto(const Target& target, std::string& key) {
    key.clear();
    // An address is keyed by its bytes and port, not by its label: it has
    // the one spelling, and a fleet's lines are then neither written out
    // again nor hashed as text. The family byte starts it, a control
    // character, which no name's key starts with.
    if (target.ip.family != 0) {
        size_t length = target.ip.family == AF_INET6 ? 16 : 4;
        key += char(target.ip.family);
        key.append(reinterpret_cast<const char*>(target.ip.bytes.data()), length);
        key += char(target.port >> 8);
        key += char(target.port & 0xFF);
        return;
    }
    // A name is lowered in place. Names are ASCII (validHost) and the tools
    // never leave the "C" locale: only A-Z change.
    target.appendLabel(key);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
}

std::string TargetList::whereOf(const Target& target) const {
    std::string asked;
    keyInto(target, asked);
    auto first = seen.find(asked, keyOf());
    return first ? whereText(origins[*first]) : "";
}

bool TargetList::add(Target target, const Origin& where) {
    keyInto(target, key);
    std::optional<uint32_t> first;
    if (list.size() < MAX_TARGETS)
        first = seen.insert(key, uint32_t(list.size()), keyOf());
    else if (!(first = seen.find(key, keyOf())))
        return fail(where, "more than " + std::to_string(MAX_TARGETS) + " targets");
    if (first) {
        notes.push_back(whereText(where) + ": " + target.label() + " duplicates " +
                        whereText(origins[*first]) + ", polled once");
        return true;
    }
    list.push_back(std::move(target));
    origins.push_back(where);
    return true;
}

}  // namespace tagpoll
