// tagconf save's file: every value of every kind written and read back to
// the bit, every cut of a saved file refused, the value notation's faults,
// and a backup replaced whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "conf_save.h"
#include "save_file.h"
#include "state_file.h"
#include "tag_text.h"
#include "temp_dir.h"
#include "yaml_text.h"

namespace {

using namespace tagconf;

uint8_t id(const char* name) { return tagByName(name)->id; }
VTag* floatTag(uint32_t bits) { return new VTagUInt32(id("TAG_IO_GAIN"), bits, VTAG_FLOAT); }
VTag* textTag(const std::string& bytes) {
    return new VTagString(id("TAG_DEV_LABEL"), bytes.data(), bytes.size());
}
VTag* stateTag(uint8_t value) { return VTagFactory::createVTag(id("TAG_DEV_STATE"), value); }
VTag* deviceId(uint32_t value) { return VTagFactory::createVTag(id("TAG_DEV_ID"), value); }

// The value as bits or bytes in hexadecimal, whatever its kind.
std::string raw(const VTag& tag) {
    char text[16];
    if (tag.type == VTAG_STRING) {
        std::string out = "text";
        for (unsigned char c : static_cast<const VTagString&>(tag).text()) {
            snprintf(text, sizeof text, " %02X", c);
            out += text;
        }
        return out;
    }
    uint32_t value = tag.type == VTAG_UINT8    ? static_cast<const VTagUInt8&>(tag).getValue()
                     : tag.type == VTAG_UINT16 ? static_cast<const VTagUInt16&>(tag).getValue()
                                               : static_cast<const VTagUInt32&>(tag).getValue();
    snprintf(text, sizeof text, "%u:%08X", unsigned(tag.type), unsigned(value));
    return text;
}

// Targets 127.0.0.1:1.., one value each, as readTargets leaves them.
std::vector<SavedTarget> savedOf(const std::vector<VTag*>& values) {
    std::vector<SavedTarget> saved(values.size());
    tagpoll::TargetList list(60000);
    for (size_t i = 0; i < values.size(); ++i) {
        list.addEntry("127.0.0.1:" + std::to_string(i + 1), "test", i + 1);
        saved[i].target = list.targets().back();
        saved[i].read = true;
        saved[i].tags.emplace_back(values[i]);
    }
    return saved;
}

std::string textOf(const std::vector<SavedTarget>& saved) {
    std::ostringstream out;
    writeState(out, saved);
    return out.str();
}

bool parse(const std::string& text, State& state, std::string& error) {
    OpenFile none = [](const std::string&, std::string& why) -> std::unique_ptr<std::istream> {
        why = "no files here";
        return nullptr;
    };
    return parseState(text, "backup.yml", 60000, none, state, error);
}

TEST(ConfSave, EveryValueReadsBackToTheBit) {
    const std::vector<VTag*> values = {
        stateTag(0),
        stateTag(0xFF),
        deviceId(0),
        deviceId(0xFFFFFFFF),
        floatTag(0x00000000),
        floatTag(0x80000000),  // zero, -0.0
        floatTag(0x00000001),
        floatTag(0x807FFFFF),  // the least and the greatest denormal
        floatTag(0x7F7FFFFF),
        floatTag(0x3DCCCCCD),  // the largest float, 0.1
        floatTag(0x7F800000),
        floatTag(0xFF800000),  // inf, -inf
        floatTag(0x7FC00000),
        floatTag(0xFFC00000),  // nan, -nan
        floatTag(0x7FC00001),
        floatTag(0xFFFFFFFF),  // quiet NaNs with payloads, both signs
        floatTag(0x7F800001),
        floatTag(0xFFA00000),  // signalling NaNs
        textTag(""),
        textTag("0A"),
        textTag("null"),
        textTag("- [x]: #y"),
        textTag("\"q\" \\ 'a'"),
        textTag("\xEF\xBF\xBE"),
        textTag("\xEF\xBF\xBF"),  // U+FFFE, U+FFFF
        textTag("\xF0\x9F\xBF\xBE"),
        textTag("\xEF\xB7\x90"),  // U+1FFFE, U+FDD0
        textTag("\xC2\x85"),
        textTag("\xE2\x80\xA8"),
        textTag("\xE2\x80\xA9"),  // NEL, LS, PS
        textTag("\xEF\xBB\xBF"),
        textTag("\xC2\xA0\xC3\xA9\xE2\x82\xAC"),  // BOM; nbsp, é, €
        textTag("\x01\x07\t\n\r\x1B[2J\x1F"),
        textTag("\x7F"),
        textTag("\xC2\x9F"),  // C0, DEL, C1
        textTag("a\x80z"),
        textTag("\xFF\xFE"),
        textTag("\xED\xA0\x80"),
        textTag("\xC0\xAF"),                 // not UTF-8
        textTag(std::string(1015, '\xE9')),  // the longest text a datagram holds, none of it UTF-8
    };
    std::vector<std::string> expected;
    for (const VTag* v : values) expected.push_back(raw(*v));
    std::string text = textOf(savedOf(values));

    State state;
    std::string error;
    ASSERT_TRUE(parse(text, state, error)) << error << "\n" << text;
    ASSERT_EQ(state.targets.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(state.targets[i].tags->size(), 1u);
        EXPECT_EQ(raw(*state.targets[i].tags->front().value), expected[i]) << i << ": " << text;
    }
}

// Every Unicode scalar value but NUL, a few hundred to a text, read back
// as the same bytes: no character that the writer leaves as it is may be
// folded, dropped or replaced by a YAML reader.
TEST(ConfSave, EveryCharacterReadsBackAsItself) {
    std::vector<VTag*> texts;
    std::string text;
    auto flush = [&] {
        texts.push_back(textTag(text));
        text.clear();
    };
    for (uint32_t c = 1; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        char bytes[4];
        size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        static constexpr uint8_t LEAD[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (size_t k = n - 1; k > 0; --k) bytes[k] = char(0x80 | ((c >> (6 * (n - 1 - k))) & 0x3F));
        bytes[0] = char(n == 1 ? c : LEAD[n] | (c >> (6 * (n - 1))));
        if (text.size() + n > 1015) flush();
        text.append(bytes, n);
    }
    flush();
    // In files of a thousand texts, well within a state file's size.
    for (size_t from = 0; from < texts.size(); from += 1000) {
        std::vector<VTag*> part(texts.begin() + std::ptrdiff_t(from),
                                texts.begin() + std::ptrdiff_t(std::min(texts.size(), from + 1000)));
        std::vector<std::string> expected;
        for (const VTag* v : part) expected.push_back(raw(*v));
        State state;
        std::string error;
        ASSERT_TRUE(parse(textOf(savedOf(part)), state, error)) << error;
        ASSERT_EQ(state.targets.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(raw(*state.targets[i].tags->front().value), expected[i]) << "text " << from + i;
    }
}

TEST(ConfSave, TheFileSpellsWhatDecimalAndYamlTextCannotHold) {
    const std::pair<VTag*, std::string> cases[] = {
        {floatTag(0x80000000), "-0"},
        {floatTag(0x7FC00000), "nan"},
        {floatTag(0xFFC00000), "!bits FFC00000"},
        {floatTag(0x7F800001), "!bits 7F800001"},
        {floatTag(0xFF800000), "-inf"},
        {textTag("\xEF\xBF\xBE\xEF\xBF\xBF\xC2\x85\xE2\x80\xA8\x7F\x01\"\\\xC3\xA9"),
         "\"\\uFFFE\\uFFFF\\x85\\u2028\\x7F\\x01\\\"\\\\\xC3\xA9\""},
        {textTag("\xF0\x9F\xBF\xBF"), "\"\\U0001FFFF\""},
        {textTag("\x80\xFF"), "!!binary \"gP8=\""},
    };
    for (const auto& [tag, word] : cases) {
        EXPECT_EQ(stateWord(*tag), word);
        delete tag;
    }
}

TEST(ConfSave, Base64AsTheStandardSpellsIt) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF", "+/8="},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(base64(bytes), text);
        EXPECT_EQ(fromBase64(text), bytes);
    }
    EXPECT_EQ(fromBase64(" Zm9v\n YmFy "), "foobar");  // folded over lines
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zh==", "Zm9=", "Zg==Zg==", "Zm9*", "Zm=v"})
        EXPECT_EQ(fromBase64(bad), std::nullopt) << bad;
}

TEST(ConfSave, NotationFaultsNameTheValue) {
    const std::string t = "targets: [127.0.0.1]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"tags: {TAG_IO_GAIN: !bits 7FC0000}",
         "backup.yml:2: bad value \"!bits 7FC0000\" for TAG_IO_GAIN: !bits is a Float's 32 bits as 8 "
         "hexadecimal digits"},
        {"tags: {TAG_IO_GAIN: !bits 0x7FC0001}",
         "backup.yml:2: bad value \"!bits 0x7FC0001\" for TAG_IO_GAIN: !bits is a Float's 32 bits as 8 "
         "hexadecimal digits"},
        {"tags: {TAG_DEV_ID: !bits 00000001}",
         "backup.yml:2: bad value \"!bits 00000001\" for TAG_DEV_ID: !bits is a Float's 32 bits as 8 "
         "hexadecimal digits"},
        {"tags: {TAG_DEV_LABEL: !!binary \"gA=\"}",
         "backup.yml:2: bad value \"!!binary gA=\" for TAG_DEV_LABEL: !!binary is a text's bytes in base64"},
        {"tags: {TAG_IO_GAIN: !!binary \"gA==\"}",
         "backup.yml:2: bad value \"!!binary gA==\" for TAG_IO_GAIN: !!binary is a text's bytes in base64"},
        {"tags: {TAG_DEV_LABEL: !!binary \"YQBi\"}",
         "backup.yml:2: bad value for TAG_DEV_LABEL: a text cannot hold a NUL byte"},
        {"tags: {TAG_DEV_LABEL: !hex 41}",
         "backup.yml:2: unknown YAML tag !hex on TAG_DEV_LABEL (known: !bits, !!binary)"},
    };
    for (const auto& [tags, expected] : cases) {
        State state;
        std::string error;
        EXPECT_FALSE(parse(t + tags + "\n", state, error)) << expected;
        EXPECT_EQ(error, expected);
    }
    // Untagged and !!str values read as the client's words.
    State state;
    std::string error;
    ASSERT_TRUE(parse(t + "tags: {TAG_DEV_LABEL: !!str 12, TAG_IO_GAIN: !bits 7fc00001}\n", state, error))
        << error;
    EXPECT_EQ(raw(*state.targets[0].tags->at(0).value), "text 31 32");
    EXPECT_EQ(raw(*state.targets[0].tags->at(1).value), "6:7FC00001");
}

