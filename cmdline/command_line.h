// One table of a program's options, from which CLI11 parses, --help is
// written and the bash completion lists the options: a flag cannot be in
// one and missing from another.
#ifndef CMDLINE_COMMAND_LINE_H
#define CMDLINE_COMMAND_LINE_H

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace cmdline {

// A usage error; what() is the one-line reason the program prints.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How a parse ended: run the program, or print the help or the version.
enum class Outcome { Run, Help, Version };

// How many times an option may be given.
enum class Kind { Flag, Single, Repeatable };

// One row of the table.
struct OptionRow {
    std::vector<std::string> names;  // "-f", "--file": short first
    std::string valueName;           // FILE; empty for a flag
    std::string description;         // lines after the first start with '\n'
    Kind kind = Kind::Single;
    std::vector<std::string> choices;  // the only values, for the completion; empty: any
    std::string section;               // a heading printed before this row in the help
};

// How a program words the complaints CLI11 would word its own way; each
// gets the argument as given.
struct Wording {
    std::function<std::string(const std::string&)> unknownOption;
    std::function<std::string(const std::string&)> missingValue;
    std::function<std::string(const std::string&)> strayArgument;
};

// A program's command line. Options are read left to right and each one's
// reader runs as it is read, as getopt would: the first bad value is the one
// reported, and -h, --help and --version win over anything after them.
class CommandLine {
public:
    using Reader = std::function<void(const std::string&)>;  // throws UsageError for a bad value

    CommandLine(std::string program, Wording wording);
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // An option with one value; a second one is a usage error naming it.
    void single(std::vector<std::string> names, std::string valueName, std::string description, Reader read,
                std::vector<std::string> choices = {});
    // An option that may be given again, each value read in turn.
    void repeatable(std::vector<std::string> names, std::string valueName, std::string description,
                    Reader read);
    // An option without a value; given again, set runs again (-vv).
    void flag(std::vector<std::string> names, std::string description, std::function<void()> set);
    // -h/--help (--help alone without shortHelp) and --version; the last rows.
    void helpAndVersion(bool shortHelp, std::string helpText, std::string versionText);
    // The next row's help starts with this heading.
    void section(std::string heading);
    // Words after the options: the first argument that is not an option
    // ends the options, so that words are never taken for them. Without
    // this, any such argument is a usage error.
    void wordsAfterOptions(std::vector<std::string>& words);

    // Parses argv; throws UsageError with the reason.
    Outcome parse(int argc, char** argv);
    // The same for a program's parseOptions: false with the reason in error
    // on a usage error, else help and version say whether they were asked.
    bool parse(int argc, char** argv, bool& help, bool& version, std::string& error);

    // The table, in the order the options were added.
    const std::vector<OptionRow>& rows() const { return rows_; }

    // The options part of --help: one row each, names from the margin and
    // the description from column on ('=' between name and value with
    // equalsSign, as Prometheus exporters write them).
    std::string optionsHelp(size_t column, bool equalsSign = false) const;

private:
    struct State;
    void add(OptionRow row, Reader read);
    std::string program_;
    Wording wording_;
    std::vector<OptionRow> rows_;
    std::string nextSection_;
    std::unique_ptr<State> state_;
};

}  // namespace cmdline

#endif
