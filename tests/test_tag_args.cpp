// Tag words: splitting NAME=value, the conversion of the value text by the
// name's kind, and the error line that collects refused names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "msg_request.h"

namespace {

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// addTagArg cuts its word in place, so each word gets its own writable copy.
bool addWord(MsgRequest& req, const std::string& word) {
    std::vector<char> text(word.begin(), word.end());
    text.push_back('\0');
    return req.addTagArg(text.data());
}

std::vector<VTag*> tagsOf(MsgRequest& req) {
    std::vector<VTag*> tags;
    req.msg->gotoFirst();
    while (VTag* t = req.msg->getTag()) tags.push_back(t);
    return tags;
}

std::string stringValue(VTag* t) {
    char buf[2048];
    static_cast<VTagString*>(t)->getValue(buf, sizeof buf);
    return buf;
}

// What printError writes, caught in a memory stream.
std::string printedError(MsgRequest& req) {
    char* data = nullptr;
    size_t size = 0;
    FILE* mem = open_memstream(&data, &size);
    req.out = mem;
    req.printError();
    fclose(mem);
    req.out = stdout;
    std::string text(data, size);
    free(data);
    return text;
}

const std::string FIRST = "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=";
const std::string NEXT = " TAG_ERR_TAGID=";

// ---------------------------------------------------------------------------

class SplitTagArg : public ::testing::Test {
protected:
    MsgRequest req{MSG_SET};
    char* name = nullptr;
    char* value = nullptr;
};

TEST_F(SplitTagArg, CutsAtTheFirstEqualsSignInPlace) {
    char word[] = "x=a=b";
    EXPECT_TRUE(req.splitTagArg(word, &name, &value));
    EXPECT_EQ(name, word);
    EXPECT_STREQ(name, "x");
    EXPECT_EQ(value, word + 2);
    EXPECT_STREQ(value, "a=b");
    EXPECT_EQ(word[1], '\0');
}

TEST_F(SplitTagArg, WordWithoutEqualsSignHasNoValue) {
    char word[] = "TAG_DEV_CFG";
    EXPECT_TRUE(req.splitTagArg(word, &name, &value));
    EXPECT_EQ(name, word);
    EXPECT_STREQ(name, "TAG_DEV_CFG");
    EXPECT_EQ(value, nullptr);
}

TEST_F(SplitTagArg, TrailingEqualsSignGivesEmptyValueNotNull) {
    char word[] = "TAG_DEV_LABEL=";
    EXPECT_TRUE(req.splitTagArg(word, &name, &value));
    EXPECT_STREQ(name, "TAG_DEV_LABEL");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
}

TEST_F(SplitTagArg, EmptyWordGivesEmptyNameAndNoValue) {
    char word[] = "";
    EXPECT_TRUE(req.splitTagArg(word, &name, &value));
    EXPECT_EQ(name, word);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(value, nullptr);
}

TEST_F(SplitTagArg, LeadingEqualsSignGivesEmptyName) {
    char word[] = "=x";
    EXPECT_TRUE(req.splitTagArg(word, &name, &value));
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(value, "x");
}

// ---------------------------------------------------------------------------

// Each conversion on a request of its own, holding the one tag it made.
class TagConversion : public ::testing::Test {
protected:
    VTag* convert(const std::string& word) {
        req = std::make_unique<MsgRequest>(MSG_SET);
        EXPECT_TRUE(addWord(*req, word)) << word;
        std::vector<VTag*> tags = tagsOf(*req);
        EXPECT_EQ(tags.size(), 1u) << word;
        return tags.empty() ? nullptr : tags[0];
    }
    uint8_t uint8Of(const std::string& word) {
        VTag* t = convert(word);
        if (!t || t->type != VTAG_UINT8) {
            ADD_FAILURE() << word << ": not an 8-bit tag";
            return 0xA5;
        }
        return static_cast<VTagUInt8*>(t)->getValue();
    }
    uint16_t uint16Of(const std::string& word) {
        VTag* t = convert(word);
        if (!t || t->type != VTAG_UINT16) {
            ADD_FAILURE() << word << ": not a 16-bit tag";
            return 0xA5A5;
        }
        return static_cast<VTagUInt16*>(t)->getValue();
    }
    uint32_t uint32Of(const std::string& word) {
        VTag* t = convert(word);
        if (!t || t->type != VTAG_UINT32) {
            ADD_FAILURE() << word << ": not a 32-bit tag";
            return 0xA5A5A5A5;
        }
        return static_cast<VTagUInt32*>(t)->getValue();
    }
    float floatOf(const std::string& word) {
        VTag* t = convert(word);
        if (!t || t->type != VTAG_FLOAT) {
            ADD_FAILURE() << word << ": not a float tag";
            return -12345.0f;
        }
        return static_cast<VTagUInt32*>(t)->getFloatValue();
    }
    std::string textOf(const std::string& word) {
        VTag* t = convert(word);
        if (!t || t->type != VTAG_STRING) {
            ADD_FAILURE() << word << ": not a string tag";
            return "<none>";
        }
        return stringValue(t);
    }

