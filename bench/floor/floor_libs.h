// Three tiny shared libraries standing in for the client's three: each does
// the least its counterpart must (encode, look up, set up logging).
#ifndef FLOOR_LIBS_H
#define FLOOR_LIBS_H

#include <cstddef>
#include <cstdint>

#define FLOOR_API __attribute__((visibility("default")))

FLOOR_API size_t floorEncode(uint8_t* buf, size_t capacity);
FLOOR_API unsigned floorLookup(unsigned id);
FLOOR_API void floorLogInit();

#endif
