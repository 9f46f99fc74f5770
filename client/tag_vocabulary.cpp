// The vocabulary is constant data built at compile time from the one tag
// table, with a name index sorted at compile time too: a lookup is a binary
// search and nothing is constructed when the program starts.
#include "tag_vocabulary.h"

#include <algorithm>
#include <array>

namespace {

constexpr TagEntry table[] = {
#define TAG_ENTRY(id, name, kind) {#name, id, TagKind::kind},
#include "tag_table.def"
#undef TAG_ENTRY
};
constexpr size_t tagCount = sizeof table / sizeof table[0];

constexpr bool idsAreDense() {
    for (size_t i = 0; i < tagCount; ++i)
        if (table[i].id != i) return false;
    return true;
}
static_assert(idsAreDense(), "tag ids must run 0, 1, 2, ... in table order");

constexpr unsigned char foldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : static_cast<unsigned char>(c);
}

// strcmp after folding ASCII letters to one case.
constexpr int compareFolded(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = foldCase(*a), cb = foldCase(*b);
        if (ca != cb || ca == 0) return int(ca) - int(cb);
    }
}

constexpr auto nameIndex = [] {
    std::array<uint8_t, tagCount> index{};
    for (size_t i = 0; i < tagCount; ++i) index[i] = uint8_t(i);
    std::sort(index.begin(), index.end(),
              [](uint8_t a, uint8_t b) { return compareFolded(table[a].name, table[b].name) < 0; });
    return index;
}();

}  // namespace

const char* kindName(TagKind kind) {
    switch (kind) {
    case TagKind::None: return "None";
    case TagKind::UInt8: return "UInt8";
    case TagKind::UInt16: return "UInt16";
    case TagKind::UInt32: return "UInt32";
    case TagKind::String: return "String";
    case TagKind::Float: return "Float";
    }
    return "?";
}

const TagEntry* tagByName(const char* name) {
    if (!name) return nullptr;
    size_t lo = 0, hi = tagCount;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        const TagEntry& e = table[nameIndex[mid]];
        int c = compareFolded(name, e.name);
        if (c == 0) return &e;
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}

const TagEntry* tagById(uint8_t id) { return id < tagCount ? &table[id] : nullptr; }

std::span<const TagEntry> allTags() { return {table, tagCount}; }
