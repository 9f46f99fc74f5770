// Text that came from a device or any sender, made safe to show on a
// terminal: what would move the cursor, retitle the window, set the
// clipboard, ring or erase (C0 controls, DEL, C1 controls in either of
// their forms) and bytes that are not UTF-8 are written as \xNN, two
// lowercase hexadecimal digits per byte. Printable ASCII, backslash
// included, and well-formed UTF-8 text pass as they are, so that a clean
// line reads the same as tagclient's.
//
// tagclient itself never calls this: its output is fixed.
#ifndef TERMINAL_TEXT_H
#define TERMINAL_TEXT_H

#include <string>
#include <string_view>

std::string terminalSafe(std::string_view text);
// Whether the text is printable ASCII alone, which terminalSafe leaves as
// it is: a line that is can go out without being copied.
bool isPrintableAscii(std::string_view text);

#endif
