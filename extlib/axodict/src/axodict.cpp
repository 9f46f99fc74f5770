// The dictionary, derived at compile time from the one tag table: each kind
// maps to the type code its value is sent with.
#include "axodict.h"

#include <strings.h>

#include <cstddef>

namespace {

using AXO::TagKind;

constexpr uint32_t typeOf(TagKind k) {
    switch (k) {
    case TagKind::None: return 0;
    case TagKind::String: return 1;
    case TagKind::UInt32: return 2;
    case TagKind::UInt16: return 3;
    case TagKind::UInt8: return 4;
    case TagKind::Float: return 6;
    }
    return 0;
}

constexpr AXO::DictEntry entries[] = {
#define TAG_ENTRY(id, name, kind) {id, typeOf(TagKind::kind)},
#include "tag_table.def"
#undef TAG_ENTRY
};

constexpr std::size_t entryCount = sizeof entries / sizeof entries[0];
static_assert(entryCount <= 255, "the dictionary's count is 8-bit");
static_assert(entryCount == AXO::TAG_COUNT, "axodict_tags.h is out of date with the table");

constexpr AXO::Dict dict{uint8_t(entryCount), entries};

// Names held in place rather than as pointers, so that loading the library
// costs no relocation per tag.
struct Named {
    char name[32];
    TagKind kind;
};

constexpr Named named[] = {
#define TAG_ENTRY(id, name, kind) {#name, TagKind::kind},
#include "tag_table.def"
#undef TAG_ENTRY
};
static_assert(sizeof named / sizeof named[0] == entryCount);

}  // namespace

const AXO::Dict* const AXO::DictDef = &dict;

// The table is dense from id 0, so an id is its row.
const char* AXO::tagName(uint8_t tagId) { return tagId < entryCount ? named[tagId].name : nullptr; }

TagKind AXO::tagKind(uint8_t tagId) { return tagId < entryCount ? named[tagId].kind : TagKind::None; }

int AXO::tagIdByName(const char* name) {
    if (!name) return -1;
    for (std::size_t i = 0; i < entryCount; ++i)
        if (strcasecmp(named[i].name, name) == 0) return int(i);
    return -1;
}
