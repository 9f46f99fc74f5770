// The state file, in YAML:
//
//   targets: [127.0.0.1:60000, 10.0.0.0/30]   # HOST[:PORT] or A.B.C.D/N[:PORT]
//   targets_file: fleet.txt                    # relative to the state file
//   tags: {TAG_DEV_LABEL: "Rack", TAG_DEV_STATE: 1A}
//   overrides:
//     "127.0.0.1:60000": {TAG_DEV_LABEL: "Rack 1"}
//
// Values are written as on tagclient's command line. The YAML is read by
// the tree's one loader (tagyaml.h: one document, no anchors or aliases,
// nested at most 16 deep). Every fault is "FILE:LINE: reason", and a file
// with any fault is refused whole, before anything is sent.
#ifndef TAGCONF_STATE_FILE_H
#define TAGCONF_STATE_FILE_H

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "state.h"

namespace tagconf {

// A state file larger than this is refused unparsed. What save writes must
// load: 100,000 devices with every tag of their configuration group take
// about 25 MiB, so the bound leaves room for ten times that. Nodes need no
// bound of their own: without aliases, which are refused, a document has
// at most about twice as many nodes as bytes.
constexpr size_t MAX_STATE_BYTES = size_t{256} << 20;

// Opens a targets file by the path the state file gives (already made
// relative to the state file's folder); null when it cannot, with the reason.
using OpenFile = std::function<std::unique_ptr<std::istream>(const std::string& path, std::string& why)>;

// Parses the text; fileName labels messages and, with its folder, anchors a
// relative targets_file. Targets that name no port get defaultPort. Returns
// false with "FILE:LINE: reason" in error.
bool parseState(const std::string& text, const std::string& fileName, uint16_t defaultPort,
                const OpenFile& open, State& state, std::string& error);

// Reads the file (refusing one larger than MAX_STATE_BYTES) and parses it,
// opening a targets file from disk.
bool loadState(const std::string& path, uint16_t defaultPort, State& state, std::string& error);

}  // namespace tagconf

#endif
