#include "completion_scripts.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "../agent/options.h"
#include "../exporter/options.h"
#include "command_line.h"
#include "conf_options.h"
#include "option_completion.h"
#include "poll_options.h"
#include "tag_vocabulary.h"

namespace {

// What the two programs' completions do differently; the rest is one script.
struct CompletionScript {
    const char* program;
    const char* optionArguments;  // arms of `case $prev in`: what follows an option
    const char* candidates;       // sets $candidates, or answers and returns
};

void writeCompletionScript(FILE* f, const CompletionScript& script) {
    fprintf(f,
            "# bash completion for %s. Generated from the tag table; do not edit.\n"
            "_%s_tags='",
            script.program, script.program);
    for (const TagEntry& e : allTags()) fprintf(f, "%s%s ", e.name, e.kind == TagKind::None ? "" : "=");
    fprintf(f,
            "'\n"
            "_%s() {\n"
            "    # Words are taken from the line itself: bash would split GET:,\n"
            "    # HOST:PORT and NAME=value at their colon and equals sign.\n"
            "    local line=${COMP_LINE:0:COMP_POINT} cur='' prev='' have_type='' w\n"
            "%s"
            "    for w in \"${words[@]:1}\"; do\n"
            "        case ${w^^} in SET:|GET:|DEL:|REP:) have_type=1 ;; esac\n"
            "    done\n"
            "    COMPREPLY=()\n"
            "    case $prev in\n"
            "%s"
            "    esac\n"
            "    [[ $cur == *=* ]] && return 0\n"
            "    local candidates\n"
            "%s"
            "    COMPREPLY=($(compgen -W \"$candidates\" -- \"${cur^^}\"))\n"
            "    # bash replaces only the text after the word's last colon.\n"
            "    if [[ $cur == *:* ]]; then\n"
            "        local keep=${cur%%:*}: i\n"
            "        for i in \"${!COMPREPLY[@]}\"; do COMPREPLY[i]=${COMPREPLY[i]:${#keep}}; done\n"
            "    fi\n"
            "    [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null\n"
            "    return 0\n"
            "}\n"
            "complete -F _%s %s\n",
            script.program, kWordsFromLine, script.optionArguments, script.candidates, script.program,
            script.program);
}

}  // namespace

void writeCompletion(FILE* f) {
    writeCompletionScript(f, {"tagclient",
                              "        -h) COMPREPLY=($(compgen -A hostname -- \"$cur\")); return 0 ;;\n"
                              "        -p) return 0 ;;\n",
                              "    if [[ -z $have_type ]]; then candidates='SET: GET: DEL: REP: -h -p'\n"
                              "    else candidates=$_tagclient_tags; fi\n"});
}

// tagpoll's options from its table; after them, the message words.
void writePollCompletion(FILE* f) {
    cmdline::CommandLine line("tagpoll", {});
    tagpoll::PollOptions unused;
    tagpoll::describeOptions(line, unused);
    const std::string arms = valueArms(line.rows());
    const std::string candidates =
        "    if [[ -n $have_type ]]; then candidates=$_tagpoll_tags\n"
        "    elif [[ $cur == -* ]]; then\n"
        "        candidates='" +
        optionNames(line.rows()) +
        "'\n"
        "        COMPREPLY=($(compgen -W \"$candidates\" -- \"$cur\"))\n"
        "        return 0\n"
        "    else candidates='SET: GET: DEL: REP:'; fi\n";
    writeCompletionScript(f, {"tagpoll", arms.c_str(), candidates.c_str()});
}

void writeAgentCompletion(FILE* f) {
    cmdline::CommandLine line("tagagent", {});
    Options unused;
    describeOptions(line, unused);
    writeOptionsCompletion(f, "tagagent", line.rows());
}

void writeExporterCompletion(FILE* f) {
    cmdline::CommandLine line("tag_exporter", {});
    exporter::Options unused;
    exporter::describeOptions(line, unused);
    writeOptionsCompletion(f, "tag_exporter", line.rows());
}

// tagconf's completion: its commands and their options from its CLI11
// commands, state and plan files, and for save every tag name of the table
// (groups too: save expands them).
void writeConfCompletion(FILE* f) {
    CLI::App app;
    tagconf::ConfOptions unused;
    tagconf::describeCommands(app, unused);
    std::vector<cmdline::OptionRow> all = rowsOf(app);
    const std::string common = optionNames(all);
    std::string commands, pattern, perCommand;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        std::vector<cmdline::OptionRow> own = rowsOf(*command);
        all.insert(all.end(), own.begin(), own.end());
        commands += (commands.empty() ? "" : " ") + command->get_name();
        pattern += (pattern.empty() ? "" : "|") + command->get_name();
        // validate sends nothing: the network's options are not offered there.
        std::string options = optionNames(own);
        options += " -h --help";
        if (command->get_name() != "validate") options.insert(0, common + ' ');
        perCommand.append("            ").append(command->get_name()).append(") options='").append(options);
        perCommand += "' ;;\n";
    }
    fputs("# bash completion for tagconf. Generated from the tag table; do not edit.\n_tagconf_tags='", f);
    for (const TagEntry& e : allTags()) fprintf(f, "%s ", e.name);
    fprintf(
        f,
        "'\n"
        "_tagconf() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command='' w\n"
        "    for w in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
        "        case $w in %s) command=$w ;; esac\n"
        "    done\n"
        "    COMPREPLY=()\n"
        "    case $prev in\n"
        "%s"
        "    esac\n"
        "    local options\n"
        "    if [[ $cur == -* ]]; then\n"
        "        case $command in\n"
        "            '') options='%s -h --help --version' ;;\n"
        "%s"
        "        esac\n"
        "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
        "    elif [[ -z $command ]]; then COMPREPLY=($(compgen -W '%s' -- \"$cur\"))\n"
        "    elif [[ $command == save ]]; then COMPREPLY=($(compgen -W \"$_tagconf_tags\" -- \"${cur^^}\"))\n"
        "    else COMPREPLY=($(compgen -f -- \"$cur\")); fi\n"
        "    return 0\n"
        "}\n"
        "complete -F _tagconf tagconf\n",
        pattern.c_str(), valueArms(all).c_str(), common.c_str(), perCommand.c_str(), commands.c_str());
}
