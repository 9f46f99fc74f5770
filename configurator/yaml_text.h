// Texts as a state file writes them: YAML double-quoted scalars whose every
// character reads back as itself, and base64 for bytes that are no text.
// Written by hand, since a YAML emitter may replace what it deems
// unprintable (U+FFFE and U+FFFF come back as U+FFFD from yaml-cpp's).
#ifndef TAGCONF_YAML_TEXT_H
#define TAGCONF_YAML_TEXT_H

#include <optional>
#include <string>
#include <string_view>

namespace tagconf {

// The UTF-8 text as a YAML double-quoted scalar on one line: '"' and '\'
// escaped, and so every character a reader or a terminal may take for
// something else: controls (C0, DEL, C1 with U+0085), the line and
// paragraph separators, the byte order mark and the noncharacters. Other
// characters stay as they are. Bytes that are not UTF-8 are written as
// \xNN, which reads back as U+00NN: give such bytes to base64 instead.
std::string yamlQuoted(std::string_view utf8);

// Standard base64 (RFC 4648, with padding), as YAML's !!binary holds it.
std::string base64(std::string_view bytes);

// The bytes of base64 text, white space ignored (YAML may fold a long
// !!binary over lines); nullopt for any other character, a bad length or
// bad padding.
std::optional<std::string> fromBase64(std::string_view text);

}  // namespace tagconf

#endif