    std::unique_ptr<MsgRequest> req;
};

TEST_F(TagConversion, UInt8IsHexadecimalWithHighBitsDropped) {
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=1F"), 0x1F);
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=10"), 0x10);  // hexadecimal whatever its look
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=0x1f"), 0x1F);
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=1FF"), 0xFF);
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=100"), 0x00);  // cut, not clamped
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=123"), 0x23);
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=-1"), 0xFF);
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=+2A"), 0x2A);
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=0"), 0x00);
}

TEST_F(TagConversion, DigitsBeyond64BitsReadAsAllOnesBeforeTheCut) {
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=11111111111111111"), 0xFF);  // seventeen digits
    EXPECT_EQ(uint32Of("TAG_DEV_ID=11111111111111111"), 0xFFFFFFFFu);
    // Sixteen digits still fit: the low bits are the digits' own.
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=1111111111111111"), 0x11);
    // Unsigned: the top bit set does not saturate as a signed read would.
    EXPECT_EQ(uint8Of("TAG_DEV_STATE=8000000000000001"), 0x01);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=FFFFFFFF00000002"), 2u);
}

TEST_F(TagConversion, UInt16IsHexadecimalWithHighBitsDropped) {
    VTag* t = convert("TAG_NET_INPORT=1F90");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->tagId, 109);
    EXPECT_EQ(t->type, 3u);
    EXPECT_EQ(static_cast<VTagUInt16*>(t)->getValue(), 8080);
    EXPECT_EQ(uint16Of("TAG_NET_OUTPORT=FFFF"), 0xFFFF);
    EXPECT_EQ(uint16Of("TAG_NET_OUTPORT=12345"), 0x2345);
    EXPECT_EQ(uint16Of("TAG_BUS_BAUD=-1"), 0xFFFF);
}

TEST_F(TagConversion, UInt32IsHexadecimalWithHighBitsDropped) {
    VTag* t = convert("TAG_DEV_ID=0x2A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->tagId, 8);
    EXPECT_EQ(t->type, 2u);
    EXPECT_EQ(static_cast<VTagUInt32*>(t)->getValue(), 42u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=2A"), 42u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=100000000"), 0u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=123456789"), 0x23456789u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=-1"), 0xFFFFFFFFu);
}

