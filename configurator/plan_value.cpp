#include "plan_value.h"

#include <charconv>
#include <optional>

#include "tag_text.h"
#include "tagengine.h"

namespace tagconf {

using json = nlohmann::ordered_json;

namespace {

std::string hexOf(uint64_t value, int digits) {
    std::string text(size_t(digits), '0');
    for (int i = digits - 1; i >= 0 && value; --i, value >>= 4)
        text[size_t(i)] = "0123456789ABCDEF"[value & 0xF];
    return text;
}

std::string hexBytes(std::string_view bytes) {
    std::string text;
    for (unsigned char c : bytes) text += hexOf(c, 2);
    return text;
}

// The value's bytes as the wire carries them, by its class.
std::string wireBytes(const VTag& tag) {
    if (auto* t = dynamic_cast<const VTagString*>(&tag)) return hexBytes(t->text());
    if (auto* t = dynamic_cast<const VTagUInt8*>(&tag)) return hexOf(t->getValue(), 2);
    if (auto* t = dynamic_cast<const VTagUInt16*>(&tag)) return hexOf(t->getValue(), 4);
    if (auto* t = dynamic_cast<const VTagUInt32*>(&tag)) return hexOf(t->getValue(), 8);
    return "";
}

// A value of the tag's own kind, which the short notations hold.
bool ofItsKind(const VTag& tag) {
    switch (kindOf(tag)) {
    case TagKind::String: return dynamic_cast<const VTagString*>(&tag) != nullptr;
    case TagKind::None: return false;
    default: return !valueWord(tag).empty();
    }
}

// Exactly digits hexadecimal digits (any case), or nothing.
std::optional<uint64_t> hexNumber(const std::string& text, size_t digits) {
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.size() != digits || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::string> bytesOf(const std::string& hex) {
    if (hex.size() % 2) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto byte = hexNumber(hex.substr(i, 2), 2);
        if (!byte) return std::nullopt;
        bytes += char(*byte);
    }
    return bytes;
}

int widthOf(TagKind kind) { return kind == TagKind::UInt8 ? 2 : kind == TagKind::UInt16 ? 4 : 8; }

// A tag of the given type code from the bytes of its value.
VTag* typedTag(uint8_t id, uint32_t type, const std::string& bytes) {
    auto number = [&bytes](size_t width) -> std::optional<uint32_t> {
        if (bytes.size() != width) return std::nullopt;
        uint32_t value = 0;
        for (unsigned char c : bytes) value = value << 8 | c;
        return value;
    };
    switch (type) {
    case VTAG_NONE: return bytes.empty() ? new VTag(id, VTAG_NONE) : nullptr;
    case VTAG_STRING:
        return bytes.find('\0') == std::string::npos ? new VTagString(id, bytes.data(), bytes.size())
                                                     : nullptr;
    case VTAG_UINT8: return number(1) ? new VTagUInt8(id, uint8_t(*number(1))) : nullptr;
    case VTAG_UINT16: return number(2) ? new VTagUInt16(id, uint16_t(*number(2))) : nullptr;
    case VTAG_UINT32:
    case VTAG_FLOAT: return number(4) ? new VTagUInt32(id, *number(4), type) : nullptr;
    default: return nullptr;
    }
}

VTag* taggedWord(const TagEntry& entry, const std::string& word) {
    auto value = hexNumber(word, size_t(widthOf(entry.kind)));
    if (!value) return nullptr;
    switch (entry.kind) {
    case TagKind::UInt8: return new VTagUInt8(entry.id, uint8_t(*value));
    case TagKind::UInt16: return new VTagUInt16(entry.id, uint16_t(*value));
    case TagKind::UInt32: return new VTagUInt32(entry.id, uint32_t(*value));
    case TagKind::Float: return new VTagUInt32(entry.id, uint32_t(*value), VTAG_FLOAT);
    default: return nullptr;
    }
}

}  // namespace

json planValue(const VTag& tag) {
    if (!ofItsKind(tag) ||
        (kindOf(tag) == TagKind::String && !isUtf8(static_cast<const VTagString&>(tag).text())))
        return {{"type", tag.type}, {"bytes", wireBytes(tag)}};
    switch (kindOf(tag)) {
    case TagKind::String: return std::string(static_cast<const VTagString&>(tag).text());
    case TagKind::Float: return hexOf(static_cast<const VTagUInt32&>(tag).getValue(), 8);
    default: return valueWord(tag);
    }
}

std::unique_ptr<VTag> tagOfPlanValue(const TagEntry& entry, const json& value, std::string& why) {
    VTag* tag = nullptr;
    if (value.is_object() && value.size() == 2 && value.contains("type") && value.contains("bytes") &&
        value["type"].is_number_unsigned() && value["bytes"].is_string()) {
        auto bytes = bytesOf(value["bytes"].get<std::string>());
        if (bytes && value["type"].get<uint64_t>() <= VTAG_FLOAT)
            tag = typedTag(entry.id, value["type"].get<uint32_t>(), *bytes);
    } else if (value.is_string() && entry.kind == TagKind::String) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.find('\0') == std::string::npos) tag = new VTagString(entry.id, text.data(), text.size());
    } else if (value.is_string() && entry.kind != TagKind::None) {
        tag = taggedWord(entry, value.get<std::string>());
    }
    if (!tag) why = "bad value for " + std::string(entry.name);
    return std::unique_ptr<VTag>(tag);
}

bool heldAlike(const VTag* planned, const VTag* now) {
    if (!planned || !now) return !planned && !now;
    if (ofItsKind(*planned) && ofItsKind(*now)) return tagengine::sameValue(*planned, *now);
    return planned->type == now->type && wireBytes(*planned) == wireBytes(*now) &&
           ofItsKind(*planned) == ofItsKind(*now);
}

}  // namespace tagconf
