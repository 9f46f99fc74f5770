// The tag vocabulary: names users type and read, the ids messages carry, and
// the kind of value each name takes on the command line.
#ifndef TAG_VOCABULARY_H
#define TAG_VOCABULARY_H

#include <cstddef>
#include <cstdint>
#include <span>

enum class TagKind : uint8_t { None, UInt8, UInt16, UInt32, String, Float };

struct TagEntry {
    const char* name;  // upper case, printed exactly as written
    uint8_t id;
    TagKind kind;
};

// The kind as the tag table writes it: "None", "UInt8", ... "Float".
const char* kindName(TagKind kind);

// The entry whose name equals the text without regard to ASCII case, or null.
const TagEntry* tagByName(const char* name);

// The entry with that id, or null for ids that have no name.
const TagEntry* tagById(uint8_t id);

// Every entry, in id order.
std::span<const TagEntry> allTags();

#endif
