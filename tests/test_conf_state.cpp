// tagconf's state file: what a good one yields, and every kind of fault
// refused with its file and line before anything is sent.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "state_file.h"
#include "tag_text.h"

namespace {

using namespace tagconf;

// Targets files by path, as a folder would hold them.
const std::map<std::string, std::string> files = {
    {"site/fleet.txt", "10.0.0.5\n10.0.0.6:61000\n"},
    {"site/dup.txt", "10.0.0.7\n127.0.0.1:60000\n"},
};

bool parse(const std::string& text, State& state, std::string& error) {
    OpenFile open = [](const std::string& path, std::string& why) -> std::unique_ptr<std::istream> {
        auto it = files.find(path);
        if (it != files.end()) return std::make_unique<std::istringstream>(it->second);
        why = "No such file or directory";
        return nullptr;
    };
    return parseState(text, "site/state.yml", 60000, open, state, error);
}

std::string tagsOf(const TargetState& t) {
    std::string s;
    for (const DesiredTag& d : *t.tags) s += std::string(d.entry->name) + "=" + shownValue(*d.value) + " ";
    return s;
}

TEST(ConfState, TargetsFromListAndFileWithOverridesMergedIntoTheCommonTags) {
    State state;
    std::string error;
    ASSERT_TRUE(
        parse("# a [ in a comment, and \"{{{{\" in a text, nest nothing\n"
              "targets: [127.0.0.1:60000, 192.168.1.0/30]\n"
              "targets_file: fleet.txt\n"
              "tags: {TAG_DEV_LABEL: \"[{Rack\", tag_dev_state: 0x1a, TAG_IO_GAIN: 0.1}\n"
              "overrides:\n"
              "  10.0.0.6:61000: {TAG_DEV_LABEL: \"Rack 6\", TAG_DEV_ID: FFFFFFFF}\n",
              state, error))
        << error;
    ASSERT_EQ(state.targets.size(), 5u);
    std::string labels;
    for (const TargetState& t : state.targets) labels += t.target.label() + " ";
    EXPECT_EQ(labels, "127.0.0.1:60000 192.168.1.1:60000 192.168.1.2:60000 10.0.0.5:60000 10.0.0.6:61000 ");
    EXPECT_EQ(tagsOf(state.targets[0]), "TAG_DEV_LABEL=\"[{Rack\" TAG_DEV_STATE=1A TAG_IO_GAIN=0.1 ");
    EXPECT_EQ(tagsOf(state.targets[4]),
              "TAG_DEV_LABEL=\"Rack 6\" TAG_DEV_STATE=1A TAG_IO_GAIN=0.1 TAG_DEV_ID=FFFFFFFF ");
    EXPECT_EQ(state.targets[0].tags, state.targets[3].tags);  // the common list, held once
}

TEST(ConfState, EveryFaultNamesItsFileAndLine) {
    const std::string t = "targets: [127.0.0.1]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "site/state.yml:1: the file is empty"},
        {t + "tags: {TAG_NOPE: 1}\n", "site/state.yml:2: unknown tag TAG_NOPE"},
        // A file's bytes reach the message escaped: no terminal control.
        {t + "tags: {\"\\e[2J\\n\": 1}\n", "site/state.yml:2: unknown tag \\x1b[2J\\x0a"},
        // So do the bytes the YAML parser quotes when it gives up.
        {t + "tags: {TAG_DEV_LABEL: \"q\\\x1b\"}\n", "site/state.yml:2: unknown escape character: \\x1b"},
        {t + "tags: {TAG_DEV_CFG: 1}\n",
         "site/state.yml:2: TAG_DEV_CFG is a group tag: it can be read, not written"},
        {t + "tags:\n  TAG_DEV_STATE: 1FF\n",
         "site/state.yml:3: bad value \"1FF\" for TAG_DEV_STATE: a UInt8 is hexadecimal from 0 to FF"},
        {t + "tags: {TAG_DEV_ID: -1}\n",
         "site/state.yml:2: bad value \"-1\" for TAG_DEV_ID: a UInt32 is hexadecimal from 0 to FFFFFFFF"},
        {t + "tags: {TAG_IO_GAIN: 1e39}\n",
         "site/state.yml:2: bad value \"1e39\" for TAG_IO_GAIN: a Float is a decimal number of at most "
         "3.4e38 in size, "
         "nan or inf"},
        {t + "tags: {TAG_DEV_LABEL: \"a\\0b\"}\n",
         "site/state.yml:2: bad value for TAG_DEV_LABEL: a text cannot hold a NUL byte"},
        {t + "tags: {TAG_DEV_LABEL: }\n",
         "site/state.yml:2: TAG_DEV_LABEL has no value (an empty text is \"\")"},
        {t + "tags: {TAG_DEV_LABEL: [a]}\n", "site/state.yml:2: TAG_DEV_LABEL must be a single value"},
        {t + "tags: {TAG_DEV_LABEL: a, tag_dev_label: b}\n",
         "site/state.yml:2: TAG_DEV_LABEL appears twice in tags"},
        {t + "tags: {TAG_DEV_LABEL: " + std::string(1100, 'x') + "}\n",
         "site/state.yml:2: the tags of tags take 1109 bytes, more than one 1024-byte datagram holds"},
        {"targets: [127.0.0.1, 127.0.0.1:60000]\ntags: {TAG_DEV_ID: 1}\n",
         "site/state.yml:1: 127.0.0.1:60000 duplicates site/state.yml:1"},
        {t + "targets_file: dup.txt\ntags: {TAG_DEV_ID: 1}\n",
         "site/dup.txt:2: 127.0.0.1:60000 duplicates site/state.yml:1"},
        {t + "targets_file: gone.txt\n",
         "site/state.yml:2: cannot read site/gone.txt: No such file or directory"},
        {"targets:\n  - 127.0.0.1\n  - 10.0.0.1:99999\ntags: {TAG_DEV_ID: 1}\n",
         "site/state.yml:3: bad port \"99999\" (1-65535)"},
        {t + "tags: {TAG_DEV_ID: 1}\noverrides:\n  127.0.0.2: {TAG_DEV_ID: 2}\n",
         "site/state.yml:4: override for 127.0.0.2:60000, which is not a target"},
        {t + "overrides:\n  127.0.0.1: {TAG_DEV_ID: 2}\n  127.0.0.1:60000: {TAG_DEV_ID: 3}\n",
         "site/state.yml:4: second override for 127.0.0.1:60000 (the first is on line 3)"},
        {t + "overrides:\n  10.0.0.0/30: {TAG_DEV_ID: 2}\n",
         "site/state.yml:3: an override names one target, not a range"},
        {t + "tag: {TAG_DEV_ID: 1}\n",
         "site/state.yml:2: unknown key \"tag\" (known: targets, targets_file, tags, overrides, saved, end)"},
        {"tags: {TAG_DEV_ID: 1}\n", "site/state.yml:1: no targets: give targets, targets_file or both"},
        {t, "site/state.yml:1: no tags: give tags, overrides or both"},
        {t + "tags: {TAG_DEV_ID: 1\n", "site/state.yml:3: end of map flow not found"},
        // Bombs: an alias may stand for a whole tree, and nesting costs the
        // parser a level of recursion each.
        {"a: &x [1, 2]\nb: [*x, *x]\n" + t, "site/state.yml:1: anchors and aliases are not allowed"},
        {t + "tags: " + std::string(20, '[') + std::string(20, ']') + "\n",
         "site/state.yml:2: nested more than 16 levels deep"},
        {t + "tags: [" + std::string(300000, '1').replace(1, std::string::npos, 299999, ',') + "]\n",
         "site/state.yml:2: more than 250000 YAML nodes"},
        {std::string(MAX_STATE_BYTES + 1, '#'), "site/state.yml:1: larger than 4 MiB"},
        {t + "---\n" + t, "site/state.yml:2: more than one YAML document"},
    };
    for (const auto& [text, expected] : cases) {
        State state;
        std::string error;
        EXPECT_FALSE(parse(text, state, error)) << expected;
        EXPECT_EQ(error, expected);
        EXPECT_TRUE(state.targets.empty());
    }
}

}  // namespace
