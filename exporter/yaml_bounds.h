// Bounds on a parsed YAML document from outside: how deep it nests and how
// many nodes aliases make of it. The YAML library bounds only its own
// recursion while parsing (2000 levels); an alias may name a node many times
// over, so a small file can stand for a huge document.
#ifndef EXPORTER_YAML_BOUNDS_H
#define EXPORTER_YAML_BOUNDS_H

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <string>

namespace exporter {

constexpr size_t YAML_MAX_DEPTH = 32;
constexpr const char YAML_TOO_DEEP[] = "nested too deeply (more than 32 levels)";

// Walks the document once. False with the 1-based line and the reason when
// it nests deeper than YAML_MAX_DEPTH or has more nodes than a document
// without aliases of textBytes bytes could have.
bool withinYamlBounds(const YAML::Node& root, size_t textBytes, int& line, std::string& reason);

}  // namespace exporter

#endif
