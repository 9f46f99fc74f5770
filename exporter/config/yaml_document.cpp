#include "yaml_document.h"

namespace exporter {

namespace {

// Small files: a modules file of every tag group takes a few KiB. Deeper
// than either file nests, so that a mistake is named as such.
constexpr tagyaml::Bounds BOUNDS{size_t{1} << 20, 32};

}  // namespace

void failAt(const tagyaml::Node& node, std::string reason) {
    throw YamlFault{node.line(), std::move(reason)};
}

std::string yamlScalar(const tagyaml::Node& node, const std::string& what) {
    if (!node.isScalar() || node.isNull()) failAt(node, what + " must be a single value");
    return std::string(node.text());
}

bool readYamlDocument(std::string_view text, const std::string& fileName,
                      const std::function<void(const tagyaml::Node&)>& read, std::string& error) {
    tagyaml::Document doc;
    if (!tagyaml::load(text, fileName, BOUNDS, doc, error)) return false;
    try {
        read(doc.root());
    } catch (const YamlFault& fault) {
        error = fileName + ":" + std::to_string(fault.line) + ": " + fault.reason;
        return false;
    }
    return true;
}

}  // namespace exporter
