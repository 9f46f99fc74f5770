#include "label_index.h"

namespace tagpoll {

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
    uint64_t hash = std::hash<std::string_view>()(key);
    Slot& s = slots[slotOf(key, hash, keyOf)];
    if (s.index != EMPTY) return s.index;
    s = Slot{hash, index};
    ++used;
    return std::nullopt;
}

std::optional<uint32_t> LabelIndex::find(std::string_view key, const KeyOf& keyOf) const {
    if (slots.empty()) return std::nullopt;
    const Slot& s = slots[slotOf(key, std::hash<std::string_view>()(key), keyOf)];
    if (s.index == EMPTY) return std::nullopt;
    return s.index;
}

void LabelIndex::clear() {
    std::vector<Slot>().swap(slots);
    used = 0;
    std::string().swap(candidate);
}

}  // namespace tagpoll
