#include "option_completion.h"

#include <CLI/CLI.hpp>

namespace {

std::string joined(const std::vector<std::string>& words, const char* between) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : between) + w;
    return text;
}

// What follows the option: the shell code that offers it.
std::string valueAction(const cmdline::OptionRow& row) {
    if (!row.choices.empty())
        return "COMPREPLY=($(compgen -W '" + joined(row.choices, " ") + "' -- \"$cur\")); return 0 ;;\n";
    if (row.valueName.find("FILE") != std::string::npos || row.valueName == "PLAN")
        return "COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n";
    if (row.valueName.starts_with("HOST"))
        return "[[ $cur != *:* ]] && COMPREPLY=($(compgen -A hostname -- \"$cur\")); return 0 ;;\n";
    return "return 0 ;;\n";
}

}  // namespace

std::string optionNames(const std::vector<cmdline::OptionRow>& rows) {
    std::vector<std::string> names;
    for (const cmdline::OptionRow& row : rows) names.insert(names.end(), row.names.begin(), row.names.end());
    return joined(names, " ");
}

std::string valueArms(const std::vector<cmdline::OptionRow>& rows) {
    // Options offered alike share an arm, in the order they first come.
    std::vector<std::pair<std::string, std::vector<std::string>>> arms;
    for (const cmdline::OptionRow& row : rows) {
        if (row.kind == cmdline::Kind::Flag) continue;
        std::string action = valueAction(row);
        auto arm = arms.begin();
        while (arm != arms.end() && arm->first != action) ++arm;
        if (arm == arms.end()) arm = arms.insert(arms.end(), {action, {}});
        for (const std::string& name : row.names)
            if (std::find(arm->second.begin(), arm->second.end(), name) == arm->second.end())
                arm->second.push_back(name);
    }
    std::string text;
    for (const auto& [action, names] : arms) text += "        " + joined(names, "|") + ") " + action;
    return text;
}

std::vector<cmdline::OptionRow> rowsOf(const CLI::App& app) {
    std::vector<cmdline::OptionRow> rows;
    for (const CLI::Option* option : app.get_options()) {
        if (option == app.get_help_ptr() || option == app.get_version_ptr()) continue;
        cmdline::OptionRow row;
        for (const std::string& s : option->get_snames()) row.names.push_back("-" + s);
        for (const std::string& l : option->get_lnames()) row.names.push_back("--" + l);
        if (row.names.empty()) continue;  // a positional argument
        bool flag = option->get_items_expected_max() == 0;
        row.kind = flag ? cmdline::Kind::Flag : cmdline::Kind::Single;
        std::string type = flag ? "" : option->get_type_name();
        size_t open = type.find(":{");
        if (open != std::string::npos && type.back() == '}') {
            std::string set = type.substr(open + 2, type.size() - open - 3);
            for (size_t from = 0; from <= set.size();) {
                size_t comma = std::min(set.find(',', from), set.size());
                row.choices.push_back(set.substr(from, comma - from));
                from = comma + 1;
            }
        }
        row.valueName = type.substr(0, type.find(':'));
        rows.push_back(row);
    }
    return rows;
}

void writeOptionsCompletion(FILE* f, const std::string& program,
                            const std::vector<cmdline::OptionRow>& rows) {
    fprintf(f,
            "# bash completion for %s. Generated from its option table; do not edit.\n"
            "_%s() {\n"
            "    # Words are taken from the line itself: bash would split\n"
            "    # --name=value and HOST:PORT at their equals sign and colon.\n"
            "    local line=${COMP_LINE:0:COMP_POINT} cur='' prev=''\n"
            "%s"
            "    local value=''\n"
            "    if [[ $cur == --*=* ]]; then prev=${cur%%%%=*}; cur=${cur#*=}; value=1; fi\n"
            "    COMPREPLY=()\n"
            "    case $prev in\n"
            "%s"
            "    esac\n"
            "    [[ -n $value ]] && return 0\n"
            "    COMPREPLY=($(compgen -W '%s' -- \"$cur\"))\n"
            "    return 0\n"
            "}\n"
            "complete -F _%s %s\n",
            program.c_str(), program.c_str(), kWordsFromLine, valueArms(rows).c_str(),
            optionNames(rows).c_str(), program.c_str(), program.c_str());
}
