// The tag dictionary's view of one tag id.
#ifndef DICTIONARY_H
#define DICTIONARY_H

#include <cstdint>

// The type code the dictionary gives the id, 0 when it has no entry for it.
uint32_t dictionaryType(uint8_t id);

#endif
