// Printing a message as one line in the vocabulary users type.
#include <algorithm>
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

// Keeps a value on its line and inside its quotes; on a terminal, also keeps
// every other control byte from reaching it.
void cleanStringValue(char* text, bool forTerminal) {
    for (char* p = text; *p; ++p) {
        if (*p == '\t' || *p == '\n' || *p == '\r')
            *p = ' ';
        else if (*p == '"')
            *p = '\'';
        else if (forTerminal && isControl(*p))
            *p = '?';
    }
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

void appendTag(std::string& text, VTag* t, bool forTerminal) {
    const TagEntry* entry = tagById(t->tagId);
    if (!entry) {
        appendFormatted(text, lines::UNNAMED_TAG, int(t->tagId));
        return;
    }
    text += entry->name;
    appendTagValueText(text, t, forTerminal);
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

void appendTagValueText(std::string& text, VTag* t, bool forTerminal) {
    // A tag whose class cannot hold what its type code names holds nothing
    // to read: printed like any other code without a value.
    if (!t->typeMatchesClass()) {
        text += lines::NO_VALUE;
        return;
    }
    switch (t->type) {
    case VTAG_STRING: {
        char value[STRING_VALUE_BUFFER];
        static_cast<VTagString*>(t)->getValue(value, sizeof value);
        cleanStringValue(value, forTerminal);
        text += "=\"";
        text += value;
        text += "\" ";
        break;
    }
    case VTAG_UINT32: {
        auto* v = static_cast<VTagUInt32*>(t);
        if (dictionaryType(t->tagId) == VTAG_FLOAT)
            appendFormatted(text, lines::VALUE_FLOAT, double(v->getFloatValue()));
        else
            appendHex(text, v->getValue(), 8);
        break;
    }
    case VTAG_UINT16: appendHex(text, static_cast<VTagUInt16*>(t)->getValue(), 4); break;
    case VTAG_UINT8: appendHex(text, static_cast<VTagUInt8*>(t)->getValue(), 2); break;
    case VTAG_FLOAT:
        appendFormatted(text, lines::VALUE_FLOAT, double(static_cast<VTagUInt32*>(t)->getFloatValue()));
        break;
    default: text += lines::NO_VALUE; break;
    }
}

uint32_t MsgRequest::lookupTagType(uint8_t tagId) { return dictionaryType(tagId); }
