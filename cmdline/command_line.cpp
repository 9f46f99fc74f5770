#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>

namespace cmdline {

namespace {

// Thrown by -h, --help and --version to end the parse where they stand.
struct Stop {
    Outcome outcome;
};

std::string joinedNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : ",") + n;
    return joined;
}

// An unknown option is an argument that starts with '-' and is more than
// "-" (standard input).
bool looksLikeOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

}  // namespace

struct CommandLine::State {
    CLI::App app;
    std::vector<std::string>* words = nullptr;
};

CommandLine::CommandLine(std::string program, Wording wording)
    : program_(std::move(program)), wording_(std::move(wording)), state_(std::make_unique<State>()) {
    state_->app.name(program_);
    state_->app.set_help_flag();  // ours, in the table, ends the parse where it stands
    state_->app.allow_extras();   // unknown options and stray words are told in our words
}

CommandLine::~CommandLine() = default;

void CommandLine::section(std::string heading) { nextSection_ = std::move(heading); }

void CommandLine::add(OptionRow row, Reader read) {
    row.section = std::move(nextSection_);
    nextSection_.clear();
    CLI::App& app = state_->app;
    const std::string longest = row.names.back();
    // An unknown option before this one is reported first, as getopt would.
    auto checked = [this, read = std::move(read)](const std::string& value) {
        const std::vector<std::string> extras = state_->app.remaining();
        for (const std::string& e : extras)
            if (looksLikeOption(e)) throw UsageError(wording_.unknownOption(e));
        read(value);
    };
    CLI::Option* option = nullptr;
    if (row.kind == Kind::Flag) {
        option = app.add_flag_callback(joinedNames(row.names), [checked] { checked(""); });
        option->disable_flag_override();
    } else {
        auto seen = std::make_shared<bool>(false);
        bool once = row.kind == Kind::Single;
        option = app.add_option_function<std::string>(
            joinedNames(row.names), [checked, seen, once, longest](const std::string& value) {
                if (once && *seen) throw UsageError(longest + " given more than once");
                *seen = true;
                checked(value);
            });
    }
    option->trigger_on_parse();  // read in order, each time it is given
    rows_.push_back(std::move(row));
}

void CommandLine::single(std::vector<std::string> names, std::string valueName, std::string description,
                         Reader read, std::vector<std::string> choices) {
    add({std::move(names),
         std::move(valueName),
         std::move(description),
         Kind::Single,
         std::move(choices),
         {}},
        std::move(read));
}

void CommandLine::repeatable(std::vector<std::string> names, std::string valueName, std::string description,
                             Reader read) {
    add({std::move(names), std::move(valueName), std::move(description), Kind::Repeatable, {}, {}},
        std::move(read));
}

void CommandLine::flag(std::vector<std::string> names, std::string description, std::function<void()> set) {
    add({std::move(names), "", std::move(description), Kind::Flag, {}, {}},
        [set = std::move(set)](const std::string&) { set(); });
}

void CommandLine::helpAndVersion(bool shortHelp, std::string helpText, std::string versionText) {
    std::vector<std::string> help{"--help"};
    if (shortHelp) help.insert(help.begin(), "-h");
    flag(help, std::move(helpText), [] { throw Stop{Outcome::Help}; });
    flag({"--version"}, std::move(versionText), [] { throw Stop{Outcome::Version}; });
}

void CommandLine::wordsAfterOptions(std::vector<std::string>& words) {
    state_->words = &words;
    state_->app.prefix_command();
}

bool CommandLine::parse(int argc, char** argv, bool& help, bool& version, std::string& error) {
    try {
        Outcome outcome = parse(argc, argv);
        help = outcome == Outcome::Help;
        version = outcome == Outcome::Version;
        return true;
    } catch (const UsageError& e) {
        error = e.what();
        return false;
    }
}

Outcome CommandLine::parse(int argc, char** argv) {
    // CLI11 reads the arguments from the back. "--name=" is an empty value,
    // as getopt reads it; CLI11 would take the next argument instead.
    std::vector<std::string> args;
    for (int i = argc - 1; i > 0; --i) {
        std::string arg = argv[i];
        bool emptyValue =
            arg.size() > 3 && arg.starts_with("--") && arg.back() == '=' && arg.find('=') == arg.size() - 1;
        if (emptyValue) {
            args.emplace_back();
            arg.pop_back();
        }
        args.push_back(std::move(arg));
    }
    const std::string last = argc > 1 ? argv[argc - 1] : "";
    CLI::App& app = state_->app;
    try {
        app.parse(args);
    } catch (const Stop& stop) {
        return stop.outcome;
    } catch (const CLI::ArgumentMismatch& e) {
        // A flag given a value, or the last option left without one.
        std::string what = e.what();
        if (what.ends_with("disallowed flag override")) {
            std::string name = what.substr(0, what.find(' '));
            throw UsageError((name.starts_with("-") ? "" : "--") + name + " takes no value");
        }
        throw UsageError(wording_.missingValue(last));
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    // Left over: unknown options, stray arguments, or the words.
    std::vector<std::string> extras = app.remaining();
    if (!state_->words) {
        // "--" ends the options: what follows is taken as it stands.
        auto mark = std::find(extras.begin(), extras.end(), "--");
        for (auto e = extras.begin(); e != mark; ++e)
            if (looksLikeOption(*e)) throw UsageError(wording_.unknownOption(*e));
        if (mark != extras.end()) extras.erase(mark);
        if (!extras.empty()) throw UsageError(wording_.strayArgument(extras.front()));
        return Outcome::Run;
    }
    // "--" ends the options, and is no word itself.
    if (!extras.empty() && extras.front() == "--")
        extras.erase(extras.begin());
    else if (!extras.empty() && looksLikeOption(extras.front()))
        throw UsageError(wording_.unknownOption(extras.front()));
    *state_->words = std::move(extras);
    return Outcome::Run;
}

std::string CommandLine::optionsHelp(size_t column, bool equalsSign) const {
    bool anyShort = false;
    for (const OptionRow& row : rows_) anyShort = anyShort || row.names.front().size() == 2;
    std::string text;
    for (const OptionRow& row : rows_) {
        if (!row.section.empty()) text += "\n" + row.section + "\n";
        std::string left = "  ";
        bool hasShort = row.names.front().size() == 2;
        if (anyShort && !hasShort) left += "    ";
        for (size_t n = 0; n < row.names.size(); ++n) left += (n ? ", " : "") + row.names[n];
        if (!row.valueName.empty()) left += (equalsSign ? "=" : " ") + row.valueName;
        left += left.size() + 2 > column ? std::string(2, ' ') : std::string(column - left.size(), ' ');
        text += left;
        for (char c : row.description) {
            text += c;
            if (c == '\n') text += std::string(column, ' ');
        }
        text += '\n';
    }
    return text;
}

}  // namespace cmdline
