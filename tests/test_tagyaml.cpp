// The YAML loader: the tree it gives, byte for byte, and every bound and
// refusal named with its line.
#include <gtest/gtest.h>

#include <string>

#include "tagyaml.h"

namespace {

using tagyaml::Kind;
using tagyaml::Style;

const tagyaml::Bounds BOUNDS{1000, 4};

std::string loadError(const std::string& text, const tagyaml::Bounds& bounds = BOUNDS) {
    tagyaml::Document doc;
    std::string error;
    if (tagyaml::load(text, "f.yml", bounds, doc, error)) return "accepted";
    EXPECT_EQ(doc.nodeCount(), 0u) << "a refused document is left empty";
    return error;
}

TEST(TagYaml, RefusesEachFaultWithItsLine) {
    const std::pair<std::string, std::string> cases[] = {
        // A quote left open to the end must not swallow the lines after it.
        {"TAG_DEV_LABEL: \"unterminated\nTAG_DEV_STATE: 1\n",
         "f.yml:1: wrongly indented double-quoted scalar"},
        {"a: 1\nb: \"x\n", "f.yml:2: double-quoted scalar without closing quote"},
        // A raw NUL is no escape: the parser beneath would end the text there.
        {"a: 1\nb: a" + std::string(1, '\0') + "b\n", "f.yml:2: a NUL byte, which YAML does not allow"},
        {"a: \"\x1b[2J\"\n", "f.yml:1: control character \\x1b, which YAML does not allow unescaped"},
        // Tabs are refused whole: the parser crashed on this one.
        {"x: 1\n? a:\t:\n",
         "f.yml:2: a tab: indent and separate with spaces (a text may hold \\t in double quotes)"},
        {"a: 1\n\nb: \xc3\x28\n", "f.yml:3: byte \\xc3 is not UTF-8"},
        {"a: \xed\xa0\x80\n", "f.yml:1: byte \\xed is not UTF-8"},      // a surrogate
        {"a: \xc0\xaf\n", "f.yml:1: byte \\xc0 is not UTF-8"},          // overlong
        {"a: \xf4\x90\x80\x80\n", "f.yml:1: byte \\xf4 is not UTF-8"},  // past U+10FFFF
        {"a: \xe2\x82\n", "f.yml:1: byte \\xe2 is not UTF-8"},          // cut short
        {"a: &x 1\n", "f.yml:1: anchors and aliases are not allowed"},
        {"a: 1\nb: [*x]\n", "f.yml:2: anchors and aliases are not allowed"},
        {"a: 1\n---\nb: 2\n", "f.yml:2: more than one YAML document"},
        {"a: 1\n...\nb: 2\n", "f.yml:2: more than one YAML document"},
        // Depth 4 passes, 5 does not, however the levels are written.
        {"a: [[[1]]]\n", "accepted"},
        {"a: [[[[1]]]]\n", "f.yml:1: nested more than 4 levels deep"},
        {"- - - - - 1\n", "f.yml:1: nested more than 4 levels deep"},
        {"a: [" + std::string(900, '[') + "\n", "f.yml:1: nested more than 4 levels deep"},
        {std::string(1000, '#'), "accepted"},
        {std::string(1001, '#'), "f.yml:1: larger than 1000 bytes"},
        {"a: {b: 1\n", "f.yml:2: missing comma in flow mapping"},
        {"a: 1\n b: 2\n", "f.yml:1: invalid multiline plain key"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(loadError(text), expected) << text;
}

TEST(TagYaml, BoundInMiBIsNamedSo) {
    EXPECT_EQ(loadError(std::string((size_t{1} << 20) + 1, ' '), {size_t{1} << 20, 4}),
              "f.yml:1: larger than 1 MiB");
}

TEST(TagYaml, TreeKeepsKindsLinesTextsStylesTagsAndOrder) {
    const std::string text =
        "b: \"x\\0y\\uFFFE\"\n"  // a NUL and U+FFFE kept as bytes
        "a: !!binary 'AA=='\n"
        "c: !local |\n"
        "  line\n"
        "seq: [~, null, '', 2, {k: v}]\n"
        "empty:\n";
    tagyaml::Document doc;
    std::string error;
    ASSERT_TRUE(tagyaml::load(text, "t.yml", BOUNDS, doc, error)) << error;
    tagyaml::Node root = doc.root();
    ASSERT_TRUE(root.isMapping());
    EXPECT_EQ(root.size(), 5u);
    std::string keys;
    for (const tagyaml::Pair& p : root.pairs())
        keys += std::string(p.key.text()) + ":" + std::to_string(p.value.line()) + " ";
    EXPECT_EQ(keys, "b:1 a:2 c:4 seq:5 empty:6 ");  // document order, not sorted

    auto value = [&](std::string_view key) {
        for (const tagyaml::Pair& p : root.pairs())
            if (p.key.text() == key) return p.value;
        ADD_FAILURE() << key;
        return root;
    };
    EXPECT_EQ(value("b").text(), std::string("x\0y\xef\xbf\xbe", 6));
    EXPECT_EQ(value("b").style(), Style::DoubleQuoted);
    EXPECT_EQ(value("b").tag(), "");
    EXPECT_EQ(value("a").text(), "AA==");
    EXPECT_EQ(value("a").style(), Style::SingleQuoted);
    EXPECT_EQ(value("a").tag(), "tag:yaml.org,2002:binary");
    EXPECT_EQ(value("c").text(), "line\n");
    EXPECT_EQ(value("c").style(), Style::Literal);
    EXPECT_EQ(value("c").tag(), "!local");
    EXPECT_TRUE(value("empty").isNull());

    tagyaml::Node seq = value("seq");
    ASSERT_TRUE(seq.isSequence());
    EXPECT_EQ(seq.size(), 5u);
    std::string shown;
    for (const tagyaml::Node& item : seq.items())
        shown += item.isMapping()
                     ? "{map " + std::to_string(item.size()) + "} "
                     : std::string(item.isNull() ? "null" : "text") + "(" + std::string(item.text()) + ") ";
    EXPECT_EQ(shown, "null(~) null(null) text() text(2) {map 1} ");
    EXPECT_TRUE(seq.pairs().begin() == seq.pairs().end()) << "a sequence has no pairs";
    EXPECT_TRUE(root.items().begin() == root.items().end()) << "a mapping has no items";
}

TEST(TagYaml, EmptyTextIsOneNull) {
    // An empty view without data too: a file of no bytes may come as one.
    for (std::string_view text : {std::string_view(), std::string_view(""), std::string_view("# only\n"),
                                  std::string_view("---\n")}) {
        tagyaml::Document doc;
        std::string error;
        ASSERT_TRUE(tagyaml::load(text, "e.yml", BOUNDS, doc, error)) << error;
        EXPECT_TRUE(doc.root().isNull()) << text;
        EXPECT_EQ(doc.nodeCount(), 1u);
    }
}

TEST(TagYaml, ReloadReplacesTheTree) {
    tagyaml::Document doc;
    std::string error;
    ASSERT_TRUE(tagyaml::load("[a, b, c]\n", "r.yml", BOUNDS, doc, error));
    ASSERT_TRUE(tagyaml::load("{x: y}\n", "r.yml", BOUNDS, doc, error));
    EXPECT_EQ(doc.nodeCount(), 3u);
    EXPECT_EQ((*doc.root().pairs().begin()).value.text(), "y");
}

}  // namespace
