// Writes the files that list the tag vocabulary, from the one tag table:
//   gen_tag_files man  FILE   the tagclient-tags(7) manual page
//   gen_tag_files bash FILE   the bash completion for tagclient
//   gen_tag_files poll-bash FILE   the bash completion for tagpoll
//   gen_tag_files conf-bash FILE   the bash completion for tagconf
//   gen_tag_files agent-bash FILE  the bash completion for tagagent
//   gen_tag_files exporter-bash FILE  the bash completion for tag_exporter
//   gen_tag_files modules FILE  tag_exporter's default modules, one per group
//   gen_tag_files lua FILE BODY
//                             the Wireshark dissector: the table as Lua,
//                             then the hand-written BODY copied as it is
// Generated at build time so that none can drift from the table; the
// completions name the options from the programs' own option tables.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../agent/options.h"
#include "../exporter/options.h"
#include "command_line.h"
#include "conf_options.h"
#include "option_completion.h"
#include "poll_options.h"
#include "tag_vocabulary.h"
#include "volatile_tags.h"

namespace {

void writeManPage(FILE* f) {
    fputs(
        ".\\\" Generated from the tag table; do not edit.\n"
        ".Dd December 7, 2026\n.Dt TAGCLIENT-TAGS 7\n.Os\n"
        ".Sh NAME\n.Nm tagclient-tags\n.Nd the tag names of the tag protocol\n"
        ".Sh DESCRIPTION\n"
        "Every tag a message carries has an 8-bit id, 0 to 181, and the name below.\n"
        "Names are matched without regard to case and printed as written here.\n"
        "The kind says how a value typed as\n.Ar NAME Ns = Ns Ar value\nis converted:\n"
        ".Bl -tag -width UInt16\n"
        ".It None\nno value; any value text is ignored.\n"
        ".It UInt8, UInt16, UInt32\na hexadecimal number, cut to the tag's width.\n"
        ".It String\nthe text as typed.\n"
        ".It Float\na number as\n.Xr strtod 3\nreads it, in single precision.\n"
        ".El\n.Sh TAGS\n.Bl -column \"Id\" \"TAG_DATETIME_CLOCK_SOFTWARE\" \"UInt16\"\n"
        ".It Sy Id Ta Sy Name Ta Sy Kind\n",
        f);
    for (const TagEntry& e : allTags()) fprintf(f, ".It %d Ta %s Ta %s\n", e.id, e.name, kindName(e.kind));
    fputs(".El\n.Sh SEE ALSO\n.Xr tagagent 1 ,\n.Xr tagclient 1 ,\n.Xr tagproto-dissector 7\n", f);
}

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
            "    local -a words\n"
            "    read -ra words <<< \"$line\"\n"
            "    if [[ $line != *[[:space:]] && ${#words[@]} -gt 0 ]]; then\n"
            "        cur=${words[-1]}; unset 'words[-1]'\n"
            "    fi\n"
            "    [[ ${#words[@]} -gt 0 ]] && prev=${words[-1]}\n"
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
            script.program, script.optionArguments, script.candidates, script.program, script.program);
}

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

// The dissector's table: id -> { name, kind }. Names and kinds are plain
// identifiers, so they need no quoting beyond the double quotes.
void writeLuaTable(FILE* f) {
    fprintf(f,
            "-- Wireshark dissector for the tag protocol. Generated by gen_tag_files %s\n"
            "-- from tag_table.def and dissector/tagproto_body.lua; do not edit.\n"
            "local GENERATOR_VERSION = \"%s\"\n"
            "local TAG_TABLE = {\n",
            TAGCLIENT_VERSION, TAGCLIENT_VERSION);
    for (const TagEntry& e : allTags())
        fprintf(f, "    [%d] = { \"%s\", \"%s\" },\n", e.id, e.name, kindName(e.kind));
    fputs("}\n\n", f);
}

// Appends the body file to f; false when it cannot be read.
bool copyFile(const char* path, FILE* f) {
    FILE* in = fopen(path, "r");
    if (!in) {
        perror(path);
        return false;
    }
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) fwrite(chunk, 1, n, f);
    bool ok = !ferror(in);
    fclose(in);
    return ok;
}

bool isMode(const char* arg, const char* mode) { return strcmp(arg, mode) == 0; }

