// Typed values: a reply's tags by the tag table's kinds, the wire tags that
// write them, and the names or ids callers give.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "axodict.h"
#include "tagengine.h"

using namespace tagengine;

namespace {

std::unique_ptr<VTag> floatBits(uint8_t id, float f, uint32_t type) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return std::make_unique<VTagUInt32>(id, bits, type);
}

}  // namespace

// Each case: a tag as a device may send it, and what a caller gets.
TEST(Values, ReplyTagsAreTypedByTheTableKind) {
    struct Case {
        const char* what;
        std::unique_ptr<VTag> tag;
        ValueKind kind;
        const char* text;
    };
    Case cases[] = {
        {"uint8 tag", std::make_unique<VTagUInt8>(AXO::TAG_DEV_STATE, 200), ValueKind::Integer, "200"},
        {"uint32 tag sent narrow", std::make_unique<VTagUInt8>(AXO::TAG_DEV_ID, 7), ValueKind::Integer, "7"},
        {"uint32 tag, largest", std::make_unique<VTagUInt32>(AXO::TAG_DEV_ID, 4294967295u),
         ValueKind::Integer, "4294967295"},
        {"float typed 6", floatBits(AXO::TAG_IO_SAMPLED_VALUE, 21.5f, VTAG_FLOAT), ValueKind::Float, "21.5"},
        {"float typed 2 by the dictionary", floatBits(AXO::TAG_IO_OFFSET, -0.1f, VTAG_UINT32),
         ValueKind::Float, "-0.1"},
        {"float sent for an integer tag", floatBits(AXO::TAG_DEV_ID, 1.5f, VTAG_FLOAT), ValueKind::Float,
         "1.5"},
        {"integer sent for a text tag", std::make_unique<VTagUInt16>(AXO::TAG_DEV_LABEL, 9),
         ValueKind::Integer, "9"},
        {"text", std::make_unique<VTagString>(AXO::TAG_DEV_LABEL, "Rack \xc3\xa9"), ValueKind::Text,
         "Rack \xc3\xa9"},
        {"empty text", std::make_unique<VTagString>(AXO::TAG_DEV_LABEL, ""), ValueKind::Text, ""},
        {"text not UTF-8", std::make_unique<VTagString>(AXO::TAG_DEV_LABEL, "a\xff"), ValueKind::Bytes,
         "61ff"},
        {"overlong UTF-8", std::make_unique<VTagString>(AXO::TAG_DEV_LABEL, "\xc0\xaf"), ValueKind::Bytes,
         "c0af"},
        {"UTF-16 surrogate", std::make_unique<VTagString>(AXO::TAG_DEV_LABEL, "\xed\xa0\x80"),
         ValueKind::Bytes, "eda080"},
        {"UTF-8 cut short", std::make_unique<VTagString>(AXO::TAG_DEV_LABEL, "\xe2\x82"), ValueKind::Bytes,
         "e282"},
        {"group tag", std::make_unique<VTag>(AXO::TAG_DEV_CFG, VTAG_NONE), ValueKind::None, ""},
    };
    for (const Case& c : cases) {
        Value v = valueOf(*c.tag);
        EXPECT_EQ(kindName(v.kind), std::string(kindName(c.kind))) << c.what;
        EXPECT_EQ(valueText(v), c.text) << c.what;
    }
}

// Each case: a value for a tag, and the wire tag it becomes (type code and
// what a device would read back), or the refusal.
TEST(Values, WriteTagsTakeTheTableTypeCodeOrAreRefused) {
    struct Case {
        uint8_t id;
        Value value;
        uint32_t type;      // 99: refused
        const char* shown;  // the tag read back as a value
    };
    const Case cases[] = {
        {AXO::TAG_DEV_STATE, integerValue(255), VTAG_UINT8, "255"},
        {AXO::TAG_DEV_STATE, integerValue(256), 99, ""},
        {AXO::TAG_DEV_ID, integerValue(4294967295u), VTAG_UINT32, "4294967295"},
        {AXO::TAG_DEV_ID, integerValue(4294967296u), 99, ""},
        {AXO::TAG_DEV_ID, floatValue(1), 99, ""},
        {AXO::TAG_DEV_ID, textValue("1"), 99, ""},
        {AXO::TAG_IO_OFFSET, floatValue(2.25), VTAG_FLOAT, "2.25"},
        {AXO::TAG_IO_OFFSET, integerValue(3), VTAG_FLOAT, "3"},
        {AXO::TAG_IO_OFFSET, textValue("3"), 99, ""},
        {AXO::TAG_DEV_LABEL, textValue("Rack 2"), VTAG_STRING, "Rack 2"},
        {AXO::TAG_DEV_LABEL, textValue("\xff"), VTAG_STRING, "ff"},
        {AXO::TAG_DEV_LABEL, textValue(std::string("a\0b", 3)), 99, ""},
        {AXO::TAG_DEV_LABEL, integerValue(1), 99, ""},
        {AXO::TAG_DEV_CFG, Value{}, 99, ""},
        {255, integerValue(1), 99, ""},
    };
    for (const Case& c : cases) {
        std::string label = std::to_string(c.id) + " " + kindName(c.value.kind) + " " + valueText(c.value);
        if (c.type == 99) {
            EXPECT_THROW(makeTag(c.id, c.value), std::invalid_argument) << label;
            continue;
        }
        std::unique_ptr<VTag> tag = makeTag(c.id, c.value);
        EXPECT_EQ(tag->tagId, c.id) << label;
        EXPECT_EQ(tag->type, c.type) << label;
        EXPECT_EQ(valueText(valueOf(*tag)), c.shown) << label;
    }
}

TEST(Values, TagsByNameInAnyCaseOrByDecimalId) {
    EXPECT_EQ(tagIdOf("TAG_DEV_LABEL"), 9);
    EXPECT_EQ(tagIdOf("tag_dev_label"), 9);
    EXPECT_EQ(tagIdOf("8"), 8);
    EXPECT_EQ(tagIdOf("181"), 181);
    for (const char* bad : {"", "182", "256", "-1", "8x", " 8", "TAG_NO_SUCH", "TAG_DEV_LABEL "})
        EXPECT_THROW(tagIdOf(bad), std::invalid_argument) << '"' << bad << '"';
}

TEST(Values, MessagesListEveryTagInOrderWithCopies) {
    VMsg reply(MSG_GET);
    reply.addTag(VTagFactory::createVTag(AXO::TAG_DEV_LABEL, "x"));
    reply.addTag(VTagFactory::createVTag(AXO::TAG_DEV_ID, uint32_t(5)));
    reply.addTag(VTagFactory::createVTag(AXO::TAG_DEV_LABEL, "y"));
    std::vector<TagValue> values = valuesOf(reply);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].id, AXO::TAG_DEV_LABEL);
    EXPECT_EQ(values[0].value.text, "x");
    EXPECT_EQ(values[1].value.integer, 5u);
    EXPECT_EQ(values[2].value.text, "y");
}
