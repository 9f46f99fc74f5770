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
    {"site/fleet.txt", "127.10.0.5\n127.10.0.6:61000\n"},
    {"site/dup.txt", "127.10.0.7\n127.0.0.1:60000\n"},
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
              "targets: [127.0.0.1:60000, 127.168.1.0/30]\n"
              "targets_file: fleet.txt\n"
              "tags: {TAG_DEV_LABEL: \"[{Rack\", tag_dev_state: 0x1a, TAG_IO_GAIN: 0.1}\n"
              "overrides:\n"
              "  127.10.0.6:61000: {TAG_DEV_LABEL: \"Rack 6\", TAG_DEV_ID: FFFFFFFF}\n",
              state, error))
        << error;
    ASSERT_EQ(state.targets.size(), 5u);
    std::string labels;
    for (const TargetState& t : state.targets) labels += t.target.label() + " ";
    EXPECT_EQ(labels,
              "127.0.0.1:60000 127.168.1.1:60000 127.168.1.2:60000 127.10.0.5:60000 127.10.0.6:61000 ");
    EXPECT_EQ(tagsOf(state.targets[0]), "TAG_DEV_LABEL=\"[{Rack\" TAG_DEV_STATE=1A TAG_IO_GAIN=0.1 ");
    EXPECT_EQ(tagsOf(state.targets[4]),
              "TAG_DEV_LABEL=\"Rack 6\" TAG_DEV_STATE=1A TAG_IO_GAIN=0.1 TAG_DEV_ID=FFFFFFFF ");
    EXPECT_EQ(state.targets[0].tags, state.targets[3].tags);  // the common list, held once
}

// "1,1,...,1": n items of a flow list.
std::string ones(size_t n) {
    std::string list = "1";
    for (size_t i = 1; i < n; ++i) list += ",1";
    return list;
}

