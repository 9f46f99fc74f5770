#include "tag_convert.h"

#include <cstdlib>

namespace {

// Integers are always hexadecimal. They are read as 64 bits (all ones when
// the digits overflow) and the caller keeps the low bits: 1FF in an 8-bit
// tag is FF, not a clamp.
uint64_t readHex(const char* text) { return strtoull(text, nullptr, 16); }

}  // namespace

VTag* makeTag(const TagEntry& entry, const char* value) {
    if (!value) value = "";
    switch (entry.kind) {
    case TagKind::None: return VTagFactory::createVTag(entry.id);
    case TagKind::UInt8: return VTagFactory::createVTag(entry.id, uint8_t(readHex(value)));
    case TagKind::UInt16: return VTagFactory::createVTag(entry.id, uint16_t(readHex(value)));
    case TagKind::UInt32: return VTagFactory::createVTag(entry.id, uint32_t(readHex(value)));
    case TagKind::String: return VTagFactory::createVTag(entry.id, value);
    case TagKind::Float:
        return VTagFactory::createVTag(entry.id, static_cast<float>(strtod(value, nullptr)), false);
    }
    return nullptr;
}
