// Printing a message as one line in the vocabulary users type.
#include <cstring>

#include "dictionary.h"
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

}  // namespace

void MsgRequest::printMsg(VMsg* m) {
    if (!m) return;
    if (m->msgId >= sizeof lines::HEADER_WORDS / sizeof lines::HEADER_WORDS[0]) {
        fprintf(out, lines::BAD_REPLY_MSGID, int(m->msgId));
        return;
    }
    fputs(lines::HEADER_WORDS[m->msgId], out);
    m->gotoFirst();
    while (VTag* t = m->getTag()) printTag(t);
    fputc('\n', out);
}

void MsgRequest::printTag(VTag* t) {
    const TagEntry* entry = tagById(t->tagId);
    if (!entry) {
        fprintf(out, lines::UNNAMED_TAG, int(t->tagId));
        return;
    }
    fputs(entry->name, out);
    printTagValue(t);
}

void MsgRequest::printTagValue(VTag* t) {
    // A tag whose class cannot hold what its type code names holds nothing
    // to read: printed like any other code without a value.
    if (!t->typeMatchesClass()) {
        fputs(lines::NO_VALUE, out);
        return;
    }
    switch (t->type) {
    case VTAG_STRING: {
        char text[STRING_VALUE_BUFFER];
        static_cast<VTagString*>(t)->getValue(text, sizeof text);
        cleanStringValue(text, outIsTerminal);
        fprintf(out, lines::VALUE_STRING, text);
        break;
    }
    case VTAG_UINT32: {
        auto* v = static_cast<VTagUInt32*>(t);
        if (lookupTagType(t->tagId) == VTAG_FLOAT)
            fprintf(out, lines::VALUE_FLOAT, double(v->getFloatValue()));
        else
            fprintf(out, lines::VALUE_HEX32, unsigned(v->getValue()));
        break;
    }
    case VTAG_UINT16:
        fprintf(out, lines::VALUE_HEX16, unsigned(static_cast<VTagUInt16*>(t)->getValue()));
        break;
    case VTAG_UINT8: fprintf(out, lines::VALUE_HEX8, unsigned(static_cast<VTagUInt8*>(t)->getValue())); break;
    case VTAG_FLOAT:
        fprintf(out, lines::VALUE_FLOAT, double(static_cast<VTagUInt32*>(t)->getFloatValue()));
        break;
    default: fputs(lines::NO_VALUE, out); break;
    }
}

uint32_t MsgRequest::lookupTagType(uint8_t tagId) { return dictionaryType(tagId); }
