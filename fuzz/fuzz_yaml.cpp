// The YAML loader: loading never faults; it refuses with one
// "f.yml:LINE: reason" line of printable ASCII and an empty document, or
// gives a tree within the bounds whose every node is where iteration
// finds it.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tagyaml.h"

namespace {

constexpr tagyaml::Bounds BOUNDS{size_t{1} << 16, 8};

bool faultLine(const std::string& e) {
    if (!e.starts_with("f.yml:")) return false;
    size_t i = 6;
    while (i < e.size() && e[i] >= '0' && e[i] <= '9') ++i;
    if (i == 6 || e[6] == '0' || e.compare(i, 2, ": ") != 0 || i + 2 == e.size()) return false;
    return std::ranges::all_of(e, [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// Counts the nodes under node (itself included), checking each on the way.
size_t walk(const tagyaml::Node& node, size_t depth, int lines) {
    if (node.line() < 1 || node.line() > lines) abort();
    if (node.isScalar()) {
        if (node.size() != 0) abort();
        return 1;
    }
    if (++depth > BOUNDS.maxDepth || !node.text().empty()) abort();
    size_t count = 1, seen = 0;
    for (const tagyaml::Node& item : node.items()) count += walk(item, depth, lines), ++seen;
    for (const tagyaml::Pair& pair : node.pairs())
        count += walk(pair.key, depth, lines) + walk(pair.value, depth, lines), ++seen;
    if (seen != node.size()) abort();
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tagyaml::Document doc;
    std::string error;
    if (!tagyaml::load(text, "f.yml", BOUNDS, doc, error)) {
        if (!faultLine(error) || doc.nodeCount() != 0) abort();
        return 0;
    }
    // A raw NUL is refused, never read as the end of a text.
    if (text.find('\0') != std::string_view::npos) abort();
    // Every line break YAML knows may start a line: LF, CR, and in a YAML
    // 1.1 document NEL, LS and PS; counted apart, as an upper bound.
    int lines = 1;
    for (char c : text) lines += c == '\n' || c == '\r';
    for (std::string_view mark : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        for (size_t at = text.find(mark); at != std::string_view::npos; at = text.find(mark, at + 1)) ++lines;
    size_t nodes = walk(doc.root(), 0, lines + 1);
    // An empty key and its empty value come from one ':' (":\n:" is five
    // nodes), so a text of n bytes may hold up to about 2n nodes, no more.
    if (nodes != doc.nodeCount() || nodes > 2 * size + 2) abort();
    return 0;
}
