#include "store.h"

size_t messageHeaderSize() { return VMsg::encodedHeaderSize(); }

size_t tagWireSize(const VTag& tag) {
    size_t size = VMsg::encodedTagSize(&tag);
    return size && messageHeaderSize() + size <= DATAGRAM_SIZE ? size : 0;
}

bool TagStore::put(std::unique_ptr<VTag> tag, std::string* why) {
    // A float may travel as type 2 with the same bits; it is kept as type 6.
    if (tag && tag->type == VTAG_UINT32 && dictionaryType(tag->tagId) == VTAG_FLOAT)
        tag = std::make_unique<VTagUInt32>(tag->tagId, static_cast<VTagUInt32&>(*tag).getValue(), VTAG_FLOAT);
    const char* reason = nullptr;
    if (!tag || tag->type == VTAG_NONE)
        reason = "tag carries no value";
    else if (tag->type != dictionaryType(tag->tagId))
        reason = "type code differs from the dictionary's";
    else if (tagWireSize(*tag) == 0)
        reason = "value too long for one datagram";
    if (reason) {
        if (why) *why = reason;
        return false;
    }
    uint8_t id = tag->tagId;
    tags[id] = std::move(tag);
    return true;
}

bool TagStore::erase(uint8_t id) {
    if (!find(id)) return false;
    if (base && base->find(id))
        tags[id] = nullptr;
    else
        tags.erase(id);
    return true;
}

const VTag* TagStore::find(uint8_t id) const {
    auto it = tags.find(id);
    if (it != tags.end()) return it->second.get();
    return base ? base->find(id) : nullptr;
}

std::vector<const VTag*> TagStore::all() const {
    std::vector<const VTag*> result;
    std::vector<const VTag*> shared = base ? base->all() : std::vector<const VTag*>{};
    result.reserve(shared.size() + tags.size());
    // Both lists are in id order: merge them, this store's entry winning.
    auto next = shared.begin();
    for (const auto& [id, tag] : tags) {
        for (; next != shared.end() && (*next)->tagId < id; ++next) result.push_back(*next);
        if (next != shared.end() && (*next)->tagId == id) ++next;
        if (tag) result.push_back(tag.get());
    }
    result.insert(result.end(), next, shared.end());
    return result;
}
