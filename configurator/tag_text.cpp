#include "tag_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "tag_convert.h"
#include "yaml_text.h"

namespace tagconf {

namespace {

uint64_t widthMax(TagKind kind) {
    switch (kind) {
    case TagKind::UInt8: return 0xFF;
    case TagKind::UInt16: return 0xFFFF;
    default: return 0xFFFFFFFF;
    }
}

int widthDigits(TagKind kind) { return kind == TagKind::UInt8 ? 2 : kind == TagKind::UInt16 ? 4 : 8; }

bool isInteger(TagKind kind) {
    return kind == TagKind::UInt8 || kind == TagKind::UInt16 || kind == TagKind::UInt32;
}

// What strtoull(text, 16) reads, but only when that is the whole text and
// within max: the client itself would quietly keep the low bits.
bool fitsHex(const std::string& text, uint64_t max) {
    std::string_view digits(text);
    if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
    uint64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return !digits.empty() && error == std::errc() && end == digits.data() + digits.size() && value <= max;
}

// What strtod reads, but only when that is the whole text and a float holds
// it (an overflow to infinity is refused; nan and inf written out are not).
bool fitsFloat(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    double value = strtod(text.c_str(), &end);
    if (*end != '\0') return false;
    return !std::isfinite(value) || std::isfinite(static_cast<float>(value));
}

std::string hexText(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

std::optional<uint64_t> integerOf(const VTag& tag) {
    if (!tag.typeMatchesClass()) return std::nullopt;
    switch (tag.type) {
    case VTAG_UINT8: return static_cast<const VTagUInt8&>(tag).getValue();
    case VTAG_UINT16: return static_cast<const VTagUInt16&>(tag).getValue();
    case VTAG_UINT32: return static_cast<const VTagUInt32&>(tag).getValue();
    default: return std::nullopt;
    }
}

// A float travels as type 6, or as type 2 with the same bits.
std::optional<float> floatOf(const VTag& tag) {
    if (!tag.typeMatchesClass() || (tag.type != VTAG_FLOAT && tag.type != VTAG_UINT32)) return std::nullopt;
    return static_cast<const VTagUInt32&>(tag).getFloatValue();
}

std::optional<std::string_view> textOf(const VTag& tag) {
    if (!tag.typeMatchesClass() || tag.type != VTAG_STRING) return std::nullopt;
    return static_cast<const VTagString&>(tag).text();
}

// Whether the client's conversion (strtod, then narrowed) gives these bits.
bool readsBackAs(const char* text, float f) {
    auto back = static_cast<float>(strtod(text, nullptr));
    return std::bit_cast<uint32_t>(back) == std::bit_cast<uint32_t>(f);
}

// The canonical quiet NaN, the one "nan" reads as.
constexpr uint32_t NAN_BITS = 0x7FC00000;

std::string floatWord(float f) {
    if (uint32_t bits = std::bit_cast<uint32_t>(f); std::isnan(f) && bits != NAN_BITS) {
        char text[24];
        snprintf(text, sizeof text, "!bits %08X", unsigned(bits));
        return text;
    }
    if (std::isnan(f)) return "nan";
    if (std::isinf(f)) return f > 0 ? "inf" : "-inf";
    char text[48];
    *std::to_chars(text, text + sizeof text - 1, f).ptr = '\0';
    // The shortest text is the float's, read as a float; read as a double
    // first, as the client does, it may in rare cases round the other way.
    if (!readsBackAs(text, f)) snprintf(text, sizeof text, "%.9g", double(f));
    return text;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
    return out + "\"";
}

}  // namespace

std::string printable(std::string_view text) {
    constexpr size_t SHOWN = 64;
    std::string shown = quoted(text.substr(0, SHOWN));
    shown = shown.substr(1, shown.size() - 2);  // the escapes, without the quotes
    return text.size() > SHOWN ? shown + "..." : shown;
}

bool isUtf8(std::string_view text) {
    // The JSON library's own check: its dump refuses what is not UTF-8.
    try {
        (void)nlohmann::json(std::string(text)).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

TagKind kindOf(const VTag& tag) {
    const TagEntry* entry = tagById(tag.tagId);
    return entry ? entry->kind : TagKind::None;
}

namespace {

// A value without a YAML tag of its own, as on the client's command line.
std::unique_ptr<VTag> plainValue(const TagEntry& entry, const std::string& text, std::string& why) {
    const std::string name = entry.name;
    bool fits = true;
    if (isInteger(entry.kind) && !fitsHex(text, widthMax(entry.kind))) {
        why = "bad value \"" + printable(text) + "\" for " + name + ": a " + kindName(entry.kind) +
              " is hexadecimal from 0 to " + hexText(widthMax(entry.kind));
        fits = false;
    } else if (entry.kind == TagKind::Float && !fitsFloat(text)) {
        why = "bad value \"" + printable(text) + "\" for " + name +
              ": a Float is a decimal number of at most 3.4e38 in size, nan or inf";
        fits = false;
    } else if (entry.kind == TagKind::String && text.find('\0') != std::string::npos) {
        why = "bad value for " + name + ": a text cannot hold a NUL byte";
        fits = false;
    }
    if (!fits) return nullptr;
    return std::unique_ptr<VTag>(makeTag(entry, text.c_str()));
}

// "!bits XXXXXXXX": exactly eight digits, so that it reads as what it shows.
std::unique_ptr<VTag> floatBits(const TagEntry& entry, const std::string& text, std::string& why) {
    uint32_t bits = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bits, 16);
    if (entry.kind != TagKind::Float || text.size() != 8 || error != std::errc() ||
        end != text.data() + text.size()) {
        why = "bad value \"!bits " + printable(text) + "\" for " + entry.name +
              ": !bits is a Float's 32 bits as 8 hexadecimal digits";
        return nullptr;
    }
    return std::make_unique<VTagUInt32>(entry.id, bits, VTAG_FLOAT);
}

std::unique_ptr<VTag> binaryText(const TagEntry& entry, const std::string& text, std::string& why) {
    std::optional<std::string> bytes = fromBase64(text);
    if (entry.kind != TagKind::String || !bytes) {
        why = "bad value \"!!binary " + printable(text) + "\" for " + entry.name +
              ": !!binary is a text's bytes in base64";
        return nullptr;
    }
    if (bytes->find('\0') != std::string::npos) {
        why = "bad value for " + std::string(entry.name) + ": a text cannot hold a NUL byte";
        return nullptr;
    }
    return std::make_unique<VTagString>(entry.id, bytes->data(), bytes->size());
}

}  // namespace

std::unique_ptr<VTag> parseValue(const TagEntry& entry, const std::string& text, std::string& why,
                                 std::string_view yamlTag) {
    if (entry.kind == TagKind::None) {
        why = std::string(entry.name) + " is a group tag: it can be read, not written";
        return nullptr;
    }
    if (yamlTag.empty() || yamlTag == "?" || yamlTag == "!" || yamlTag == "tag:yaml.org,2002:str")
        return plainValue(entry, text, why);
    if (yamlTag == FLOAT_BITS_TAG) return floatBits(entry, text, why);
    if (yamlTag == BINARY_TAG) return binaryText(entry, text, why);
    why = "unknown YAML tag " + printable(yamlTag) + " on " + entry.name + " (known: !bits, !!binary)";
    return nullptr;
}

std::string valueWord(const VTag& tag) {
    TagKind kind = kindOf(tag);
    if (isInteger(kind)) {
        auto value = integerOf(tag);
        if (!value) return {};
        std::string digits = hexText(*value);
        int pad = widthDigits(kind) - int(digits.size());
        return pad > 0 ? std::string(size_t(pad), '0') + digits : digits;
    }
    if (kind == TagKind::Float) {
        auto value = floatOf(tag);
        return value ? floatWord(*value) : std::string();
    }
    if (kind == TagKind::String) {
        auto value = textOf(tag);
        return value ? std::string(*value) : std::string();
    }
    return {};
}

std::string stateWord(const VTag& tag) {
    if (kindOf(tag) != TagKind::String) return valueWord(tag);
    auto value = textOf(tag);
    if (!value) return {};
    return isUtf8(*value) ? yamlQuoted(*value) : "!!binary \"" + base64(*value) + "\"";
}

std::string shownValue(const VTag& tag) {
    if (kindOf(tag) == TagKind::String) {
        auto value = textOf(tag);
        return value ? quoted(*value) : "(no text)";
    }
    std::string word = valueWord(tag);
    return word.empty() ? "(no value)" : word;
}

nlohmann::ordered_json jsonValue(const VTag& tag) {
    using json = nlohmann::ordered_json;
    TagKind kind = kindOf(tag);
    if (isInteger(kind)) {
        auto value = integerOf(tag);
        return value ? json(*value) : json(nullptr);
    }
    if (kind == TagKind::Float) {
        auto value = floatOf(tag);
        if (!value) return nullptr;
        // JSON readers know "nan", not the state file's !bits.
        if (std::isnan(*value)) return "nan";
        if (!std::isfinite(*value)) return floatWord(*value);
        return strtod(floatWord(*value).c_str(), nullptr);
    }
    if (auto text = textOf(tag)) {
        // Parsed back from a dump that replaced what is not UTF-8.
        return json::parse(json(std::string(*text)).dump(-1, ' ', false, json::error_handler_t::replace));
    }
    return nullptr;
}

}  // namespace tagconf
