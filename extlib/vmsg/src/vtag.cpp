// Tag value classes and the factory.
#include <cstring>

#include "vmsg.h"

VTag* VTag::clone() const { return new VTag(tagId, type); }

bool VTag::typeMatchesClass() const {
    switch (type) {
    case VTAG_NONE: return true;  // any tag may go out without its value
    case VTAG_STRING: return holds == Holds::Text;
    case VTAG_UINT8: return holds == Holds::UInt8;
    case VTAG_UINT16: return holds == Holds::UInt16;
    case VTAG_UINT32:
    case VTAG_FLOAT: return holds == Holds::UInt32;
    default: return false;
    }
}

namespace {

char* copyText(const char* bytes, size_t length) {
    char* copy = new char[length + 1];
    if (length) memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

VTagString::VTagString(uint8_t id, const char* text)
    : VTagString(id, text ? text : "", text ? strlen(text) : 0) {}

VTagString::VTagString(uint8_t id, const char* bytes, size_t size)
    : VTag(id, VTAG_STRING, Holds::Text), chars(copyText(bytes, size)), length(size), owned(true) {}

VTagString::~VTagString() {
    if (owned) delete[] chars;
}

VTag* VTagString::clone() const { return new VTagString(tagId, chars, length); }

void VTagString::getValue(char* buf, uint16_t capacity) const {
    if (capacity == 0) return;
    size_t n = length < capacity ? length : size_t(capacity) - 1;
    if (n) memcpy(buf, chars, n);
    buf[n] = '\0';
}

VTag* VTagUInt8::clone() const { return new VTagUInt8(tagId, value); }
VTag* VTagUInt16::clone() const { return new VTagUInt16(tagId, value); }
VTag* VTagUInt32::clone() const { return new VTagUInt32(tagId, value, type); }

float VTagUInt32::getFloatValue() const {
    float f;
    memcpy(&f, &value, sizeof f);
    return f;
}

VTag* VTagFactory::createVTag(uint8_t tagId) { return new VTag(tagId, VTAG_NONE); }
VTag* VTagFactory::createVTag(uint8_t tagId, uint8_t value) { return new VTagUInt8(tagId, value); }
VTag* VTagFactory::createVTag(uint8_t tagId, uint16_t value) { return new VTagUInt16(tagId, value); }
VTag* VTagFactory::createVTag(uint8_t tagId, uint32_t value) { return new VTagUInt32(tagId, value); }
VTag* VTagFactory::createVTag(uint8_t tagId, const char* text) { return new VTagString(tagId, text); }

VTag* VTagFactory::createVTag(uint8_t tagId, float value, bool dictTyped) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return new VTagUInt32(tagId, bits, dictTyped ? VTAG_UINT32 : VTAG_FLOAT);
}
