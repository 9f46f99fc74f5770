// Tag values as callers hold them, typed by the tag table, and the wire tags
// that carry them.
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "axodict.h"
#include "tagengine.h"

namespace tagengine {

namespace {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF) and no NUL, which a wire text never holds.
bool isText(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 0;
        if (n == 0 || c > 0xF4 || i + n >= s.size()) return false;
        auto c1 = static_cast<unsigned char>(s[i + 1]);
        unsigned lo = 0x80, hi = 0xBF;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
        if (c1 < lo || c1 > hi) return false;
        for (size_t k = 2; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

double floatOfBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// By the type code alone, for a value not of its tag's kind.
Value valueByType(const VTag& tag) {
    if (auto* s = dynamic_cast<const VTagString*>(&tag)) return textValue(std::string(s->text()));
    if (auto* v = dynamic_cast<const VTagUInt8*>(&tag)) return integerValue(v->getValue());
    if (auto* v = dynamic_cast<const VTagUInt16*>(&tag)) return integerValue(v->getValue());
    if (auto* v = dynamic_cast<const VTagUInt32*>(&tag))
        return tag.type == VTAG_FLOAT ? floatValue(floatOfBits(v->getValue())) : integerValue(v->getValue());
    return {};
}

[[noreturn]] void refuse(const std::string& why) { throw std::invalid_argument(why); }

std::string tagLabel(uint8_t tagId) {
    const char* name = AXO::tagName(tagId);
    return name ? name : "tag id " + std::to_string(tagId);
}

uint64_t widthLimit(AXO::TagKind kind) {
    switch (kind) {
    case AXO::TagKind::UInt8: return std::numeric_limits<uint8_t>::max();
    case AXO::TagKind::UInt16: return std::numeric_limits<uint16_t>::max();
    default: return std::numeric_limits<uint32_t>::max();
    }
}

}  // namespace

Value integerValue(uint64_t number) {
    Value v;
    v.kind = ValueKind::Integer;
    v.integer = number;
    return v;
}

Value floatValue(double number) {
    Value v;
    v.kind = ValueKind::Float;
    v.real = number;
    return v;
}

Value textValue(std::string text) {
    Value v;
    v.kind = isText(text) ? ValueKind::Text : ValueKind::Bytes;
    v.text = std::move(text);
    return v;
}

const char* kindName(ValueKind kind) {
    switch (kind) {
    case ValueKind::None: return "none";
    case ValueKind::Integer: return "integer";
    case ValueKind::Float: return "float";
    case ValueKind::Text: return "text";
    case ValueKind::Bytes: return "bytes";
    }
    return "none";
}

std::string valueText(const Value& value) {
    switch (value.kind) {
    case ValueKind::None: return "";
    case ValueKind::Integer: return std::to_string(value.integer);
    case ValueKind::Float: {
        char buf[32];
        auto end = std::to_chars(buf, buf + sizeof buf, static_cast<float>(value.real)).ptr;
        return {buf, end};
    }
    case ValueKind::Text: return value.text;
    case ValueKind::Bytes: {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char c : value.text) {
            hex += digits[c >> 4];
            hex += digits[c & 0xF];
        }
        return hex;
    }
    }
    return "";
}

uint8_t tagIdOf(std::string_view nameOrId) {
    unsigned id = 0;
    auto [end, ec] = std::from_chars(nameOrId.data(), nameOrId.data() + nameOrId.size(), id);
    if (!nameOrId.empty() && ec == std::errc() && end == nameOrId.data() + nameOrId.size()) {
        if (id <= std::numeric_limits<uint8_t>::max() && AXO::tagName(static_cast<uint8_t>(id)))
            return static_cast<uint8_t>(id);
    } else if (int byName = AXO::tagIdByName(std::string(nameOrId).c_str()); byName >= 0) {
        return static_cast<uint8_t>(byName);
    }
    refuse("no tag " + std::string(nameOrId) + " in the tag table");
}

Value valueOf(const VTag& tag) {
    if (!AXO::tagName(tag.tagId)) return valueByType(tag);
    switch (AXO::tagKind(tag.tagId)) {
    case AXO::TagKind::None: return tag.type == VTAG_NONE ? Value{} : valueByType(tag);
    case AXO::TagKind::UInt8:
    case AXO::TagKind::UInt16:
    case AXO::TagKind::UInt32: return valueByType(tag);
    case AXO::TagKind::Float:
        // A float tag's bits typed 2 are still a float (the dictionary says so).
        if (auto* v = dynamic_cast<const VTagUInt32*>(&tag); v && tag.type == VTAG_UINT32)
            return floatValue(floatOfBits(v->getValue()));
        return valueByType(tag);
    case AXO::TagKind::String: return valueByType(tag);
    }
    return valueByType(tag);
}

std::vector<TagValue> valuesOf(const VMsg& message) {
    std::vector<TagValue> values;
    values.reserve(message.tagCount());
    for (const VTag* t : message) values.push_back({t->tagId, valueOf(*t)});
    return values;
}

std::unique_ptr<VTag> makeTag(uint8_t tagId, const Value& value) {
    if (!AXO::tagName(tagId)) refuse("no tag id " + std::to_string(tagId) + " in the tag table");
    const AXO::TagKind kind = AXO::tagKind(tagId);
    const std::string wanted = tagLabel(tagId) + " takes ";
    switch (kind) {
    case AXO::TagKind::None: refuse(tagLabel(tagId) + " is a group tag: it can be read, not written");
    case AXO::TagKind::UInt8:
    case AXO::TagKind::UInt16:
    case AXO::TagKind::UInt32: {
        if (value.kind != ValueKind::Integer) refuse(wanted + "an integer, not " + kindName(value.kind));
        if (value.integer > widthLimit(kind))
            refuse(wanted + "at most " + std::to_string(widthLimit(kind)) + ", not " +
                   std::to_string(value.integer));
        if (kind == AXO::TagKind::UInt8)
            return std::unique_ptr<VTag>(VTagFactory::createVTag(tagId, static_cast<uint8_t>(value.integer)));
        if (kind == AXO::TagKind::UInt16)
            return std::unique_ptr<VTag>(
                VTagFactory::createVTag(tagId, static_cast<uint16_t>(value.integer)));
        return std::unique_ptr<VTag>(VTagFactory::createVTag(tagId, static_cast<uint32_t>(value.integer)));
    }
    case AXO::TagKind::Float: {
        double number = value.real;
        if (value.kind == ValueKind::Integer)
            number = static_cast<double>(value.integer);
        else if (value.kind != ValueKind::Float)
            refuse(wanted + "a float, not " + kindName(value.kind));
        return std::unique_ptr<VTag>(VTagFactory::createVTag(tagId, static_cast<float>(number), false));
    }
    case AXO::TagKind::String:
        if (value.kind != ValueKind::Text && value.kind != ValueKind::Bytes)
            refuse(wanted + "a text, not " + kindName(value.kind));
        if (value.text.find('\0') != std::string::npos) refuse(wanted + "a text without NUL bytes");
        return std::make_unique<VTagString>(tagId, value.text.data(), value.text.size());
    }
    refuse(wanted + "no value this library knows");
}

}  // namespace tagengine
