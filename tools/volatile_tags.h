// Text tags whose value changes on every read, or with every event: a device's
// date and time, values held as text, the last code scanned. The exporter
// writes a text tag as a label value, so each new value would be a new series
// per scrape; the default modules leave them out. Told from the tag table by
// kind and name, so that a tag added to the table follows the same rule.
#ifndef VOLATILE_TAGS_H
#define VOLATILE_TAGS_H

#include <algorithm>
#include <string_view>

#include "tag_vocabulary.h"

inline bool changesOnEveryRead(const TagEntry& entry) {
    if (entry.kind != TagKind::String) return false;  // numbers are gauges: a new value is a new sample
    std::string_view name(entry.name);
    constexpr std::string_view suffixes[] = {"_DATE", "_TIME", "_VALUE", "_SCAN_CODE"};
    return std::ranges::any_of(suffixes, [name](std::string_view suffix) {
        return name.size() > suffix.size() && name.ends_with(suffix);
    });
}

#endif