TEST(ConfSave, EveryCutOfASavedFileIsRefused) {
    std::string text = textOf(
        savedOf({textTag("Rack \xE2\x80\xA8 1"), floatTag(0xFFC00001), stateTag(0x1A), textTag("\x80")}));
    State state;
    std::string error;
    ASSERT_TRUE(parse(text, state, error)) << error;
    ASSERT_EQ(state.targets.size(), 4u);
    for (size_t cut = 0; cut < text.size(); ++cut) {
        EXPECT_FALSE(parse(text.substr(0, cut), state, error)) << "cut at byte " << cut << " read as whole";
        EXPECT_TRUE(state.targets.empty());
        // Cut after a whole line from the opening "saved: 4" (line 3) on:
        // named as a cut, at the last line left.
        auto lines = std::count(text.begin(), text.begin() + std::ptrdiff_t(cut), '\n');
        if (cut > 0 && text[cut - 1] == '\n' && lines >= 3) {
            EXPECT_EQ(error, "backup.yml:" + std::to_string(lines) +
                                 ": the file ends before its closing line \"end: 4\": it was cut short");
        }
    }
}

TEST(ConfSave, TheSealMustAgreeWithWhatTheFileHolds) {
    const std::string body =
        "targets: [127.0.0.1:1, 127.0.0.1:2]\noverrides:\n  127.0.0.1:1: {TAG_DEV_ID: 1}\n";
    const std::pair<std::string, std::string> cases[] = {
        {"saved: 2\n" + body + "end: 2\n",
         "backup.yml:1: saved promises 2 targets, each with an override; the file holds 2 targets and 1 "
         "overrides (a saved file edited by hand must lose its saved and end lines)"},
        {"saved: 3\n" + body + "  127.0.0.1:2: {}\nend: 3\n",
         "backup.yml:1: saved promises 3 targets, each with an override; the file holds 2 targets and 2 "
         "overrides (a saved file edited by hand must lose its saved and end lines)"},
        {"saved: 2\n" + body + "end: 2",
         "backup.yml:5: the file ends before its closing line \"end: 2\": it was "
         "cut short"},
        {body + "end: 1\n", "backup.yml:4: \"end\" without \"saved\": a saved file opens with \"saved: N\""},
        {"saved: two\n" + body + "end: 2\n",
         "backup.yml:1: saved must be the number of targets the file holds"},
        {"saved: 2\nend: 3\n" + body + "  127.0.0.1:2: {}\nend: 2\n",
         "backup.yml:7: \"end\" appears twice in the top level"},
    };
    for (const auto& [text, expected] : cases) {
        State state;
        std::string error;
        EXPECT_FALSE(parse(text, state, error)) << expected;
        EXPECT_EQ(error, expected);
    }
    // A hand-written file needs no seal.
    State state;
    std::string error;
    EXPECT_TRUE(parse(body, state, error)) << error;
}

