// Checks on the raw bytes, made before the parser sees them.
#ifndef TAGYAML_TEXT_CHECK_H
#define TAGYAML_TEXT_CHECK_H

#include <string>
#include <string_view>

namespace tagyaml {

// Empty when every byte may stand in a YAML stream: UTF-8 with no byte
// below 0x20 but tab, line feed and carriage return. Otherwise the reason,
// with the 1-based line of the first fault in line. The parser beneath
// would end a scalar at a raw NUL and carry on, so this is not left to it.
std::string textFault(std::string_view text, int& line);

// The text with control bytes and bytes from 0x7F written as \xNN, so that
// a message quoting a file cannot drive the terminal it is shown on.
std::string printable(std::string_view text);

}  // namespace tagyaml

#endif
