// Messages: the tag list, the segment flag and merging.
#include "vmsg.h"

VMsg::~VMsg() {
    for (VTag* t : tags) {
        if (inArena(t))
            t->~VTag();
        else
            delete t;
    }
}

bool VMsg::inArena(const VTag* t) const {
    auto* p = reinterpret_cast<const std::byte*>(t);
    // Compared as integers: pointers into different objects have no order.
    auto at = reinterpret_cast<uintptr_t>(p), start = reinterpret_cast<uintptr_t>(arena.get());
    return arena && at >= start && at < start + arenaSize;
}

void VMsg::addTag(VTag* tag) {
    if (tag) tags.push_back(tag);
}

void VMsg::setLastSegment(bool last) {
    sequence = last ? uint8_t(sequence | LAST_SEGMENT) : uint8_t(sequence & ~LAST_SEGMENT);
}

VTag* VMsg::getTag() { return cursor < tags.size() ? tags[cursor++] : nullptr; }

void VMsg::addSegment(const VMsg* segment) {
    if (!segment || segment == this) return;
    msgId = segment->msgId;
    for (const VTag* t : segment->tags) tags.push_back(t->clone());
}
