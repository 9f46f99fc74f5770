#include <memory>

#include "engine_state.h"

namespace tagengine {

void Record::recycle() {
    // Made anew in place rather than assigned a new one: assigning moves
    // every member of a temporary only to destroy it.
    std::vector<uint8_t> keptBytes = std::move(bytes);
    keptBytes.clear();
    std::destroy_at(this);
    std::construct_at(this);
    bytes = std::move(keptBytes);
}

Record& RecordTable::add(uint64_t id) {
    uint32_t slot;
    if (freeSlots.empty()) {
        slot = uint32_t(slots.size());
        slots.emplace_back();
    } else {
        slot = freeSlots.back();
        freeSlots.pop_back();
    }
    *index.tryEmplace(id).first = slot;
    Record& r = slots[slot];
    r.id = id;
    return r;
}

Record* RecordTable::find(uint64_t id) {
    const uint32_t* slot = index.find(id);
    return slot ? &slots[*slot] : nullptr;
}

void RecordTable::remove(uint64_t id) {
    const uint32_t* slot = index.find(id);
    if (!slot) return;
    uint32_t freed = *slot;
    index.erase(id);
    if (index.size() == 0 && slots.size() > SLOTS_KEPT_IDLE) {
        // A burst's records are given back once the last of it is done:
        // a long-running caller's memory follows its load, not its peak.
        slots.clear();
        freeSlots.clear();
        index = {};
        return;
    }
    slots[freed].recycle();
    freeSlots.push_back(freed);
}

}  // namespace tagengine
