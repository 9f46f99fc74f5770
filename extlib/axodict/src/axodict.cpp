// The dictionary, derived at compile time from the one tag table: each kind
// maps to the type code its value is sent with.
#include "axodict.h"

#include <cstddef>

namespace {

enum class Kind { None, UInt8, UInt16, UInt32, String, Float };

constexpr uint32_t typeOf(Kind k) {
    switch (k) {
    case Kind::None: return 0;
    case Kind::String: return 1;
    case Kind::UInt32: return 2;
    case Kind::UInt16: return 3;
    case Kind::UInt8: return 4;
    case Kind::Float: return 6;
    }
    return 0;
}

constexpr AXO::DictEntry entries[] = {
#define TAG_ENTRY(id, name, kind) {id, typeOf(Kind::kind)},
#include "tag_table.def"
#undef TAG_ENTRY
};

constexpr std::size_t entryCount = sizeof entries / sizeof entries[0];
static_assert(entryCount <= 255, "the dictionary's count is 8-bit");

constexpr AXO::Dict dict{uint8_t(entryCount), entries};

}  // namespace

const AXO::Dict* const AXO::DictDef = &dict;
