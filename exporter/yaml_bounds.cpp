#include "yaml_bounds.h"

namespace exporter {

namespace {

struct Overrun {
    YAML::Mark mark;
    const char* reason;
};

// A document without aliases has no more nodes than its text has bytes:
// more means aliases multiply it.
struct Walk {
    size_t budget;
    // level: the collections around the node, the root's own included.
    void visit(const YAML::Node& node, size_t level) {
        if (budget-- == 0) throw Overrun{node.Mark(), "aliases repeat too much of the file"};
        if (!node.IsSequence() && !node.IsMap()) return;
        if (++level > YAML_MAX_DEPTH) throw Overrun{node.Mark(), YAML_TOO_DEEP};
        for (const auto& item : node) {
            if (node.IsSequence()) {
                visit(item, level);
            } else {
                visit(item.first, level);
                visit(item.second, level);
            }
        }
    }
};

}  // namespace

bool withinYamlBounds(const YAML::Node& root, size_t textBytes, int& line, std::string& reason) {
    try {
        Walk{2 * textBytes + 16}.visit(root, 0);
    } catch (const Overrun& overrun) {
        line = overrun.mark.line + 1;
        reason = overrun.reason;
        return false;
    }
    return true;
}

}  // namespace exporter