// The group of TAG_DEV_STATE is DEV: the word after TAG_.
std::string groupOf(const char* name) {
    std::string rest(name + 4);
    return rest.substr(0, rest.find('_'));
}

std::string moduleName(const std::string& group) {
    if (group == "DEV") return "device";
    std::string lower = group;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return lower;
}

// TAG_DEV_ID_OLD and TAG_DEV_ID_NEW are the two halves of a change of a
// device's id, written in a SET; a device holds its id (TAG_DEV_ID), not
// them, and asking for them would cost every probe an ERR reply.
// Texts that change on every read (a clock, a value held as text) would make
// a new series per scrape: left out (changesOnEveryRead).
bool isStateTag(const TagEntry& e) {
    return e.kind != TagKind::None && strcmp(e.name, "TAG_DEV_ID_OLD") != 0 &&
           strcmp(e.name, "TAG_DEV_ID_NEW") != 0 && !changesOnEveryRead(e);
}

// A module per group of tags that carry values, in the order groups first
// appear in the table. The error tags describe replies, not devices.
void writeModules(FILE* f) {
    fputs(
        "# tag_exporter modules: one per group of the tag table, named after the\n"
        "# group (DEV is \"device\"). Generated from the tag table; copy and edit.\n"
        "# port: for targets without one; timeout: seconds a probe may take when\n"
        "# Prometheus gives no scrape time-out (and its cap when it does); retries:\n"
        "# further attempts within it. Tags a device does not hold are left out.\n"
        "# Texts that change on every read (dates, times, values held as text) are\n"
        "# not listed: each value would be a new series; add them to a module of\n"
        "# your own only if you want that.\n"
        "modules:\n",
        f);
    std::vector<std::string> groups;
    for (const TagEntry& e : allTags()) {
        std::string group = groupOf(e.name);
        if (!isStateTag(e) || group == "ERR") continue;
        bool seen = false;
        for (const std::string& g : groups) seen = seen || g == group;
        if (!seen) groups.push_back(group);
    }
    for (const std::string& group : groups) {
        fprintf(f, "  %s:\n    port: 60000\n    timeout: 5\n    retries: 2\n    tags:\n",
                moduleName(group).c_str());
        for (const TagEntry& e : allTags())
            if (isStateTag(e) && groupOf(e.name) == group) fprintf(f, "      - %s\n", e.name);
    }
}

// Writes the file of one mode; false when the body cannot be read.
bool writeFile(const char* mode, FILE* f, const char* body) {
    if (isMode(mode, "man")) {
        writeManPage(f);
    } else if (isMode(mode, "bash")) {
        writeCompletion(f);
    } else if (isMode(mode, "poll-bash")) {
        writePollCompletion(f);
    } else if (isMode(mode, "conf-bash")) {
        writeConfCompletion(f);
    } else if (isMode(mode, "agent-bash")) {
        writeAgentCompletion(f);
    } else if (isMode(mode, "exporter-bash")) {
        writeExporterCompletion(f);
    } else if (isMode(mode, "modules")) {
        writeModules(f);
    } else {
        writeLuaTable(f);
        return body != nullptr && copyFile(body, f);  // the lua mode's hand-written part
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool lua = argc == 4 && isMode(argv[1], "lua");
    bool plain =
        argc == 3 && (isMode(argv[1], "man") || isMode(argv[1], "bash") || isMode(argv[1], "poll-bash") ||
                      isMode(argv[1], "conf-bash") || isMode(argv[1], "agent-bash") ||
                      isMode(argv[1], "exporter-bash") || isMode(argv[1], "modules"));
    if (!lua && !plain) {
        fprintf(stderr,
                "usage: %s man|bash|poll-bash|conf-bash|agent-bash|exporter-bash|modules FILE\n       %s lua "
                "FILE BODY\n",
                argv[0], argv[0]);
        return 2;
    }
    FILE* f = fopen(argv[2], "w");
    if (!f) {
        perror(argv[2]);
        return 1;
    }
    bool ok = false;
    try {
        ok = writeFile(argv[1], f, lua ? argv[3] : nullptr);
    } catch (const std::exception& e) {  // a table the generator cannot read
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
    }
    return fclose(f) == 0 && ok ? 0 : 1;
}
