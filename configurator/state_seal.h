// The seal of a saved state file: its first key "saved: N" and its last
// line "end: N", N its number of targets, so that a copy cut anywhere is
// refused instead of read as fewer targets. Files without "saved" are
// hand-written and need no seal.
#ifndef TAGCONF_STATE_SEAL_H
#define TAGCONF_STATE_SEAL_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tagconf {

// The opening and closing lines for a file of that many targets.
std::string sealOpening(size_t targets);
std::string sealClosing(size_t targets);

// Checked on the bytes before they are parsed, so that a cut is named as
// one whatever the parser would make of the rest: when the first line
// that is no comment is "saved: N", the text must end with the line
// "end: N" and its line break. Empty when it does (or when there is no
// seal); otherwise the reason, with line set to the file's last line.
std::string cutFault(std::string_view text, int& line);

// The seal's keys as the file gave them (nullopt when absent), checked
// against what the file held: both or neither, the same decimal N, N
// targets and an override for each. Empty when they agree; otherwise the
// reason, about the key on *line (savedLine or endLine).
struct SealKeys {
    std::optional<std::string> saved, end;
    int savedLine = 1, endLine = 1;
};
std::string sealFault(const SealKeys& keys, size_t targets, size_t overrides, int& line);

}  // namespace tagconf

#endif
