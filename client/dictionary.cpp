#include "dictionary.h"

#include "axodict.h"

uint32_t dictionaryType(uint8_t id) {
    const AXO::Dict* dict = AXO::DictDef;
    if (!dict) return 0;
    for (unsigned i = 0; i < dict->count; ++i)
        if (dict->entries[i].tagId == id) return dict->entries[i].type;
    return 0;
}
