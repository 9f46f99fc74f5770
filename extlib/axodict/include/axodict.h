// libaxodict: the tag dictionary, telling for each tag id the type code that
// an agent sends for it (the type codes of vmsg.h).
#ifndef AXODICT_H
#define AXODICT_H

#include <cstdint>

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

}  // namespace AXO

#endif
