// Whether a value read back is the one written, and which SETs can be
// verified at all.
#include <optional>

#include "axodict.h"
#include "tagengine.h"

namespace tagengine {

namespace {

// The number an integer tag carries, whatever width the sender chose.
std::optional<uint64_t> integerOf(const VTag& t) {
    if (auto* v = dynamic_cast<const VTagUInt8*>(&t)) return v->getValue();
    if (auto* v = dynamic_cast<const VTagUInt16*>(&t)) return v->getValue();
    if (auto* v = dynamic_cast<const VTagUInt32*>(&t)) return v->getValue();
    return std::nullopt;
}

// A float travels as its 32 bits, typed 6 or (dictionary-typed) 2.
std::optional<uint32_t> floatBitsOf(const VTag& t) {
    if (auto* v = dynamic_cast<const VTagUInt32*>(&t)) return v->getValue();
    return std::nullopt;
}

std::optional<std::string_view> textOf(const VTag& t) {
    if (auto* v = dynamic_cast<const VTagString*>(&t)) return v->text();
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
