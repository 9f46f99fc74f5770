// Built, never run: the public headers as a C++17 user with shadowing and
// conversion warnings as errors sees them, each inline function used once.
#include "axodict.h"
#include "vlog.h"
#include "vmsg.h"

size_t headersCxx17(const VMsg& msg, VTagUInt32& value, const VTagString& text) {
    size_t total = text.text().size() + value.getValue() + msg.tagCount() + (msg.isLastSegment() ? 1u : 0u);
    for (const VTag* t : msg) total += t->tagId;
    VTagUInt8 small(AXO::TAG_DEV_STATE, uint8_t(MSG_REP));
    VTagUInt16 medium(AXO::TAG_DEV_ID, uint16_t(AXO::TAG_COUNT));
    return total + small.getValue() + medium.getValue() + size_t(cVlog::ERROR);
}
