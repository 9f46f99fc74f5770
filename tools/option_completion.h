// The parts of a bash completion that name a program's options, written
// from the table the program parses with: a flag its --help shows cannot
// be missing from its completion.
#ifndef TOOLS_OPTION_COMPLETION_H
#define TOOLS_OPTION_COMPLETION_H

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"

namespace CLI {
class App;
}

// The lines of a completion function that take the words from the line up
// to the cursor: the word being completed in cur, the one before in prev.
// Bash itself would split GET:, HOST:PORT and --name=value at their colon
// and equals sign.
inline constexpr const char* kWordsFromLine =
    "    local -a words\n"
    "    read -ra words <<< \"$line\"\n"
    "    if [[ $line != *[[:space:]] && ${#words[@]} -gt 0 ]]; then\n"
    "        cur=${words[-1]}; unset 'words[-1]'\n"
    "    fi\n"
    "    [[ ${#words[@]} -gt 0 ]] && prev=${words[-1]}\n";

// Every name of the rows, space-separated, in the table's order.
std::string optionNames(const std::vector<cmdline::OptionRow>& rows);

// Arms of `case $prev in` for the options that take a value: file names
// for a FILE, the choices where there are some, host names for a HOST
// (until its port), nothing for the rest (a number, an address).
std::string valueArms(const std::vector<cmdline::OptionRow>& rows);

// The rows of a CLI11 command's own options: not its help or version, nor
// its positional arguments. Choices are read from a set check ({a,b}).
std::vector<cmdline::OptionRow> rowsOf(const CLI::App& app);

// A whole completion for a program that takes options alone (tagagent,
// tag_exporter); "--name=value" completes the value as "--name value" does.
void writeOptionsCompletion(FILE* f, const std::string& program, const std::vector<cmdline::OptionRow>& rows);

#endif
