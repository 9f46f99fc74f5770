// Printing a reply as one line: header words, tag names, and each value by
// the type code its tag carries (with the dictionary deciding for type 2).
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "message_text.h"
#include "msg_request.h"

namespace {

// Tag ids used below, as the tag table gives them.
constexpr uint8_t TAG_BUS_EVT = 0;          // None
constexpr uint8_t TAG_ERR_TAGID = 2;        // UInt8
constexpr uint8_t TAG_DEV_CFG = 5;          // None
constexpr uint8_t TAG_DEV_STATE = 6;        // UInt8
constexpr uint8_t TAG_DEV_ID = 8;           // UInt32
constexpr uint8_t TAG_DEV_LABEL = 9;        // String
constexpr uint8_t TAG_IO_OFFSET = 50;       // Float
constexpr uint8_t TAG_IO_GAIN = 51;         // Float
constexpr uint8_t TAG_NET_INPORT = 109;     // UInt16
constexpr uint8_t TAG_SITE_SVP_PORT = 181;  // UInt32, the last named id

// What the request writes while f runs, caught in a memory stream.
template <class F>
std::string capture(F f) {
    MsgRequest req(MSG_GET);
    char* text = nullptr;
    size_t size = 0;
    FILE* mem = open_memstream(&text, &size);
    req.out = mem;
    f(req);
    fclose(mem);
    std::string s(text, size);
    free(text);
    return s;
}

std::unique_ptr<VMsg> message(uint8_t msgId, std::initializer_list<VTag*> tags) {
    auto m = std::make_unique<VMsg>(msgId);
    for (VTag* t : tags) m->addTag(t);
    return m;
}

// The whole line printMsg prints for a message of that id and tags.
std::string line(uint8_t msgId, std::initializer_list<VTag*> tags) {
    auto m = message(msgId, tags);
    return capture([&](MsgRequest& r) { r.printMsg(m.get()); });
}

// What printTag prints for the tag (name and value part).
std::string tagText(VTag* tag) {
    std::unique_ptr<VTag> t(tag);
    return capture([&](MsgRequest& r) { r.printTag(t.get()); });
}

// What printTagValue prints for the tag (the value part alone).
std::string valueText(VTag* tag) {
    std::unique_ptr<VTag> t(tag);
    return capture([&](MsgRequest& r) { r.printTagValue(t.get()); });
}

VTag* u8(uint8_t id, uint8_t v) { return new VTagUInt8(id, v); }
VTag* u16(uint8_t id, uint16_t v) { return new VTagUInt16(id, v); }
VTag* u32(uint8_t id, uint32_t v) { return new VTagUInt32(id, v, VTAG_UINT32); }
VTag* bits(uint8_t id, float f, uint32_t type) {
    return new VTagUInt32(id, std::bit_cast<uint32_t>(f), type);
}
VTag* flt(uint8_t id, float f) { return bits(id, f, VTAG_FLOAT); }
VTag* floatBits(uint8_t id, uint32_t b) { return new VTagUInt32(id, b, VTAG_FLOAT); }
VTag* str(uint8_t id, const std::string& s) { return new VTagString(id, s.data(), s.size()); }
VTag* none(uint8_t id) { return new VTag(id, VTAG_NONE); }

// "0123456789" repeated: any cut shows where it fell.
std::string digits(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('0' + i % 10);
    return s;
}

TEST(PrintMsg, HeaderWordNamesEachOfTheSixMessageIds) {
    EXPECT_EQ(line(0, {}), "SET: \n");
    EXPECT_EQ(line(1, {}), "GET: \n");
    EXPECT_EQ(line(2, {}), "ERR: \n");
    EXPECT_EQ(line(3, {}), "EVT: \n");
    EXPECT_EQ(line(4, {}), "DEL: \n");
    EXPECT_EQ(line(5, {}), "REP: \n");
    EXPECT_EQ(line(5, {none(TAG_DEV_CFG)}), "REP: TAG_DEV_CFG \n");
}

TEST(PrintMsg, MessageIdAboveFivePrintsOnlyTheErrorLineAndNoTags) {
    EXPECT_EQ(line(6, {u32(TAG_DEV_ID, 42)}), "ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=6\n");
    EXPECT_EQ(line(9, {u32(TAG_DEV_ID, 42), str(TAG_DEV_LABEL, "x")}),
              "ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=9\n");
    EXPECT_EQ(line(255, {}), "ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=255\n");
}

TEST(PrintMsg, NullMessagePrintsNothing) {
    EXPECT_EQ(capture([](MsgRequest& r) { r.printMsg(nullptr); }), "");
}

TEST(PrintMsg, DocumentedExampleLine) {
    EXPECT_EQ(line(1, {none(TAG_DEV_CFG), u32(TAG_DEV_ID, 42), str(TAG_DEV_LABEL, "Rack 1")}),
              "GET: TAG_DEV_CFG TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" \n");
}

TEST(PrintMsg, PrintsFromTheFirstTagEvenAfterTheCursorMoved) {
    auto m = message(1, {u8(TAG_DEV_STATE, 1), u8(TAG_DEV_STATE, 2)});
    m->gotoFirst();
    m->getTag();
    m->getTag();
    EXPECT_EQ(capture([&](MsgRequest& r) { r.printMsg(m.get()); }),
              "GET: TAG_DEV_STATE=01 TAG_DEV_STATE=02 \n");
    // Printing twice gives the same line.
    EXPECT_EQ(capture([&](MsgRequest& r) { r.printMsg(m.get()); }),
              "GET: TAG_DEV_STATE=01 TAG_DEV_STATE=02 \n");
}

TEST(PrintTagValue, Uint8IsTwoUpperCaseHexDigits) {
    EXPECT_EQ(valueText(u8(TAG_DEV_STATE, 0)), "=00 ");
    EXPECT_EQ(valueText(u8(TAG_DEV_STATE, 0x0A)), "=0A ");
    EXPECT_EQ(valueText(u8(TAG_DEV_STATE, 0xFF)), "=FF ");
}

TEST(PrintTagValue, Uint16IsFourUpperCaseHexDigits) {
    EXPECT_EQ(valueText(u16(TAG_NET_INPORT, 0)), "=0000 ");
    EXPECT_EQ(valueText(u16(TAG_NET_INPORT, 0xABC)), "=0ABC ");
    EXPECT_EQ(valueText(u16(TAG_NET_INPORT, 0xFFFF)), "=FFFF ");
}

TEST(PrintTagValue, Uint32UnderNonFloatIdIsEightUpperCaseHexDigits) {
    EXPECT_EQ(valueText(u32(TAG_DEV_ID, 0)), "=00000000 ");
    EXPECT_EQ(valueText(u32(TAG_DEV_ID, 42)), "=0000002A ");
    EXPECT_EQ(valueText(u32(TAG_DEV_ID, 0xFFFFFFFF)), "=FFFFFFFF ");
    // The bits of 1.5f stay hexadecimal where the dictionary says UInt32.
    EXPECT_EQ(valueText(bits(TAG_DEV_ID, 1.5f, VTAG_UINT32)), "=3FC00000 ");
    // The last dictionary entry is found too.
    EXPECT_EQ(valueText(u32(TAG_SITE_SVP_PORT, 60000)), "=0000EA60 ");
}

TEST(PrintTagValue, Uint32UnderDictionaryFloatIdIsPrintedAsFloat) {
    EXPECT_EQ(valueText(bits(TAG_IO_GAIN, 1.5f, VTAG_UINT32)), "=1.500000 ");
    EXPECT_EQ(valueText(bits(TAG_IO_GAIN, -2.25f, VTAG_UINT32)), "=-2.250000 ");
    EXPECT_EQ(valueText(u32(TAG_IO_GAIN, 0)), "=0.000000 ");
    EXPECT_EQ(valueText(bits(TAG_IO_GAIN, std::numeric_limits<float>::infinity(), VTAG_UINT32)), "=inf ");
}

TEST(PrintTagValue, FloatTypeUsesPercentFAtItsEdges) {
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, 0.0f)), "=0.000000 ");
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, -0.0f)), "=-0.000000 ");
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, 1.5f)), "=1.500000 ");
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, FLT_MAX)), "=340282346638528859811704183484516925440.000000 ");
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, -FLT_MAX)), "=-340282346638528859811704183484516925440.000000 ");
    // Below the sixth decimal a value rounds to zero.
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, FLT_TRUE_MIN)), "=0.000000 ");
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, std::numeric_limits<float>::infinity())), "=inf ");
    EXPECT_EQ(valueText(flt(TAG_IO_OFFSET, -std::numeric_limits<float>::infinity())), "=-inf ");
    // NaN prints as printf's %f prints it, sign included.
    EXPECT_EQ(valueText(floatBits(TAG_IO_OFFSET, 0x7FC00000)), "=nan ");
    EXPECT_EQ(valueText(floatBits(TAG_IO_OFFSET, 0xFFC00000)), "=-nan ");
    EXPECT_EQ(valueText(floatBits(TAG_IO_OFFSET, 0x7F800001)), "=nan ");
}

