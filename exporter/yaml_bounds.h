// Bounds on a parsed YAML document from outside: how deep it nests and how
// many nodes aliases make of it. The YAML library bounds only its own
// recursion while parsing (2000 levels); an alias may name a node many times
// over, so a small file can stand for a huge document.
#ifndef EXPORTER_YAML_BOUNDS_H
#define EXPORTER_YAML_BOUNDS_H

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace exporter {

constexpr size_t YAML_MAX_DEPTH = 32;
constexpr const char YAML_TOO_DEEP[] = "nested too deeply (more than 32 levels)";

// Walks the document once. False with the 1-based line and the reason when
// it nests deeper than YAML_MAX_DEPTH or has more nodes than a document
// without aliases of textBytes bytes could have.
bool withinYamlBounds(const YAML::Node& root, size_t textBytes, int& line, std::string& reason);

// A fault of a file's document, with the 1-based line it is on: thrown by
// the readers handed to readYamlDocument.
struct YamlFault {
    int line;
    std::string reason;
};
[[noreturn]] void failAt(const YAML::Node& node, std::string reason);
// The node's text; a fault when it is a list or a mapping.
std::string yamlScalar(const YAML::Node& node, const std::string& what);

// Parses text of at most 1 MiB, checks it within the bounds above and hands
// the document to read. False with "FILE:LINE: reason" in error for a fault
// of the text or one read threw.
bool readYamlDocument(std::string_view text, const std::string& fileName,
                      const std::function<void(const YAML::Node&)>& read, std::string& error);

}  // namespace exporter

#endif
