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
#include "terminal_text.h"

namespace {

constexpr uint16_t STRING_VALUE_BUFFER = 128;

constexpr bool isControl(char c) { return (c > 0 && c < ' ') || c == '\x7F'; }

float floatOf(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

// Keeps a value on its line and inside its quotes; on a terminal, also keeps
// every other control byte from reaching it.
constexpr char cleanStringByte(char c, bool forTerminal) {
    if (c == '\t' || c == '\n' || c == '\r') return ' ';
    if (c == '"') return '\'';
    if (forTerminal && isControl(c)) return '?';
    return c;
}

// The same as a table, each byte's replacement, for a pipe or a terminal:
// a text's bytes are each looked up, not tested.
struct CleanTable {
    std::array<char, 256> byte;
};
constexpr CleanTable cleanTable(bool forTerminal) {
    CleanTable t{};
    for (unsigned b = 0; b < 256; ++b) t.byte[b] = cleanStringByte(char(b), forTerminal);
    return t;
}
constexpr CleanTable CLEAN_FOR_PIPE = cleanTable(false), CLEAN_FOR_TERMINAL = cleanTable(true);

// "=\"text\" " as the client's fixed buffer printed it: at most
// STRING_VALUE_BUFFER - 1 bytes, and nothing from a NUL byte on.
void appendStringValue(std::string& text, std::string_view value, bool forTerminal) {
    value = value.substr(0, std::min(value.size(), size_t(STRING_VALUE_BUFFER) - 1));
    value = value.substr(0, std::min(value.size(), value.find('\0')));
    const CleanTable& clean = forTerminal ? CLEAN_FOR_TERMINAL : CLEAN_FOR_PIPE;
    size_t at = text.size();
    text.resize(at + value.size() + 4);
    char* out = text.data() + at;
    *out++ = '=';
    *out++ = '"';
    for (char c : value) *out++ = clean.byte[uint8_t(c)];
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

// Two upper-case hex digits for each byte value, so that a value is written
// a byte, not a digit, at a time.
struct HexPairs {
    std::array<char, 512> digits;
};
constexpr HexPairs hexPairs() {
    constexpr char DIGITS[] = "0123456789ABCDEF";
    HexPairs h{};
    for (size_t b = 0; b < 256; ++b) {
        h.digits[2 * b] = DIGITS[b >> 4];
        h.digits[2 * b + 1] = DIGITS[b & 0xF];
    }
    return h;
}
constexpr HexPairs HEX_PAIRS = hexPairs();

// "=%0*X " without printf: the value in upper-case hex, digits wide (2, 4
// or 8), written at out; the end of what was written.
char* writeHex(char* out, uint32_t value, int digits) {
    out[0] = '=';
    for (int i = digits - 1; i > 0; i -= 2, value >>= 8)
        memcpy(&out[i], &HEX_PAIRS.digits[size_t(value & 0xFF) * 2], 2);
    out[digits + 1] = ' ';
    return out + digits + 2;
}

void appendHex(std::string& text, uint32_t value, int digits) {
    char formatted[12];
    text.append(formatted, size_t(writeHex(formatted, value, digits) - formatted));
}

// What the printer needs of a tag id, looked up once for every id: the
// name's text with its length (no strlen per tag printed) and the type code
// the dictionary gives it (no walk of the dictionary per value). Both come
// from constant data.
struct IdFacts {
    std::string_view name;  // empty for an id without one
    uint32_t dictionaryType = 0;
};

using IdFactsTable = std::array<IdFacts, 256>;

// The table, made on first use; a message's walk asks for it once, not once
// per tag.
const IdFactsTable& idFacts() {
    static const auto facts = [] {
        IdFactsTable byId{};
        for (unsigned i = 0; i < byId.size(); ++i) {
            const TagEntry* entry = tagById(uint8_t(i));
            byId[i].name = entry ? std::string_view(entry->name) : std::string_view();
            byId[i].dictionaryType = dictionaryType(uint8_t(i));
        }
        return byId;
    }();
    return facts;
}

const IdFacts& factsOf(uint8_t id) { return idFacts()[id]; }

// The hex digits a value is printed in: 0 for a value that is not printed
// as plain hex (a text, a float, none).
int hexDigits(const VTagView& t, const IdFacts& facts) {
    switch (t.type) {
    case VTAG_UINT32: return facts.dictionaryType == VTAG_FLOAT ? 0 : 8;
    case VTAG_UINT16: return 4;
    case VTAG_UINT8: return 2;
    default: return 0;
    }
}

// The value part of a tag whose class holds what its type code names: the
// one printer of a decoded tag and of a tag read in place.
void appendValue(std::string& text, const VTagView& t, bool forTerminal, const IdFacts& facts) {
    if (int digits = hexDigits(t, facts)) {
        appendHex(text, t.number, digits);
        return;
    }
    switch (t.type) {
    case VTAG_STRING: appendStringValue(text, t.text, forTerminal); break;
    case VTAG_UINT32:
    case VTAG_FLOAT: appendFormatted(text, lines::VALUE_FLOAT, double(floatOf(t.number))); break;
    default: text += lines::NO_VALUE; break;
    }
}

// Names up to this long are written with their hex value in one piece.
constexpr size_t NAME_IN_PIECE = 64;

// A name and its hex value written side by side and appended once: most of
// a reply's tags are these, and a line costs one append per tag, not two.
// False, with nothing written, for any other tag.
bool appendHexTag(std::string& text, const VTagView& t, const IdFacts& facts) {
    int digits = hexDigits(t, facts);
    if (digits == 0 || facts.name.size() > NAME_IN_PIECE) return false;
    char piece[NAME_IN_PIECE + 12];
    memcpy(piece, facts.name.data(), facts.name.size());
    char* end = writeHex(piece + facts.name.size(), t.number, digits);
    text.append(piece, size_t(end - piece));
    return true;
}

// The name, or the line of an id without one (which then has no value);
// the id's facts, or null for an id without a name.
const IdFacts* appendNamed(std::string& text, uint8_t tagId) {
    const IdFacts& facts = factsOf(tagId);
    if (facts.name.empty()) {
        appendFormatted(text, lines::UNNAMED_TAG, int(tagId));
        return nullptr;
    }
    text += facts.name;
    return &facts;
}

void appendTag(std::string& text, VTag* t, bool forTerminal) {
    if (appendNamed(text, t->tagId)) appendTagValueText(text, t, forTerminal);
}

// printable is cleared when the value may hold a byte that is not printable
// ASCII: only a text's can, every other part of a line is ours.
void appendTag(std::string& text, const VTagView& t, bool forTerminal, const IdFactsTable& table,
               bool& printable) {
    const IdFacts& named = table[t.tagId];
    if (!named.name.empty() && appendHexTag(text, t, named)) return;
    const IdFacts* facts = appendNamed(text, t.tagId);
    if (!facts) return;
    appendValue(text, t, forTerminal, *facts);
    if (t.type == VTAG_STRING && printable) printable = isPrintableAscii(t.text);
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

bool appendMessageText(std::string& text, VMsgView& m, bool forTerminal) {
    if (m.msgId >= sizeof lines::HEADER_WORDS / sizeof lines::HEADER_WORDS[0]) {
        appendFormatted(text, lines::BAD_REPLY_MSGID, int(m.msgId));
        return true;
    }
    text += lines::HEADER_WORDS[m.msgId];
    m.gotoFirst();
    VTagView t;
    bool printable = true;
    const IdFactsTable& table = idFacts();
    while (m.getTag(t)) appendTag(text, t, forTerminal, table, printable);
    text += '\n';
    return printable;
}

void appendTagValueText(std::string& text, VTag* t, bool forTerminal) {
    // A tag whose class cannot hold what its type code names holds nothing
    // to read: printed like any other code without a value.
    if (!t->typeMatchesClass()) {
        text += lines::NO_VALUE;
        return;
    }
    appendValue(text, viewOf(t), forTerminal, factsOf(t->tagId));
}

uint32_t MsgRequest::lookupTagType(uint8_t tagId) { return dictionaryType(tagId); }