// Replacing a file: the mode kept, a new file the umask's, and a FIFO, which
// rename would replace, refused (links: end to end).
TEST(ConfSave, ReplaceFileKeepsTheModeAndRefusesSpecialFiles) {
    TempDir dir;
    auto writeNew = [](std::ostream& out) { out << "new\n"; };
    std::string error;
    std::string kept = dir.write("kept.yml", "old\n");
    chmod(kept.c_str(), 0640);
    ASSERT_TRUE(replaceFile(kept, writeNew, error)) << error;
    struct stat st {};
    stat(kept.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(kept), "new\n");

    mode_t before = umask(027);
    EXPECT_TRUE(replaceFile(dir.path + "/fresh.yml", writeNew, error)) << error;
    umask(before);
    stat((dir.path + "/fresh.yml").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(replaceFile(dir.path + "/fifo", writeNew, error));
    EXPECT_EQ(error, dir.path + "/fifo: not a regular file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3)
        << "a temporary file was left";
}

// Opening a FIFO to read waits for a writer: refused before that.
TEST(ConfSave, FifosAsStateOrTargetsFilesAreRefusedAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.path + "/fifo.yml").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir.path + "/fleet.txt").c_str(), 0600), 0);
    std::string viaFile = dir.write("site.yml", "targets_file: fleet.txt\ntags: {TAG_DEV_ID: 1}\n");
    const std::pair<std::string, std::string> cases[] = {
        {dir.path + "/fifo.yml", "cannot read " + dir.path + "/fifo.yml: a FIFO, not a regular file"},
        {viaFile, viaFile + ":1: cannot read " + dir.path + "/fleet.txt: a FIFO, not a regular file"},
        {dir.path, "cannot read " + dir.path + ": a folder, not a regular file"},
        {"/dev/zero", "cannot read /dev/zero: a device, not a regular file"},
    };
    for (const auto& [path, expected] : cases) {
        State state;
        std::string error;
        EXPECT_FALSE(loadState(path, 60000, state, error));
        EXPECT_EQ(error, expected);
    }
}

}  // namespace
