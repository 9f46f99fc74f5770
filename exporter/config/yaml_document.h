// How the exporter reads its two YAML files (the modules file and the web
// configuration): through the tree's one loader (tagyaml.h), at most 1 MiB
// and nested at most 32 deep, with faults thrown by the readers and
// reported, like the loader's own, as "FILE:LINE: reason".
#ifndef EXPORTER_YAML_DOCUMENT_H
#define EXPORTER_YAML_DOCUMENT_H

#include <functional>
#include <set>
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

// Whether an entry left empty in the file (a null) reads as an empty mapping.
enum class EmptyEntry : bool { Refused, Allowed };

// Calls visit(key, keyNode, value) for each entry of the mapping, refusing
// repeated keys, which the loader keeps both of.
template <typename Visit>
void eachEntry(const tagyaml::Node& map, const std::string& what, Visit visit,
               EmptyEntry empty = EmptyEntry::Refused) {
    if (empty == EmptyEntry::Allowed && map.isNull()) return;
    if (!map.isMapping()) failAt(map, what + " must be a mapping");
    std::set<std::string> seen;
    for (const tagyaml::Pair& entry : map.pairs()) {
        std::string key = yamlScalar(entry.key, "a key");
        if (!seen.insert(key).second)
            failAt(entry.key, std::string("\"").append(key).append("\" appears twice in ").append(what));
        visit(key, entry.key, entry.value);
    }
}

// Loads text of at most 1 MiB and hands the document to read. False with
// "FILE:LINE: reason" in error for a fault of the text or one read threw.
bool readYamlDocument(std::string_view text, const std::string& fileName,
                      const std::function<void(const tagyaml::Node&)>& read, std::string& error);

}  // namespace exporter

#endif
