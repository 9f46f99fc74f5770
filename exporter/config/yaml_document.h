// How the exporter reads its two YAML files (the modules file and the web
// configuration): through the tree's one loader (tagyaml.h), at most 1 MiB
// and nested at most 32 deep, with faults thrown by the readers and
// reported, like the loader's own, as "FILE:LINE: reason".
#ifndef EXPORTER_YAML_DOCUMENT_H
#define EXPORTER_YAML_DOCUMENT_H

#include <functional>
#include <string>
#include <string_view>

#include "tagyaml.h"

namespace exporter {

// A fault of a file's document, with the 1-based line it is on: thrown by
// the readers handed to readYamlDocument.
struct YamlFault {
    int line;
    std::string reason;
};
[[noreturn]] void failAt(const tagyaml::Node& node, std::string reason);
// The node's text; a fault when it is a list, a mapping or a null.
std::string yamlScalar(const tagyaml::Node& node, const std::string& what);

// Loads text of at most 1 MiB and hands the document to read. False with
// "FILE:LINE: reason" in error for a fault of the text or one read threw.
bool readYamlDocument(std::string_view text, const std::string& fileName,
                      const std::function<void(const tagyaml::Node&)>& read, std::string& error);

}  // namespace exporter

#endif
