// Tag words from the command line: NAME=value becomes a typed tag, and a name
// outside the vocabulary joins the error line instead.
#include <cstdlib>
#include <cstring>

#include "msg_request.h"
#include "output_lines.h"
#include "tag_vocabulary.h"

namespace {

// Integers are always hexadecimal. They are read as 64 bits (all ones when
// the digits overflow) and the caller keeps the low bits: 1FF in an 8-bit
// tag is FF, not a clamp.
uint64_t readHex(const char* text) { return strtoull(text, nullptr, 16); }

VTag* makeTag(const TagEntry& entry, const char* value) {
    // A bare name of a value-taking kind converts as the empty text would.
    if (!value) value = "";
    switch (entry.kind) {
    case TagKind::None: return VTagFactory::createVTag(entry.id);
    case TagKind::UInt8: return VTagFactory::createVTag(entry.id, uint8_t(readHex(value)));
    case TagKind::UInt16: return VTagFactory::createVTag(entry.id, uint16_t(readHex(value)));
    case TagKind::UInt32: return VTagFactory::createVTag(entry.id, uint32_t(readHex(value)));
    case TagKind::String: return VTagFactory::createVTag(entry.id, value);
    case TagKind::Float:
        return VTagFactory::createVTag(entry.id, static_cast<float>(strtod(value, nullptr)), false);
    }
    return nullptr;
}

}  // namespace

bool MsgRequest::splitTagArg(char* word, char** name, char** value) {
    *name = word;
    char* eq = strchr(word, '=');
    if (eq) *eq = '\0';
    *value = eq ? eq + 1 : nullptr;
    return true;
}

// Appends one formatted entry to errorText. snprintf cuts an entry that does
// not fit, so the line ends at 1023 characters at most and stays one line.
void MsgRequest::appendError(const char* format, const char* name) {
    size_t used = strlen(errorText);
    if (used + 1 >= sizeof errorText) return;
    snprintf(errorText + used, sizeof errorText - used, format, name);
}

bool MsgRequest::addTagArg(char* word) {
    char* name;
    char* value;
    splitTagArg(word, &name, &value);
    if (const TagEntry* entry = tagByName(name)) {
        msg->addTag(makeTag(*entry, value));
    } else if (!errorFlag) {
        errorText[0] = '\0';
        appendError(lines::FIRST_BAD_TAG, name);
        errorFlag = true;
    } else {
        appendError(lines::NEXT_BAD_TAG, name);
    }
    return !errorFlag;
}
