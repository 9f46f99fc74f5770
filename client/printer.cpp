// Printing a message as one line in the vocabulary users type.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "dictionary.h"
#include "message_text.h"
#include "msg_request.h"
#include "output_lines.h"
#include "tag_vocabulary.h"

namespace {

constexpr uint16_t STRING_VALUE_BUFFER = 128;

bool isControl(char c) { return (c > 0 && c < ' ') || c == '\x7F'; }

float floatOf(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

// Keeps a value on its line and inside its quotes; on a terminal, also keeps
// every other control byte from reaching it.
char cleanStringByte(char c, bool forTerminal) {
    if (c == '\t' || c == '\n' || c == '\r') return ' ';
    if (c == '"') return '\'';
    if (forTerminal && isControl(c)) return '?';
    return c;
}

// "=\"text\" " as the client's fixed buffer printed it: at most
// STRING_VALUE_BUFFER - 1 bytes, and nothing from a NUL byte on.
void appendStringValue(std::string& text, std::string_view value, bool forTerminal) {
    value = value.substr(0, std::min(value.size(), size_t(STRING_VALUE_BUFFER) - 1));
    value = value.substr(0, std::min(value.size(), value.find('\0')));
    size_t at = text.size();
    text.resize(at + value.size() + 4);
    char* out = text.data() + at;
    *out++ = '=';
    *out++ = '"';
    for (char c : value) *out++ = cleanStringByte(c, forTerminal);
    *out++ = '"';
    *out = ' ';
}

// What printf would make of the pattern, appended: for the rare lines whose
// numbers are not plain hex (a float, an unknown id).
template <typename... Args>
void appendFormatted(std::string& text, const char* pattern, Args... args) {
    char formatted[512];
    int length = snprintf(formatted, sizeof formatted, pattern, args...);
    if (length > 0) text.append(formatted, std::min(size_t(length), sizeof formatted - 1));
}

// "=%0*X " without printf: the value in upper-case hex, digits wide.
void appendHex(std::string& text, uint32_t value, int digits) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    char formatted[12];
    formatted[0] = '=';
    for (int i = digits; i > 0; --i, value >>= 4) formatted[i] = DIGITS[value & 0xF];
    formatted[digits + 1] = ' ';
    text.append(formatted, size_t(digits) + 2);
}

// The tag's type code as the dictionary gives it, by id: looked up once for
// every id, as a reply prints a handful of tags and the dictionary is
// constant data.
uint32_t dictionaryTypeOf(uint8_t id) {
    static const auto types = [] {
        std::array<uint32_t, 256> byId{};
        for (unsigned i = 0; i < byId.size(); ++i) byId[i] = dictionaryType(uint8_t(i));
        return byId;
    }();
    return types[id];
}

// The value part of a tag whose class holds what its type code names: the
// one printer of a decoded tag and of a tag read in place.
void appendValue(std::string& text, const VTagView& t, bool forTerminal) {
    switch (t.type) {
    case VTAG_STRING: appendStringValue(text, t.text, forTerminal); break;
    case VTAG_UINT32:
        if (dictionaryTypeOf(t.tagId) == VTAG_FLOAT)
            appendFormatted(text, lines::VALUE_FLOAT, double(floatOf(t.number)));
        else
            appendHex(text, t.number, 8);
        break;
    case VTAG_UINT16: appendHex(text, t.number, 4); break;
    case VTAG_UINT8: appendHex(text, t.number, 2); break;
    case VTAG_FLOAT: appendFormatted(text, lines::VALUE_FLOAT, double(floatOf(t.number))); break;
    default: text += lines::NO_VALUE; break;
    }
}

// The name, or the line of an id without one, and then the value.
void appendNamed(std::string& text, uint8_t tagId, bool& named) {
    const TagEntry* entry = tagById(tagId);
    named = entry != nullptr;
    if (named)
        text += entry->name;
    else
        appendFormatted(text, lines::UNNAMED_TAG, int(tagId));
}

void appendTag(std::string& text, VTag* t, bool forTerminal) {
    bool named;
    appendNamed(text, t->tagId, named);
    if (named) appendTagValueText(text, t, forTerminal);
}

void appendTag(std::string& text, const VTagView& t, bool forTerminal) {
    bool named;
    appendNamed(text, t.tagId, named);
    if (named) appendValue(text, t, forTerminal);
}

// A decoded tag as the view of its bytes would read it.
VTagView viewOf(VTag* t) {
    VTagView v;
    v.tagId = t->tagId;
    v.type = t->type;
    switch (t->type) {
    case VTAG_STRING: v.text = static_cast<VTagString*>(t)->text(); break;
    case VTAG_UINT32:
    case VTAG_FLOAT: v.number = static_cast<VTagUInt32*>(t)->getValue(); break;
    case VTAG_UINT16: v.number = static_cast<VTagUInt16*>(t)->getValue(); break;
    case VTAG_UINT8: v.number = static_cast<VTagUInt8*>(t)->getValue(); break;
    default: break;
    }
    return v;
}

}  // namespace

void MsgRequest::printMsg(VMsg* m) {
    if (!m) return;
    std::string text;
    appendMessageText(text, m, outIsTerminal);
    fwrite(text.data(), 1, text.size(), out);
}

void MsgRequest::printTag(VTag* t) {
    std::string text;
    appendTag(text, t, outIsTerminal);
    fwrite(text.data(), 1, text.size(), out);
}

void MsgRequest::printTagValue(VTag* t) {
    std::string text;
    appendTagValueText(text, t, outIsTerminal);
    fwrite(text.data(), 1, text.size(), out);
}

void appendMessageText(std::string& text, VMsg* m, bool forTerminal) {
    if (!m) return;
    if (m->msgId >= sizeof lines::HEADER_WORDS / sizeof lines::HEADER_WORDS[0]) {
        appendFormatted(text, lines::BAD_REPLY_MSGID, int(m->msgId));
        return;
    }
    text += lines::HEADER_WORDS[m->msgId];
    m->gotoFirst();
    while (VTag* t = m->getTag()) appendTag(text, t, forTerminal);
    text += '\n';
}

void appendMessageText(std::string& text, VMsgView& m, bool forTerminal) {
    if (m.msgId >= sizeof lines::HEADER_WORDS / sizeof lines::HEADER_WORDS[0]) {
        appendFormatted(text, lines::BAD_REPLY_MSGID, int(m.msgId));
        return;
    }
    text += lines::HEADER_WORDS[m.msgId];
    m.gotoFirst();
    VTagView t;
    while (m.getTag(t)) appendTag(text, t, forTerminal);
    text += '\n';
}

void appendTagValueText(std::string& text, VTag* t, bool forTerminal) {
    // A tag whose class cannot hold what its type code names holds nothing
    // to read: printed like any other code without a value.
    if (!t->typeMatchesClass()) {
        text += lines::NO_VALUE;
        return;
    }
    appendValue(text, viewOf(t), forTerminal);
}

uint32_t MsgRequest::lookupTagType(uint8_t tagId) { return dictionaryType(tagId); }
