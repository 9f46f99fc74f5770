#include "target_limit.h"

#include <algorithm>
#include <unordered_set>

#include "tag_text.h"

namespace tagconf {

namespace {

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

}  // namespace

bool limitTargets(State& state, const std::vector<std::string>& limits, uint16_t defaultPort,
                  const std::string& fileName, std::string& error) {
    if (limits.empty()) return true;
    std::unordered_set<std::string> files;  // the file's targets, as the target list compares them
    for (const TargetState& t : state.targets) files.insert(lowered(t.target.label()));
    std::unordered_set<std::string> kept;
    for (size_t i = 0; i < limits.size(); ++i) {
        tagpoll::TargetList one(defaultPort);
        if (!one.addEntry(limits[i], "--limit", i + 1)) {
            error = one.error();
            return false;
        }
        size_t matched = 0;
        for (const tagpoll::Target& t : one.targets())
            if (std::string label = lowered(t.label()); files.contains(label)) {
                kept.insert(label);
                ++matched;
            }
        if (!matched) {
            error = "--limit " + printable(limits[i]) + ": not a target of " + printable(fileName);
            return false;
        }
    }
    std::erase_if(state.targets,
                  [&kept](const TargetState& t) { return !kept.contains(lowered(t.target.label())); });
    return true;
}

}  // namespace tagconf
