// save: the tags devices hold now, as a state file that apply restores: the
// targets read, and one override per target with its values.
#ifndef TAGCONF_CONF_SAVE_H
#define TAGCONF_CONF_SAVE_H

#include <memory>
#include <ostream>
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
};

// Reads the request's tags from every target (a group stands for the
// members the device answers with).
std::vector<SavedTarget> readTargets(const std::vector<tagpoll::Target>& targets,
                                     const std::shared_ptr<const VMsg>& request, const ConfOptions& options);

// Writes the state file of the targets that were read, a line at a time:
// sealed (state_seal.h) with their number, every target double-quoted, and
// each value as stateWord spells it, so that apply restores every value to
// the bit. Returns the number of targets written.
size_t writeState(std::ostream& out, const std::vector<SavedTarget>& saved);

// The whole save command: reads the targets of -f and --target, names on
// errors every target it could not read, and writes the state file to -o's
// file (replaced whole, or left as it was) or to out. A save is whole when
// every target answered; one that is not writes nothing, unless
// options.partial asks for the targets that did. Returns the exit status:
// 0 for a whole save written, 1 otherwise.
int runSave(const ConfOptions& options, std::ostream& out, FILE* errors);

}  // namespace tagconf

#endif