TEST(PrintTagValue, FloatTypeIsAFloatWhateverTheDictionarySays) {
    EXPECT_EQ(valueText(flt(TAG_DEV_ID, 1.5f)), "=1.500000 ");
    EXPECT_EQ(valueText(flt(TAG_DEV_LABEL, 1.5f)), "=1.500000 ");
}

TEST(PrintTagValue, TypesWithoutAValuePrintOneSpace) {
    EXPECT_EQ(valueText(none(TAG_DEV_CFG)), " ");
    EXPECT_EQ(valueText(new VTag(TAG_DEV_ID, 5)), " ");
    EXPECT_EQ(valueText(new VTag(TAG_DEV_ID, 7)), " ");
    // Only the whole 32-bit code counts: 0x106 is not type 6.
    EXPECT_EQ(valueText(new VTagUInt32(TAG_DEV_ID, 42, 0x106)), " ");
    EXPECT_EQ(tagText(new VTag(TAG_DEV_ID, 7)), "TAG_DEV_ID ");
    EXPECT_EQ(tagText(none(TAG_BUS_EVT)), "TAG_BUS_EVT ");
}

TEST(PrintTagValue, TypeCodeTheTagsClassCannotHoldPrintsNoValue) {
    // Read through the class the code names, these would be read past the
    // end of the object.
    for (uint32_t type : {VTAG_STRING, VTAG_UINT32, VTAG_UINT16, VTAG_UINT8, VTAG_FLOAT})
        EXPECT_EQ(valueText(new VTag(TAG_DEV_LABEL, type)), " ") << type;
    VTag* narrow = new VTagUInt8(TAG_DEV_ID, 7);
    narrow->type = VTAG_UINT32;
    EXPECT_EQ(valueText(narrow), " ");
}

