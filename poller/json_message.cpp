#include "json_message.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "client_line.h"
#include "dictionary.h"
#include "output_lines.h"
#include "tag_vocabulary.h"

namespace tagpoll {

using json = nlohmann::ordered_json;

namespace {

// A float as the shortest decimal that reads back to it, so 0.1f is 0.1,
// not the 0.100000001490116 its double would print as.
json floatValue(float f) {
    if (std::isnan(f)) return "nan";
    if (std::isinf(f)) return f > 0 ? "inf" : "-inf";
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, f).ptr;
    *end = '\0';
    return strtod(text, nullptr);
}

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool validUtf8(std::string_view s) {
    static constexpr uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t more = 0;
        uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0)
            more = 1, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0)
            more = 2, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0)
            more = 3, cp = c & 0x07;
        else
            return false;
        if (s.size() - i <= more) return false;
        for (size_t k = 1; k <= more; ++k) {
            auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

std::string hexBytes(std::string_view s) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : s) {
        hex += digits[c >> 4];
        hex += digits[c & 0xF];
    }
    return hex;
}

void addValue(json& tag, const VTag& t) {
    tag["value"] = nullptr;
    if (!t.typeMatchesClass()) return;
    switch (t.type) {
    case VTAG_STRING: {
        std::string_view text = static_cast<const VTagString&>(t).text();
        if (validUtf8(text)) {
            tag["value"] = std::string(text);
        } else {
            // JSON texts are Unicode: bytes that are not UTF-8 are shown
            // replaced, and given exactly in hex beside.
            std::string replaced =
                json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
            tag["value"] = json::parse(replaced);
            tag["value_hex"] = hexBytes(text);
        }
        break;
    }
    case VTAG_UINT32: {
        auto& v = static_cast<const VTagUInt32&>(t);
        if (dictionaryType(t.tagId) == VTAG_FLOAT)
            tag["value"] = floatValue(v.getFloatValue());
        else
            tag["value"] = v.getValue();
        break;
    }
    case VTAG_UINT16: tag["value"] = static_cast<const VTagUInt16&>(t).getValue(); break;
    case VTAG_UINT8: tag["value"] = static_cast<const VTagUInt8&>(t).getValue(); break;
    case VTAG_FLOAT: tag["value"] = floatValue(static_cast<const VTagUInt32&>(t).getFloatValue()); break;
    default: break;
    }
}

std::string typeWord(uint8_t msgId) {
    constexpr size_t words = sizeof ::lines::HEADER_WORDS / sizeof ::lines::HEADER_WORDS[0];
    if (msgId >= words) return std::to_string(msgId);
    std::string word = ::lines::HEADER_WORDS[msgId];
    return word.substr(0, word.find(':'));
}

}  // namespace

void addMessage(json& into, VMsg& message) {
    into["message_type"] = typeWord(message.msgId);
    json tags = json::array();
    message.gotoFirst();
    while (VTag* t = message.getTag()) {
        json tag;
        const TagEntry* entry = tagById(t->tagId);
        tag["name"] = entry ? json(entry->name) : json(nullptr);
        tag["id"] = t->tagId;
        tag["type"] = t->type;
        addValue(tag, *t);
        tags.push_back(std::move(tag));
    }
    into["tags"] = std::move(tags);
}

json resultJson(const tagengine::Result& result, const std::string& target, const std::string& line) {
    using tagengine::Status;
    json j;
    j["target"] = target;
    j["address"] =
        result.status == Status::Unresolvable ? json(nullptr) : json(tagengine::endpointText(result.address));
    j["status"] = tagengine::statusName(result.status);
    j["attempts"] = result.attempts;
    bool timed = tookReply(result.status);
    j["round_trip_seconds"] =
        timed ? json(std::chrono::duration<double>(result.roundTrip).count()) : json(nullptr);
    if (result.reply) {
        addMessage(j, *result.reply);
    } else {
        j["message_type"] = nullptr;
        j["tags"] = json::array();
    }
    if (result.status == Status::Mismatch) {
        json mismatches = json::array();
        for (const tagengine::Mismatch& m : result.mismatches) {
            const TagEntry* entry = tagById(m.wrote->tagId);
            json tag;
            tag["name"] = entry ? json(entry->name) : json(nullptr);
            tag["id"] = m.wrote->tagId;
            json wrote, read;
            addValue(wrote, *m.wrote);
            tag["wrote"] = wrote["value"];
            if (m.read) addValue(read, *m.read);
            tag["read"] = m.read ? read["value"] : json(nullptr);
            mismatches.push_back(std::move(tag));
        }
        j["mismatches"] = std::move(mismatches);
    }
    if (result.status == Status::TimedOut && result.segments > 0) {
        // Part of a reply came, never all of it: how much, for the curious.
        j["segments_received"] = result.segments;
        j["tags_received"] = result.tags;
    }
    bool good = result.status == Status::Answered || result.status == Status::Sent ||
                result.status == Status::Verified;
    if (!good) j["error"] = line;
    return j;
}

}  // namespace tagpoll
