#include "label_index.h"

#include <cstring>

namespace tagpoll {

namespace {

// A key's hash, eight bytes a step with one multiply each, and mixed at the
// end so that keys alike but for a byte or two (a fleet's addresses) spread
// over the low bits the table is indexed by. Cheaper than the library's
// string hash, which a fleet's every line pays for.
uint64_t hashOf(std::string_view key) {
    uint64_t h = key.size() * 0x9E3779B97F4A7C15ULL;
    size_t at = 0;
    for (; at + 8 <= key.size(); at += 8) {
        uint64_t word;
        memcpy(&word, key.data() + at, 8);
        h = (h ^ word) * 0xBF58476D1CE4E5B9ULL;
    }
    uint64_t tail = 0;
    if (at < key.size()) memcpy(&tail, key.data() + at, key.size() - at);
    h = (h ^ tail) * 0x94D049BB133111EBULL;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ULL;
    return h ^ (h >> 29);
}

}  // namespace

size_t LabelIndex::slotOf(std::string_view key, uint64_t hash, const KeyOf& keyOf) const {
    size_t mask = slots.size() - 1;
    for (size_t at = size_t(hash) & mask;; at = (at + 1) & mask) {
        const Slot& s = slots[at];
        if (s.index == EMPTY) return at;
        if (s.hash != hash) continue;
        keyOf(s.index, candidate);
        if (candidate == key) return at;
    }
}

void LabelIndex::grow() {
    std::vector<Slot> old = std::move(slots);
    slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    size_t mask = slots.size() - 1;
    // Moved by their hashes alone: the held keys all differ.
    for (const Slot& s : old) {
        if (s.index == EMPTY) continue;
        size_t at = size_t(s.hash) & mask;
        while (slots[at].index != EMPTY) at = (at + 1) & mask;
        slots[at] = s;
    }
}

std::optional<uint32_t> LabelIndex::insert(std::string_view key, uint32_t index, const KeyOf& keyOf) {
    if (2 * (used + 1) > slots.size()) grow();
    uint64_t hash = hashOf(key);
    Slot& s = slots[slotOf(key, hash, keyOf)];
    if (s.index != EMPTY) return s.index;
    s = Slot{hash, index};
    ++used;
    return std::nullopt;
}

std::optional<uint32_t> LabelIndex::find(std::string_view key, const KeyOf& keyOf) const {
    if (slots.empty()) return std::nullopt;
    const Slot& s = slots[slotOf(key, hashOf(key), keyOf)];
    if (s.index == EMPTY) return std::nullopt;
    return s.index;
}

void LabelIndex::clear() {
    std::vector<Slot>().swap(slots);
    used = 0;
    std::string().swap(candidate);
}

}  // namespace tagpoll