TEST(PrintTagValue, OnATerminalControlBytesOfAStringShowAsQuestionMarks) {
    std::unique_ptr<VTag> tag(str(TAG_DEV_LABEL, "\x01\x1B]0;x\x07\tz\x7F\xC3\xA9\"\x1F"));
    EXPECT_EQ(capture([&](MsgRequest& r) {
                  r.outIsTerminal = true;
                  r.printTagValue(tag.get());
              }),
              "=\"??]0;x? z?\xC3\xA9'?\" ");
}

TEST(PrintTagValue, StringIsQuotedWithTabLineFeedCarriageReturnAndQuoteCleaned) {
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, "Rack 1")), "=\"Rack 1\" ");
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, "")), "=\"\" ");
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, "a\tb\nc\rd\"e")), "=\"a b c d'e\" ");
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, "\"\"\t\t\n\r")), "=\"''    \" ");
}

TEST(PrintTagValue, StringKeepsEveryOtherByteAsItIs) {
    // Format directives, backslashes, control and high bytes pass untouched.
    const std::string other = "'%s%d%%\\=\x01\x0B\x0C\x1B\x7F\xC3\xA9\xFF ";
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, other)), "=\"" + other + "\" ");
}

TEST(PrintTagValue, LongStringIsCutTo127Characters) {
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, digits(127))), "=\"" + digits(127) + "\" ");
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, digits(128))), "=\"" + digits(127) + "\" ");
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, digits(300))), "=\"" + digits(127) + "\" ");
    // Cleaning covers the kept part up to its very last character.
    std::string s = digits(300);
    s[126] = '"';
    s[127] = '\t';
    EXPECT_EQ(valueText(str(TAG_DEV_LABEL, s)), "=\"" + digits(126) + "'\" ");
}

