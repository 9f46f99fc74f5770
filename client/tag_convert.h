// Turning the value text of a tag word into a typed tag.
#ifndef TAG_CONVERT_H
#define TAG_CONVERT_H

#include "tag_vocabulary.h"
#include "vmsg.h"

// A new tag for the entry, its value converted from text by the entry's kind:
// integers as hexadecimal (read as 64 bits, then cut to the tag's width),
// floats as strtod reads them narrowed to single precision, text as it is,
// no value for None. A null text converts as the empty text.
VTag* makeTag(const TagEntry& entry, const char* value);

#endif
