// Tag values in a plan file, exact to the bit: what a device held is
// written down so that the same bits can be compared again at apply.
#ifndef TAGCONF_PLAN_VALUE_H
#define TAGCONF_PLAN_VALUE_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tag_vocabulary.h"
#include "vmsg.h"

namespace tagconf {

// The value in the plan's notation. A value of the kind the tag table gives
// its tag: integers as hexadecimal at the tag's width ("1A"), floats as
// their 32 bits in hexadecimal ("7FC00001", so that every NaN keeps its
// payload), texts as a JSON string. Anything else (a text that is not UTF-8,
// a value of another kind, a tag without a value) as
// {"type": CODE, "bytes": "HEX"}, the type code and the value's bytes as
// the wire carries them.
nlohmann::ordered_json planValue(const VTag& tag);

// The tag for the entry back from the notation, or null with the reason.
std::unique_ptr<VTag> tagOfPlanValue(const TagEntry& entry, const nlohmann::ordered_json& value,
                                     std::string& why);

// Whether the device still holds what was planned from: both absent, or
// both of the tag's kind and the same value (as a write is verified), or
// else the same type code and bytes.
bool heldAlike(const VTag* planned, const VTag* now);

}  // namespace tagconf

#endif
