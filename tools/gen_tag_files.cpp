// Writes the files that list the tag vocabulary, from the one tag table:
//   gen_tag_files man  FILE   the tagclient-tags(7) manual page
//   gen_tag_files bash FILE   the bash completion for tagclient
//   gen_tag_files poll-bash FILE   the bash completion for tagpoll
//   gen_tag_files modules FILE  tag_exporter's default modules, one per group
// Generated at build time so that neither can drift from the table.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tag_vocabulary.h"

namespace {

const char* kindName(TagKind k) {
    switch (k) {
    case TagKind::None: return "None";
    case TagKind::UInt8: return "UInt8";
    case TagKind::UInt16: return "UInt16";
    case TagKind::UInt32: return "UInt32";
    case TagKind::String: return "String";
    case TagKind::Float: return "Float";
    }
    return "?";
}

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
    fputs(".El\n.Sh SEE ALSO\n.Xr tagagent 1 ,\n.Xr tagclient 1\n", f);
}

void writeCompletion(FILE* f) {
    fputs(
        "# bash completion for tagclient. Generated from the tag table; do not edit.\n"
        "_tagclient_tags='",
        f);
    for (const TagEntry& e : allTags()) fprintf(f, "%s%s ", e.name, e.kind == TagKind::None ? "" : "=");
    fputs(
        "'\n"
        "_tagclient() {\n"
        "    # Words are taken from the line itself: bash would split GET: and\n"
        "    # NAME=value at their colon and equals sign.\n"
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
        "        -h) COMPREPLY=($(compgen -A hostname -- \"$cur\")); return ;;\n"
        "        -p) return ;;\n"
        "    esac\n"
        "    [[ $cur == *=* ]] && return\n"
        "    local candidates\n"
        "    if [[ -z $have_type ]]; then candidates='SET: GET: DEL: REP: -h -p'\n"
        "    else candidates=$_tagclient_tags; fi\n"
        "    COMPREPLY=($(compgen -W \"$candidates\" -- \"${cur^^}\"))\n"
        "    # bash replaces only the text after the word's last colon.\n"
        "    if [[ $cur == *:* ]]; then\n"
        "        local keep=${cur%:*}: i\n"
        "        for i in \"${!COMPREPLY[@]}\"; do COMPREPLY[i]=${COMPREPLY[i]:${#keep}}; done\n"
        "    fi\n"
        "    [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null\n"
        "    return 0\n"
        "}\n"
        "complete -F _tagclient tagclient\n",
        f);
}

// tagpoll takes the client's words after its own options.
void writePollCompletion(FILE* f) {
    fputs(
        "# bash completion for tagpoll. Generated from the tag table; do not edit.\n"
        "_tagpoll_tags='",
        f);
    for (const TagEntry& e : allTags()) fprintf(f, "%s%s ", e.name, e.kind == TagKind::None ? "" : "=");
    fputs(
        "'\n"
        "_tagpoll() {\n"
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
        "        -f|--file) COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n"
        "        --target) [[ $cur != *:* ]] && COMPREPLY=($(compgen -A hostname -- \"$cur\")); return 0 ;;\n"
        "        -o|--format) COMPREPLY=($(compgen -W 'line json csv' -- \"$cur\")); return 0 ;;\n"
        "        -t|--timeout|-r|--retries|-c|--concurrency|--rate|-p|--port|--listen) return 0 ;;\n"
        "    esac\n"
        "    [[ $cur == *=* ]] && return 0\n"
        "    local candidates\n"
        "    if [[ -n $have_type ]]; then candidates=$_tagpoll_tags\n"
        "    elif [[ $cur == -* ]]; then\n"
        "        candidates='-f --file --target -t --timeout -r --retries -c --concurrency --rate\n"
        "            -p --port -o --format --listen --help --version'\n"
        "        COMPREPLY=($(compgen -W \"$candidates\" -- \"$cur\"))\n"
        "        return 0\n"
        "    else candidates='SET: GET: DEL: REP:'; fi\n"
        "    COMPREPLY=($(compgen -W \"$candidates\" -- \"${cur^^}\"))\n"
        "    # bash replaces only the text after the word's last colon.\n"
        "    if [[ $cur == *:* ]]; then\n"
        "        local keep=${cur%:*}: i\n"
        "        for i in \"${!COMPREPLY[@]}\"; do COMPREPLY[i]=${COMPREPLY[i]:${#keep}}; done\n"
        "    fi\n"
        "    [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null\n"
        "    return 0\n"
        "}\n"
        "complete -F _tagpoll tagpoll\n",
        f);
}

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

// A module per group of tags that carry values, in the order groups first
// appear in the table. The error tags describe replies, not devices.
void writeModules(FILE* f) {
    fputs(
        "# tag_exporter modules: one per group of the tag table, named after the\n"
        "# group (DEV is \"device\"). Generated from the tag table; copy and edit.\n"
        "# port: for targets without one; timeout: seconds a probe may take when\n"
        "# Prometheus gives no scrape time-out (and its cap when it does); retries:\n"
        "# further attempts within it. Tags a device does not hold are left out.\n"
        "modules:\n",
        f);
    std::vector<std::string> groups;
    for (const TagEntry& e : allTags()) {
        std::string group = groupOf(e.name);
        if (e.kind == TagKind::None || group == "ERR") continue;
        bool seen = false;
        for (const std::string& g : groups) seen = seen || g == group;
        if (!seen) groups.push_back(group);
    }
    for (const std::string& group : groups) {
        fprintf(f, "  %s:\n    port: 60000\n    timeout: 5\n    retries: 2\n    tags:\n",
                moduleName(group).c_str());
        for (const TagEntry& e : allTags())
            if (e.kind != TagKind::None && groupOf(e.name) == group) fprintf(f, "      - %s\n", e.name);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "man") != 0 && strcmp(argv[1], "bash") != 0 &&
                      strcmp(argv[1], "poll-bash") != 0 && strcmp(argv[1], "modules") != 0)) {
        fprintf(stderr, "usage: %s man|bash|poll-bash|modules FILE\n", argv[0]);
        return 2;
    }
    FILE* f = fopen(argv[2], "w");
    if (!f) {
        perror(argv[2]);
        return 1;
    }
    if (strcmp(argv[1], "man") == 0)
        writeManPage(f);
    else if (strcmp(argv[1], "bash") == 0)
        writeCompletion(f);
    else if (strcmp(argv[1], "poll-bash") == 0)
        writePollCompletion(f);
    else
        writeModules(f);
    return fclose(f) == 0 ? 0 : 1;
}
