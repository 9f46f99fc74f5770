// What a state file may make the YAML library build, checked on the parsed
// events before any document is built: the nesting (counted in the
// document, so brackets in comments and texts do not count), the number of
// nodes, one document only, and no anchors or aliases, whose expansion can
// make a few bytes stand for millions of nodes.
#ifndef TAGCONF_YAML_BOUNDS_H
#define TAGCONF_YAML_BOUNDS_H

#include <cstddef>
#include <string>

namespace tagconf {

// Deeper than any state file needs (a state file nests three levels).
constexpr size_t MAX_YAML_DEPTH = 16;
// A state file saved from 10,000 devices with a few tags each holds about
// 100,000 nodes.
constexpr size_t MAX_YAML_NODES = 250000;

// Empty when the text is within the bounds; otherwise "LINE: reason" is
// split into line (from 1) and the returned reason. Syntax errors are left
// to the loader, which names them the same way.
std::string yamlBoundsFault(const std::string& text, int& line);

}  // namespace tagconf

#endif