TEST(PrintTag, NamedIdsPrintTheirNameAndValue) {
    EXPECT_EQ(tagText(u8(TAG_ERR_TAGID, 0x2A)), "TAG_ERR_TAGID=2A ");
    EXPECT_EQ(tagText(u32(TAG_SITE_SVP_PORT, 60000)), "TAG_SITE_SVP_PORT=0000EA60 ");
}

TEST(PrintTag, IdWithoutNamePrintsTheErrorPairAndNoValue) {
    EXPECT_EQ(tagText(u32(182, 42)), "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=182 ");
    EXPECT_EQ(tagText(str(200, "text")), "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=200 ");
    EXPECT_EQ(tagText(flt(255, 1.5f)), "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=255 ");
    EXPECT_EQ(tagText(none(255)), "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=255 ");
}

TEST(PrintMsg, LineGoesOnAfterAnIdWithoutName) {
    EXPECT_EQ(line(1, {u32(TAG_SITE_SVP_PORT, 60000), u32(182, 42), str(255, "x"), none(TAG_DEV_CFG),
                       u8(TAG_DEV_STATE, 1)}),
              "GET: TAG_SITE_SVP_PORT=0000EA60 TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=182 "
              "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=255 TAG_DEV_CFG TAG_DEV_STATE=01 \n");
}

TEST(PrintMsg, EveryTypeCodeOnOneLine) {
    EXPECT_EQ(
        line(1, {none(TAG_DEV_CFG), str(TAG_DEV_LABEL, "a\"b\tc"), u32(TAG_DEV_ID, 0xFFFFFFFF),
                 bits(TAG_IO_GAIN, 1.5f, VTAG_UINT32), u16(TAG_NET_INPORT, 0xFFFF), u8(TAG_DEV_STATE, 0),
                 new VTag(TAG_DEV_ID, 5), flt(TAG_IO_OFFSET, -0.0f), new VTag(TAG_DEV_ID, 7)}),
        "GET: TAG_DEV_CFG TAG_DEV_LABEL=\"a'b c\" TAG_DEV_ID=FFFFFFFF TAG_IO_GAIN=1.500000 "
        "TAG_NET_INPORT=FFFF TAG_DEV_STATE=00 TAG_DEV_ID TAG_IO_OFFSET=-0.000000 TAG_DEV_ID \n");
}

