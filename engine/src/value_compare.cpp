// Whether a value read back is the one written, and which SETs can be
// verified at all.
#include <optional>

#include "axodict.h"
#include "tagengine.h"

namespace tagengine {

namespace {

// The number an integer tag carries, whatever width the sender chose; none
// for a float's bits (type 6), which only look like a 32-bit number.
std::optional<uint64_t> integerOf(const VTag& t) {
    if (auto* v = dynamic_cast<const VTagUInt8*>(&t); v && t.type == VTAG_UINT8) return v->getValue();
    if (auto* v = dynamic_cast<const VTagUInt16*>(&t); v && t.type == VTAG_UINT16) return v->getValue();
    if (auto* v = dynamic_cast<const VTagUInt32*>(&t); v && t.type == VTAG_UINT32) return v->getValue();
    return std::nullopt;
}

// A float travels as its 32 bits, typed 6 or (dictionary-typed) 2; a
// narrower integer is not a float.
std::optional<uint32_t> floatBitsOf(const VTag& t) {
    auto* v = dynamic_cast<const VTagUInt32*>(&t);
    if (v && (t.type == VTAG_FLOAT || t.type == VTAG_UINT32)) return v->getValue();
    return std::nullopt;
}

std::optional<std::string_view> textOf(const VTag& t) {
    if (auto* v = dynamic_cast<const VTagString*>(&t); v && t.type == VTAG_STRING) return v->text();
    return std::nullopt;
}

}  // namespace

bool sameValue(const VTag& wrote, const VTag& read) {
    if (wrote.tagId != read.tagId) return false;
    switch (AXO::tagKind(wrote.tagId)) {
    case AXO::TagKind::None: return true;
    case AXO::TagKind::UInt8:
    case AXO::TagKind::UInt16:
    case AXO::TagKind::UInt32: {
        auto a = integerOf(wrote), b = integerOf(read);
        return a && b && *a == *b;
    }
    case AXO::TagKind::Float: {
        auto a = floatBitsOf(wrote), b = floatBitsOf(read);
        return a && b && *a == *b;
    }
    case AXO::TagKind::String: {
        auto a = textOf(wrote), b = textOf(read);
        return a && b && *a == *b;
    }
    }
    return false;
}

Held heldValue(const VMsg& reply, uint8_t tagId) {
    Held held;
    for (const VTag* t : reply) {
        if (t->tagId != tagId) continue;
        if (held.value && !sameValue(*held.value, *t)) held.conflicting = true;
        held.value = t;
    }
    return held;
}

bool holdsValue(const VMsg& reply, const VTag& wanted) {
    Held held = heldValue(reply, wanted.tagId);
    return held.value && !held.conflicting && sameValue(wanted, *held.value);
}

std::string unwritableReason(const VMsg& set) {
    if (set.msgId != MSG_SET) return "only a SET can be written and verified";
    if (set.tagCount() == 0) return "the SET names no tag";
    for (const VTag* t : set) {
        const char* name = AXO::tagName(t->tagId);
        if (!name) return "tag id " + std::to_string(t->tagId) + " is not in the tag table";
        if (AXO::tagKind(t->tagId) == AXO::TagKind::None)
            return std::string(name) + " is a group tag: it can be read, not written";
    }
    return "";
}

}  // namespace tagengine