TEST_F(TagConversion, IntegersReadAsFarAsTheDigitsGo) {
    EXPECT_EQ(uint32Of("TAG_DEV_ID= 2A"), 42u);  // leading blanks skipped
    EXPECT_EQ(uint32Of("TAG_DEV_ID=\t 2A"), 42u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=2Azz"), 42u);  // stops at the first non-digit
    EXPECT_EQ(uint32Of("TAG_DEV_ID=2A 3B"), 42u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=zz"), 0u);  // no digits at all
    EXPECT_EQ(uint32Of("TAG_DEV_ID="), 0u);
    EXPECT_EQ(uint32Of("TAG_DEV_ID=0x"), 0u);
}

TEST_F(TagConversion, FloatIsReadByStrtodAndNarrowed) {
    VTag* t = convert("TAG_IO_GAIN=1.5");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->tagId, 51);
    EXPECT_EQ(t->type, 6u);
    EXPECT_EQ(static_cast<VTagUInt32*>(t)->getFloatValue(), 1.5f);
    EXPECT_EQ(bitsOf(floatOf("TAG_IO_GAIN=abc")), bitsOf(0.0f));
    EXPECT_EQ(floatOf("TAG_IO_GAIN=0x10"), 16.0f);
    EXPECT_EQ(floatOf("TAG_IO_GAIN=-2.25"), -2.25f);
    EXPECT_EQ(floatOf("TAG_IO_GAIN=1.5e2"), 150.0f);
    EXPECT_EQ(floatOf("TAG_IO_GAIN= 3.5xyz"), 3.5f);
    EXPECT_EQ(floatOf("TAG_IO_GAIN=0.1"), 0.1f);
    EXPECT_EQ(floatOf("TAG_IO_GAIN=3.4028234e38"), std::numeric_limits<float>::max());
    // Just above halfway between 1 and the next float: read as a double it
    // lands on the halfway point and narrows to even, 1.0; a direct
    // single-precision read would round up.
    EXPECT_EQ(floatOf("TAG_IO_GAIN=1.000000059604644775390625000001"), 1.0f);
}

TEST_F(TagConversion, FloatBeyondSinglePrecisionBecomesInfinity) {
    EXPECT_EQ(floatOf("TAG_IO_GAIN=1e40"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(floatOf("TAG_IO_GAIN=-1e40"), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(floatOf("TAG_IO_GAIN=inf"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(floatOf("TAG_IO_GAIN=-INF"), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(floatOf("TAG_IO_GAIN=nan")));
    EXPECT_TRUE(std::isnan(floatOf("TAG_IO_GAIN=NAN")));
}

TEST_F(TagConversion, StringKeepsTheTextAsTyped) {
    VTag* t = convert("TAG_DEV_LABEL=Rack 1");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->tagId, 9);
    EXPECT_EQ(t->type, 1u);
    EXPECT_EQ(stringValue(t), "Rack 1");
    EXPECT_EQ(textOf("TAG_DEV_LABEL="), "");
    EXPECT_EQ(textOf("TAG_DEV_LABEL=a=b"), "a=b");
    EXPECT_EQ(textOf("TAG_DEV_LABEL= 2A "), " 2A ");
    EXPECT_EQ(textOf("TAG_DEV_LABEL=\"quoted\"\ttab"), "\"quoted\"\ttab");
}

TEST_F(TagConversion, NoneKindIgnoresAnyValue) {
    for (const char* word : {"TAG_DEV_CFG", "TAG_DEV_CFG=99", "TAG_DEV_CFG=", "tag_dev_cfg=x=y"}) {
        VTag* t = convert(word);
        ASSERT_NE(t, nullptr) << word;
        EXPECT_EQ(t->tagId, 5) << word;
        EXPECT_EQ(t->type, 0u) << word;
    }
}

TEST_F(TagConversion, BareNameOfValueKindConvertsAsEmptyText) {
    EXPECT_EQ(uint8Of("TAG_DEV_STATE"), 0);
    EXPECT_EQ(uint16Of("TAG_NET_INPORT"), 0);
    EXPECT_EQ(uint32Of("TAG_DEV_ID"), 0u);
    EXPECT_EQ(bitsOf(floatOf("TAG_IO_GAIN")), bitsOf(0.0f));
    EXPECT_EQ(textOf("TAG_DEV_LABEL"), "");
}

TEST_F(TagConversion, NameIsMatchedWithoutRegardToCase) {
    VTag* t = convert("tag_dev_id=2A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->tagId, 8);
    EXPECT_EQ(t->type, 2u);
    EXPECT_EQ(static_cast<VTagUInt32*>(t)->getValue(), 42u);
}

TEST(TagWords, TagsFollowTheWordsAndRepeatsAreKept) {
    MsgRequest req(MSG_SET);
    EXPECT_TRUE(addWord(req, "TAG_DEV_ID=1"));
    EXPECT_TRUE(addWord(req, "TAG_DEV_CFG"));
    EXPECT_TRUE(addWord(req, "TAG_DEV_ID=2"));
    std::vector<VTag*> tags = tagsOf(req);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[0]->tagId, 8);
    EXPECT_EQ(static_cast<VTagUInt32*>(tags[0])->getValue(), 1u);
    EXPECT_EQ(tags[1]->tagId, 5);
    EXPECT_EQ(tags[2]->tagId, 8);
    EXPECT_EQ(static_cast<VTagUInt32*>(tags[2])->getValue(), 2u);
    EXPECT_FALSE(req.hasError());
    EXPECT_STREQ(req.errorText, "");
}

TEST(TagWords, NewRequestHasSequenceZeroFlaggedLastAndNoError) {
    MsgRequest req(MSG_GET);
    ASSERT_NE(req.msg, nullptr);
    EXPECT_EQ(req.msg->msgId, 1);
    EXPECT_EQ(req.msg->sequence, 0x80);
    EXPECT_TRUE(req.msg->isLastSegment());
    EXPECT_EQ(req.msg->tagCount(), 0u);
    EXPECT_FALSE(req.hasError());
    EXPECT_FALSE(req.errorFlag);
    EXPECT_EQ(req.errorText[0], '\0');
}

// ---------------------------------------------------------------------------

class ErrorLine : public ::testing::Test {
protected:
    MsgRequest req{MSG_SET};
};

TEST_F(ErrorLine, NamesEveryRefusedWordAndKeepsTheKnownTag) {
    EXPECT_FALSE(addWord(req, "FOO=1"));
    EXPECT_FALSE(addWord(req, "TAG_DEV_ID=2A"));
    EXPECT_FALSE(addWord(req, "BAR"));
    EXPECT_TRUE(req.hasError());
    EXPECT_STREQ(req.errorText, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=FOO TAG_ERR_TAGID=BAR");
    EXPECT_EQ(printedError(req), "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=FOO TAG_ERR_TAGID=BAR\n");

    std::vector<VTag*> tags = tagsOf(req);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0]->tagId, 8);
    ASSERT_EQ(tags[0]->type, 2u);
    EXPECT_EQ(static_cast<VTagUInt32*>(tags[0])->getValue(), 42u);
}

TEST_F(ErrorLine, AddTagArgTurnsFalseAtTheFirstRefusalAndStaysFalse) {
    EXPECT_TRUE(addWord(req, "TAG_DEV_ID=1"));
    EXPECT_TRUE(addWord(req, "TAG_DEV_CFG"));
    EXPECT_FALSE(req.hasError());
    EXPECT_FALSE(addWord(req, "NOPE"));
    EXPECT_TRUE(req.hasError());
    EXPECT_FALSE(addWord(req, "TAG_DEV_LABEL=x"));
    EXPECT_FALSE(addWord(req, "TAG_DEV_CFG"));
    EXPECT_EQ(tagsOf(req).size(), 4u);
    EXPECT_STREQ(req.errorText, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=NOPE");
}

TEST_F(ErrorLine, EchoesTheNameAsTypedWithoutItsValue) {
    EXPECT_FALSE(addWord(req, "tag_dev_idx=2A"));
    EXPECT_FALSE(addWord(req, "Foo=a=b"));
    EXPECT_STREQ(req.errorText, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=tag_dev_idx TAG_ERR_TAGID=Foo");
}

TEST_F(ErrorLine, EmptyNameLeavesNothingBehindItsKey) {
    EXPECT_FALSE(addWord(req, ""));
    EXPECT_STREQ(req.errorText, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=");
    EXPECT_FALSE(addWord(req, "=5"));
    EXPECT_STREQ(req.errorText, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID= TAG_ERR_TAGID=");
    EXPECT_EQ(printedError(req), "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID= TAG_ERR_TAGID=\n");
    EXPECT_EQ(tagsOf(req).size(), 0u);
}

TEST_F(ErrorLine, LaterNameLongerThan64CharactersIsAppendedWhole) {
    const std::string longName(100, 'L');
    EXPECT_FALSE(addWord(req, "FOO"));
    EXPECT_FALSE(addWord(req, longName + "=1"));
    EXPECT_EQ(std::string(req.errorText), FIRST + "FOO" + NEXT + longName);
}

TEST_F(ErrorLine, FirstNameFillingTheLineExactlyFitsWhole) {
    const std::string name(1023 - FIRST.size(), 'N');  // 982 characters
    EXPECT_FALSE(addWord(req, name));
    EXPECT_EQ(std::string(req.errorText), FIRST + name);
    EXPECT_EQ(std::strlen(req.errorText), 1023u);
}

TEST_F(ErrorLine, OverlongLineIsCutAt1023Characters) {
    std::string whole = FIRST + "FOO";
    EXPECT_FALSE(addWord(req, "FOO"));
    for (int i = 0; i < 40; ++i) {
        std::string name = "NAME" + std::to_string(i) + std::string(40, 'x');
        EXPECT_FALSE(addWord(req, name + "=1"));
        whole += NEXT + name;
    }
    ASSERT_GT(whole.size(), 1023u);
    EXPECT_EQ(std::strlen(req.errorText), 1023u);
    EXPECT_EQ(req.errorText[1023], '\0');
    EXPECT_EQ(std::string(req.errorText), whole.substr(0, 1023));
    EXPECT_EQ(std::strchr(req.errorText, '\n'), nullptr);
    EXPECT_EQ(printedError(req), whole.substr(0, 1023) + "\n");

    // A full line stays as it is.
    EXPECT_FALSE(addWord(req, "MORE"));
    EXPECT_EQ(std::string(req.errorText), whole.substr(0, 1023));
}

TEST_F(ErrorLine, OverlongFirstNameIsCutAt1023Characters) {
    const std::string name(2000, 'F');
    EXPECT_FALSE(addWord(req, name));
    EXPECT_EQ(std::strlen(req.errorText), 1023u);
    EXPECT_EQ(req.errorText[1023], '\0');
    EXPECT_EQ(std::string(req.errorText), (FIRST + name).substr(0, 1023));
    EXPECT_EQ(printedError(req), (FIRST + name).substr(0, 1023) + "\n");

    EXPECT_FALSE(addWord(req, "BAR"));
    EXPECT_EQ(std::strlen(req.errorText), 1023u);
}

}  // namespace
