// The desired state of a fleet: every target with the tags it should hold.
#ifndef TAGCONF_STATE_H
#define TAGCONF_STATE_H

#include <memory>
#include <string>
#include <vector>

#include "tag_vocabulary.h"
#include "targets.h"
#include "vmsg.h"

namespace tagconf {

struct DesiredTag {
    const TagEntry* entry;
    std::shared_ptr<const VTag> value;
};
// In the order the file gives them, one per tag id.
using TagList = std::vector<DesiredTag>;

// What a plan read from a target, tag by tag: value null when the reply
// lacked the tag.
using HeldList = std::vector<DesiredTag>;

struct TargetState {
    tagpoll::Target target;
    // Shared by every target without an override, so that a fleet of any
    // size holds the common tags once.
    std::shared_ptr<const TagList> tags;
    std::string where = {};  // "FILE:LINE" of the entry that names it
    // From a plan file: what the target held when planned, every tag of it
    // read again and compared before anything is written; null for a state
    // file. tags are then only the planned writes.
    std::shared_ptr<const HeldList> held = nullptr;
};

struct State {
    std::vector<TargetState> targets;  // in the order the file names them
};

}  // namespace tagconf

#endif
