// NAME=value lines, read into a store with the same vocabulary and the same
// conversions as the client's tag words.
#ifndef AGENT_DATA_FILE_H
#define AGENT_DATA_FILE_H

#include <string>
#include <string_view>
#include <vector>

#include "store.h"

struct LineProblem {
    unsigned line;  // from 1
    std::string reason;
};

// Loads every line of the text: each is trimmed of surrounding whitespace;
// empty lines and lines starting with # are skipped; the others must read
// NAME=value with a known name that takes a value. Good lines are stored
// (a later line for the same name wins); the bad ones are returned.
std::vector<LineProblem> loadTagText(std::string_view text, TagStore& store);

// Loads the file. Returns the complaints, each "PATH:LINE: reason", or a
// single "PATH: reason" when the file cannot be read; none means success.
std::vector<std::string> loadTagFile(const std::string& path, TagStore& store);

#endif