// A message read in place prints the decoded message's very line: each value
// kind, the cleaning of a text on and off a terminal, its cut, a tag without
// a name and a message id without a header word; and it says the line is
// printable ASCII unless a text held another byte.
TEST(PrintInPlace, EveryValueKindAndEscapePrintsAsTheDecodedMessage) {
    using Bytes = std::vector<uint8_t>;
    auto text = [](uint8_t id, const std::string& t) {
        Bytes b = {id, 0x01, uint8_t(t.size() >> 8), uint8_t(t.size())};
        b.insert(b.end(), t.begin(), t.end());
        return b;
    };
    auto datagram = [](uint8_t msgId, std::initializer_list<Bytes> tags) {
        Bytes b = {0x01, msgId, 0x80, 0x00, uint8_t(tags.size())};
        for (const Bytes& t : tags) b.insert(b.end(), t.begin(), t.end());
        return b;
    };
    std::string longText = digits(300);
    longText[126] = '"';
    const struct {
        const char* what;
        Bytes wire;
        bool terminal;
        std::string line;
        bool printable = true;  // said to be printable ASCII
    } cases[] = {
        {"no value", datagram(1, {{TAG_DEV_CFG, 0x00}}), false, "GET: TAG_DEV_CFG \n"},
        {"uint8", datagram(1, {{TAG_DEV_STATE, 0x04, 0x0A}}), false, "GET: TAG_DEV_STATE=0A \n"},
        {"uint16", datagram(1, {{TAG_NET_INPORT, 0x03, 0xEA, 0x60}}), false, "GET: TAG_NET_INPORT=EA60 \n"},
        {"uint32", datagram(1, {{TAG_DEV_ID, 0x02, 0x00, 0x00, 0x00, 0x2A}}), false,
         "GET: TAG_DEV_ID=0000002A \n"},
        {"uint32 of a float tag", datagram(1, {{TAG_IO_GAIN, 0x02, 0x3F, 0xC0, 0x00, 0x00}}), false,
         "GET: TAG_IO_GAIN=1.500000 \n"},
        {"float", datagram(1, {{TAG_IO_OFFSET, 0x06, 0xC0, 0x20, 0x00, 0x00}}), false,
         "GET: TAG_IO_OFFSET=-2.500000 \n"},
        {"text cleaned", datagram(1, {text(TAG_DEV_LABEL, "a\tb\nc\rd\"e\x01\xC3\xA9")}), false,
         "GET: TAG_DEV_LABEL=\"a b c d'e\x01\xC3\xA9\" \n", false},
        {"text on a terminal", datagram(1, {text(TAG_DEV_LABEL, "\x1B]0;x\x07\x7F")}), true,
         "GET: TAG_DEV_LABEL=\"?]0;x??\" \n", false},
        {"text cut", datagram(1, {text(TAG_DEV_LABEL, longText)}), false,
         "GET: TAG_DEV_LABEL=\"" + digits(126) + "'\" \n"},
        {"empty text", datagram(5, {text(TAG_DEV_LABEL, "")}), false, "REP: TAG_DEV_LABEL=\"\" \n"},
        {"no name", datagram(2, {{200, 0x04, 0x01}, {TAG_DEV_STATE, 0x04, 0x01}}), false,
         "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=200 TAG_DEV_STATE=01 \n"},
        {"message id 9", datagram(9, {{TAG_DEV_STATE, 0x04, 0x01}}), false,
         "ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=9\n"},
        {"no tags", datagram(3, {}), false, "EVT: \n"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<VMsg> decoded(VMsg::parseMsg(c.wire.data(), uint16_t(c.wire.size())));
        ASSERT_NE(decoded, nullptr) << c.what;
        VMsgView view;
        ASSERT_TRUE(view.parse(c.wire.data(), uint16_t(c.wire.size()))) << c.what;
        std::string fromMessage, fromView = "kept ";
        appendMessageText(fromMessage, decoded.get(), c.terminal);
        EXPECT_EQ(appendMessageText(fromView, view, c.terminal), c.printable) << c.what;
        EXPECT_EQ(fromMessage, c.line) << c.what;
        EXPECT_EQ(fromView, "kept " + c.line) << c.what;
    }
}

TEST(LookupTagType, GivesTheDictionaryTypeOrZero) {
    MsgRequest req(MSG_GET);
    EXPECT_EQ(req.lookupTagType(TAG_BUS_EVT), 0u);
    EXPECT_EQ(req.lookupTagType(TAG_DEV_STATE), 4u);
    EXPECT_EQ(req.lookupTagType(TAG_DEV_ID), 2u);
    EXPECT_EQ(req.lookupTagType(TAG_DEV_LABEL), 1u);
    EXPECT_EQ(req.lookupTagType(TAG_IO_GAIN), 6u);
    EXPECT_EQ(req.lookupTagType(TAG_NET_INPORT), 3u);
    EXPECT_EQ(req.lookupTagType(TAG_SITE_SVP_PORT), 2u);
    EXPECT_EQ(req.lookupTagType(182), 0u);
    EXPECT_EQ(req.lookupTagType(255), 0u);
}

}  // namespace
