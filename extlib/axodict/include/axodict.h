// libaxodict: the tag dictionary. For each tag id: its name, the kind of value
// it takes, and the type code an agent sends for it (the type codes of
// vmsg.h). The ids themselves are the constants of axodict_tags.h.
#ifndef AXODICT_H
#define AXODICT_H

#include <cstdint>

#include "axodict_tags.h"

#define AXODICT_API __attribute__((visibility("default")))

namespace AXO {

struct DictEntry {
    uint8_t tagId;
    uint32_t type;
};

struct Dict {
    uint8_t count;             // number of entries
    const DictEntry* entries;  // count entries, in tag id order
};

// The dictionary: one entry per tag id of the vocabulary. Constant data that
// lives as long as the library is loaded; never null.
AXODICT_API extern const Dict* const DictDef;

// The kind of value a tag takes: how its value is written and which type
// code carries it (None 0, String 1, UInt32 2, UInt16 3, UInt8 4, Float 6).
enum class TagKind : uint8_t { None, UInt8, UInt16, UInt32, String, Float };

// The tag's name as printed ("TAG_DEV_ID"), or null for an id without one.
AXODICT_API const char* tagName(uint8_t tagId);
// The tag's kind of value; None as well for an id without a name.
AXODICT_API TagKind tagKind(uint8_t tagId);
// The id of the tag with that name, ASCII case ignored; -1 for no such tag
// or a null name.
AXODICT_API int tagIdByName(const char* name);

}  // namespace AXO

#endif