TEST(ConfState, EveryFaultNamesItsFileAndLine) {
    const std::string t = "targets: [127.0.0.1]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "site/state.yml:1: the file is empty"},
        {t + "tags: {TAG_NOPE: 1}\n", "site/state.yml:2: unknown tag TAG_NOPE"},
        // A file's bytes reach the message escaped: no terminal control.
        {t + "tags: {\"\\e[2J\\n\": 1}\n", "site/state.yml:2: unknown tag \\x1b[2J\\x0a"},
        // So do the bytes the YAML loader names when it gives up.
        {t + "tags: {TAG_DEV_LABEL: \"q\\\x1b\"}\n",
         "site/state.yml:2: control character \\x1b, which YAML does not allow unescaped"},
        // Invalid YAML is refused as such, never read as a value: a quote
        // left open would fold the next lines into the text, and a raw NUL
        // would end it.
        {t + "tags:\n  TAG_DEV_LABEL: \"unterminated\n  TAG_DEV_STATE: 1\n",
         "site/state.yml:3: wrongly indented double-quoted scalar"},
        {t + "tags: {TAG_DEV_LABEL: a" + std::string(1, '\0') + "b}\n",
         "site/state.yml:2: a NUL byte, which YAML does not allow"},
        {t + "tags: {TAG_DEV_LABEL: a}\n - x\n",
         "site/state.yml:3: wrong indendation in sequence while in mapping"},
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
        {"targets:\n  - 127.0.0.1\n  - 127.10.0.1:99999\ntags: {TAG_DEV_ID: 1}\n",
         "site/state.yml:3: bad port \"99999\" (1-65535)"},
        {t + "tags: {TAG_DEV_ID: 1}\noverrides:\n  127.0.0.2: {TAG_DEV_ID: 2}\n",
         "site/state.yml:4: override for 127.0.0.2:60000, which is not a target"},
        {t + "overrides:\n  127.0.0.1: {TAG_DEV_ID: 2}\n  127.0.0.1:60000: {TAG_DEV_ID: 3}\n",
         "site/state.yml:4: second override for 127.0.0.1:60000 (the first is on line 3)"},
        {t + "overrides:\n  127.10.0.0/30: {TAG_DEV_ID: 2}\n",
         "site/state.yml:3: an override names one target, not a range"},
        {t + "tag: {TAG_DEV_ID: 1}\n",
         "site/state.yml:2: unknown key \"tag\" (known: targets, targets_file, tags, overrides, saved, end)"},
        {"tags: {TAG_DEV_ID: 1}\n", "site/state.yml:1: no targets: give targets, targets_file or both"},
        {t, "site/state.yml:1: no tags: give tags, overrides or both"},
        {t + "tags: {TAG_DEV_ID: 1\n", "site/state.yml:3: missing comma in flow mapping"},
        // Bombs: an alias may stand for a whole tree, and nesting costs the
        // parser a level of recursion each.
        {"a: &x [1, 2]\nb: [*x, *x]\n" + t, "site/state.yml:1: anchors and aliases are not allowed"},
        {t + "tags: " + std::string(20, '[') + std::string(20, ']') + "\n",
         "site/state.yml:2: nested more than 16 levels deep"},
        // No bound on nodes but the bytes': 300,000 of them are read.
        {t + "tags: [" + ones(300000) + "]\n", "site/state.yml:2: tags must be a mapping"},
        {std::string(MAX_STATE_BYTES + 1, '#'), "site/state.yml:1: larger than 256 MiB"},
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

// A value written alike for many targets is held once, and never stands
// for another tag's or another text's.
TEST(ConfState, ValuesWrittenAlikeAreHeldOnceForTheirOwnTag) {
    State state;
    std::string error;
    ASSERT_TRUE(
        parse("targets: [127.0.0.1, 127.0.0.2, 127.0.0.3]\n"
              "overrides:\n"
              "  127.0.0.1: {TAG_DEV_STATE: 1A, TAG_DEV_LABEL: \"1A\"}\n"
              "  127.0.0.2: {TAG_DEV_STATE: 1A, TAG_DEV_LABEL: 1A}\n"
              "  127.0.0.3: {TAG_DEV_STATE: 1B, TAG_DEV_ID: 1A}\n",
              state, error))
        << error;
    ASSERT_EQ(state.targets.size(), 3u);
    EXPECT_EQ(tagsOf(state.targets[0]), "TAG_DEV_STATE=1A TAG_DEV_LABEL=\"1A\" ");
    EXPECT_EQ(tagsOf(state.targets[1]), "TAG_DEV_STATE=1A TAG_DEV_LABEL=\"1A\" ");
    EXPECT_EQ(tagsOf(state.targets[2]), "TAG_DEV_STATE=1B TAG_DEV_ID=0000001A ");
    const TagList &a = *state.targets[0].tags, &b = *state.targets[1].tags, &c = *state.targets[2].tags;
    EXPECT_EQ(a[0].value, b[0].value);
    EXPECT_NE(a[0].value, c[0].value);
    EXPECT_EQ(c[1].value->tagId, 8);  // TAG_DEV_ID's own, not the state's 1A
}

// What save writes, apply reads: 12,000 devices with their labels and
// counts give a file over 4 MiB of over 250,000 nodes, past the bounds the
// state file once had.
TEST(ConfState, ASavedFleetOfTwelveThousandLoads) {
    const std::string label(300, 'L');
    std::string targets = "targets:\n", overrides = "overrides:\n";
    for (int i = 0; i < 12000; ++i) {
        std::string target =
            "127." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ".9:60000";
        targets += "  - " + target + "\n";
        overrides += "  " + target + ": {TAG_DEV_STATE: 1, TAG_DEV_ID: " + std::to_string(i) +
                     ", TAG_DEV_LABEL: \"" + label +
                     "\", TAG_DEV_TYPE: 2, TAG_DEV_NDISCINPUT: 3, "
                     "TAG_DEV_NDISCOUTPUT: 4, TAG_DEV_NANALOGINPUT: 5, TAG_DEV_NANALOGOUTPUT: 6}\n";
    }
    std::string text = targets + overrides;
    ASSERT_GT(text.size(), size_t{4} << 20);
    State state;
    std::string error;
    ASSERT_TRUE(parse(text, state, error)) << error;
    ASSERT_EQ(state.targets.size(), 12000u);
    EXPECT_EQ(state.targets[11999].target.label(), "127.47.250.9:60000");
    EXPECT_EQ(tagsOf(state.targets[11999]).substr(0, 44), "TAG_DEV_STATE=01 TAG_DEV_ID=00011999 TAG_DEV");
}

}  // namespace
