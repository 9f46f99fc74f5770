// save: the tags devices hold now, as a state file that apply restores: the
// targets read, and one override per target with its values.
#ifndef TAGCONF_CONF_SAVE_H
#define TAGCONF_CONF_SAVE_H

#include <memory>
#include <string>
#include <vector>

#include "conf_options.h"
#include "state.h"

namespace tagconf {

// What one target held: the writable tags of its reply, one per id, in the
// reply's order; or why there is nothing.
struct SavedTarget {
    tagpoll::Target target;
    std::vector<std::unique_ptr<VTag>> tags;
    bool read = false;
    std::string reason;
    // Texts that are not UTF-8: YAML holds only Unicode text, and its
    // emitter would write them replaced, so they are left out, by name.
    std::vector<std::string> unsaved;
};

// Reads the request's tags from every target (a group stands for the
// members the device answers with).
std::vector<SavedTarget> readTargets(const std::vector<tagpoll::Target>& targets,
                                     const std::shared_ptr<const VMsg>& request, const ConfOptions& options);

// The state file of the targets that were read: YAML with texts quoted by
// the YAML emitter, integers in hexadecimal and floats as the client reads
// them back to the same 32 bits.
std::string stateText(const std::vector<SavedTarget>& saved);

}  // namespace tagconf

#endif
