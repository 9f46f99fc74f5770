// Tag values as text: read from a state file the way tagclient reads its
// words, but refused when they do not fit the tag; written back so that they
// read as the very same value; shown in diffs without letting a device's
// bytes reach the terminal.
#ifndef TAGCONF_TAG_TEXT_H
#define TAGCONF_TAG_TEXT_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tag_vocabulary.h"
#include "vmsg.h"

namespace tagconf {

// The YAML tags of the values that the client's words cannot spell: a
// float's 32 bits in hexadecimal (a NaN's sign and payload, a signalling
// NaN), and the bytes of a text that is not UTF-8 in base64.
constexpr std::string_view FLOAT_BITS_TAG = "!bits";
constexpr std::string_view BINARY_TAG = "tag:yaml.org,2002:binary";

// The tag for the entry with its value converted by the client's own
// makeTag, or null with the reason in why when the text does not fit the
// kind: integers are hexadecimal (an optional 0x, no sign) within the tag's
// width, floats decimal within single precision (or nan, inf, -inf), texts
// anything without a NUL byte. A tag without a value is refused: it is a
// group, which can be read but never written.
// yamlTag is the scalar's YAML tag: empty, "?", "!" (an untagged scalar,
// plain or quoted) or "tag:yaml.org,2002:str" read the text as above;
// FLOAT_BITS_TAG takes exactly 8 hexadecimal digits for a Float;
// BINARY_TAG takes base64 for a String; any other tag is refused.
std::unique_ptr<VTag> parseValue(const TagEntry& entry, const std::string& text, std::string& why,
                                 std::string_view yamlTag = {});

// The value as a state file's reader takes it back: integers as the client
// prints them (hexadecimal, padded to the tag's width), floats as the
// shortest decimal that the client reads back to the same 32 bits, or
// "!bits XXXXXXXX" when no decimal, nan, inf or -inf does (every NaN but
// 7FC00000), texts as they are. Interpreted by the tag table's kind for the
// id, whatever type code the device sent it with; "" for a tag that holds no
// value of its kind.
std::string valueWord(const VTag& tag);

// The value as YAML: valueWord, but texts double-quoted with every
// character escaped that a YAML reader might change (yamlQuoted), or as
// "!!binary" base64 when they are not UTF-8. parseValue, given the scalar
// and its tag, reads it back to the same bytes and bits.
std::string stateWord(const VTag& tag);

// The value for a diff or a report: texts in double quotes with '"', '\'
// and every byte outside printable ASCII escaped; other values as valueWord.
std::string shownValue(const VTag& tag);

// The value in JSON: numbers as numbers (floats that are not finite as
// "nan", "inf", "-inf"), texts as strings (bytes that are not UTF-8
// replaced).
nlohmann::ordered_json jsonValue(const VTag& tag);

// Text from a file as a message may show it: bytes outside printable ASCII
// as \xNN, and at most 64 characters of it, so that a fault's one line
// stays one short line and moves no terminal's cursor.
std::string printable(std::string_view text);

// Whether the bytes are well-formed UTF-8, as JSON and YAML texts must be.
bool isUtf8(std::string_view text);

// The kind the tag table gives the tag's id (None for ids it does not name).
TagKind kindOf(const VTag& tag);

}  // namespace tagconf

#endif
