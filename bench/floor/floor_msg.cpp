#include <cstring>

#include "floor_libs.h"

size_t floorEncode(uint8_t* buf, size_t capacity) {
    static const uint8_t request[] = {1, 1, 0x80, 0, 1, 8, 0};  // a GET of one value-less tag
    if (capacity < sizeof request) return 0;
    memcpy(buf, request, sizeof request);
    return sizeof request;
}
