// The targets of a list by their label, case ignored, for finding a target
// named twice: an open-addressed table of their indexes and the hashes of
// their labels. A fleet's targets cost no node and no key string each; a
// label is written out again only to compare it with one of the same hash.
#ifndef TAGPOLL_LABEL_INDEX_H
#define TAGPOLL_LABEL_INDEX_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tagpoll {

class LabelIndex {
public:
    // The key of the index-th target, written into key (cleared first).
    using KeyOf = std::function<void(uint32_t index, std::string& key)>;

    // The index of the target already held under key; else index is held
    // under it and none is returned.
    std::optional<uint32_t> insert(std::string_view key, uint32_t index, const KeyOf& keyOf);
    // The index held under key, if any.
    std::optional<uint32_t> find(std::string_view key, const KeyOf& keyOf) const;
    // Forgets everything and gives the memory back.
    void clear();

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t index = EMPTY;
    };
    static constexpr uint32_t EMPTY = UINT32_MAX;
    // The slot holding key, or the empty one it would go in.
    size_t slotOf(std::string_view key, uint64_t hash, const KeyOf& keyOf) const;
    void grow();

    std::vector<Slot> slots;  // a power of two of them, at most half used
    size_t used = 0;
    mutable std::string candidate;  // a held key written out to compare
};

}  // namespace tagpoll

#endif
