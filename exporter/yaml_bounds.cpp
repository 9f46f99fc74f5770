#include "yaml_bounds.h"

#include <yaml-cpp/depthguard.h>

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

void failAt(const YAML::Node& node, std::string reason) {
    throw YamlFault{node.Mark().line + 1, std::move(reason)};
}

std::string yamlScalar(const YAML::Node& node, const std::string& what) {
    if (!node.IsScalar()) failAt(node, what + " must be a single value");
    return node.Scalar();
}

bool readYamlDocument(std::string_view text, const std::string& fileName,
                      const std::function<void(const YAML::Node&)>& read, std::string& error) {
    constexpr size_t MAX_FILE_BYTES = size_t{1} << 20;
    try {
        if (text.size() > MAX_FILE_BYTES) throw YamlFault{1, "larger than 1 MiB"};
        YAML::Node root = YAML::Load(std::string(text));
        int line = 0;
        std::string reason;
        if (!withinYamlBounds(root, text.size(), line, reason)) throw YamlFault{line, reason};
        read(root);
    } catch (const YamlFault& fault) {
        error = fileName + ":" + std::to_string(fault.line) + ": " + fault.reason;
        return false;
    } catch (const YAML::DeepRecursion& e) {
        error = fileName + ":" + std::to_string(e.mark.line + 1) + ": " + YAML_TOO_DEEP;
        return false;
    } catch (const YAML::Exception& e) {
        error = fileName + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
        return false;
    }
    return true;
}

}  // namespace exporter
