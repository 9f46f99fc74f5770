// The message library: value round trips, the sequence byte, the exact wire
// bytes (docs/wire-format.md), segment merging, the encoder's capacity limit
// and the decoder's handling of bytes that are not one valid message.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vmsg.h"

namespace {

using Bytes = std::vector<uint8_t>;
using MsgPtr = std::unique_ptr<VMsg>;

constexpr uint16_t DATAGRAM = 1024;  // the client's send and receive buffer
constexpr uint16_t MAX_CAPACITY = 0xFFFF;

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

float floatOf(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Encodes with the given capacity; empty when the encoder refuses.
Bytes encode(const VMsg& m, uint16_t capacity = DATAGRAM) {
    Bytes buf(capacity ? capacity : 1);
    uint16_t n = m.getMsg(buf.data(), capacity);
    buf.resize(n);
    return buf;
}

// Decodes from a heap copy of exactly n bytes, so that any read past the end
// is caught by AddressSanitizer rather than landing in a larger buffer.
MsgPtr decode(const uint8_t* p, size_t n) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
    if (n) std::memcpy(copy.get(), p, n);
    return MsgPtr(VMsg::parseMsg(copy.get(), uint16_t(n)));
}

MsgPtr decode(const Bytes& b) { return decode(b.data(), b.size()); }

// What a tag carries, read through the class its type code names. A decoder
// that built the wrong class for a type code fails the dynamic_cast.
struct TagView {
    uint8_t id;
    uint32_t type;
    uint32_t number;
    std::string text;
    bool operator==(const TagView&) const = default;
};

void PrintTo(const TagView& v, std::ostream* os) {
    *os << "{id " << int(v.id) << ", type " << v.type << ", number 0x" << std::hex << v.number << std::dec
        << ", text \"" << v.text << "\" (" << v.text.size() << " bytes)}";
}

TagView viewOf(const VTag* t) {
    TagView v{t->tagId, t->type, 0, {}};
    switch (t->type) {
    case VTAG_STRING: {
        auto* s = dynamic_cast<const VTagString*>(t);
        EXPECT_NE(s, nullptr) << "type 1 tag is not a VTagString";
        if (s) v.text = s->text();
        break;
    }
    case VTAG_UINT8: {
        auto* u = dynamic_cast<const VTagUInt8*>(t);
        EXPECT_NE(u, nullptr) << "type 4 tag is not a VTagUInt8";
        if (u) v.number = u->getValue();
        break;
    }
    case VTAG_UINT16: {
        auto* u = dynamic_cast<const VTagUInt16*>(t);
        EXPECT_NE(u, nullptr) << "type 3 tag is not a VTagUInt16";
        if (u) v.number = u->getValue();
        break;
    }
    case VTAG_UINT32:
    case VTAG_FLOAT: {
        auto* u = dynamic_cast<const VTagUInt32*>(t);
        EXPECT_NE(u, nullptr) << "type " << t->type << " tag is not a VTagUInt32";
        if (u) v.number = u->getValue();
        break;
    }
    default: break;
    }
    return v;
}

std::vector<TagView> tagsOf(VMsg& m) {
    std::vector<TagView> out;
    m.gotoFirst();
    while (VTag* t = m.getTag()) out.push_back(viewOf(t));
    m.gotoFirst();
    return out;
}

// Encodes, decodes and checks that the copy has the same header and tags and
// encodes to the same bytes again.
MsgPtr roundTrip(VMsg& m) {
    Bytes wire = encode(m, MAX_CAPACITY);
    EXPECT_FALSE(wire.empty()) << "encoder refused the message";
    MsgPtr back = decode(wire);
    EXPECT_NE(back, nullptr) << "decoder refused the encoder's bytes";
    if (!back) return back;
    EXPECT_EQ(back->msgId, m.msgId);
    EXPECT_EQ(back->sequence, m.sequence);
    EXPECT_EQ(tagsOf(*back), tagsOf(m));
    EXPECT_EQ(encode(*back, MAX_CAPACITY), wire);
    return back;
}

VTagUInt32* uint32At(VMsg& m, size_t index) {
    m.gotoFirst();
    VTag* t = nullptr;
    for (size_t i = 0; i <= index; ++i) t = m.getTag();
    m.gotoFirst();
    return dynamic_cast<VTagUInt32*>(t);
}

// ---------------------------------------------------------------------------
// Round trips of every type code at its boundaries

TEST(RoundTrip, UInt8_KeepsZeroAndMax) {
    VMsg m(0);
    m.addTag(VTagFactory::createVTag(6, uint8_t(0)));
    m.addTag(VTagFactory::createVTag(7, uint8_t(255)));
    m.addTag(VTagFactory::createVTag(10, uint8_t(0x80)));
    EXPECT_EQ(tagsOf(m)[0].type, 4u);
    roundTrip(m);
}

TEST(RoundTrip, UInt16_KeepsZeroAndMax) {
    VMsg m(0);
    m.addTag(VTagFactory::createVTag(109, uint16_t(0)));
    m.addTag(VTagFactory::createVTag(109, uint16_t(65535)));
    m.addTag(VTagFactory::createVTag(109, uint16_t(0x0100)));
    m.addTag(VTagFactory::createVTag(109, uint16_t(0x00FF)));
    EXPECT_EQ(tagsOf(m)[0].type, 3u);
    roundTrip(m);
}

TEST(RoundTrip, UInt32_KeepsZeroAndMax) {
    VMsg m(0);
    m.addTag(VTagFactory::createVTag(8, uint32_t(0)));
    m.addTag(VTagFactory::createVTag(8, uint32_t(0xFFFFFFFF)));
    m.addTag(VTagFactory::createVTag(8, uint32_t(0x80000000)));
    m.addTag(VTagFactory::createVTag(8, uint32_t(0x01020304)));
    EXPECT_EQ(tagsOf(m)[0].type, 2u);
    roundTrip(m);
}

TEST(RoundTrip, None_KeepsIdAndCarriesNoValue) {
    VMsg m(0);
    for (uint8_t id : {0, 5, 181, 255}) m.addTag(VTagFactory::createVTag(id));
    EXPECT_EQ(tagsOf(m)[0].type, 0u);
    MsgPtr back = roundTrip(m);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->tagCount(), 4u);
}

TEST(RoundTrip, Float_KeepsSignedZeroExtremesAndInfinities) {
    const float values[] = {0.0f,
                            -0.0f,
                            1.5f,
                            -273.15f,
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::lowest(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
    VMsg m(0);
    for (float f : values) m.addTag(VTagFactory::createVTag(51, f, false));
    MsgPtr back = roundTrip(m);
    ASSERT_NE(back, nullptr);
    for (size_t i = 0; i < std::size(values); ++i) {
        VTagUInt32* t = uint32At(*back, i);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->type, 6u);
        EXPECT_EQ(t->getValue(), bitsOf(values[i])) << "value #" << i;
        EXPECT_EQ(bitsOf(t->getFloatValue()), bitsOf(values[i])) << "value #" << i;
    }
}

TEST(RoundTrip, Float_KeepsExactNaNBitPatterns) {
    // A quiet NaN with a payload, a signalling NaN (which a trip through float
    // arithmetic would quieten to 0x7FC00001) and a negative quiet NaN.
    const uint32_t nans[] = {0x7FC12345, 0x7F800001, 0xFFC00001};
    VMsg m(0);
    for (uint32_t bits : nans) m.addTag(VTagFactory::createVTag(51, floatOf(bits), false));
    for (size_t i = 0; i < std::size(nans); ++i) {
        VTagUInt32* made = uint32At(m, i);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->getValue(), nans[i]) << std::hex << "factory changed NaN 0x" << nans[i];
    }
    MsgPtr back = roundTrip(m);
    ASSERT_NE(back, nullptr);
    for (size_t i = 0; i < std::size(nans); ++i) {
        VTagUInt32* t = uint32At(*back, i);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->getValue(), nans[i]);
        EXPECT_EQ(bitsOf(t->getFloatValue()), nans[i]);
    }
}

TEST(RoundTrip, FloatFactory_DictTypedSendsType2WithTheSameBits) {
    VMsg m(0);
    m.addTag(VTagFactory::createVTag(51, 1.5f, true));
    m.addTag(VTagFactory::createVTag(51, floatOf(0x7F800001), true));
    m.addTag(VTagFactory::createVTag(51, 1.5f, false));
    EXPECT_EQ(tagsOf(m), (std::vector<TagView>{
                             {51, 2, 0x3FC00000, {}}, {51, 2, 0x7F800001, {}}, {51, 6, 0x3FC00000, {}}}));
    MsgPtr back = roundTrip(m);
    ASSERT_NE(back, nullptr);
    VTagUInt32* t = uint32At(*back, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->getFloatValue(), 1.5f);
}

TEST(RoundTrip, String_KeepsEmptyLongAndAwkwardBytes) {
    const std::string awkward = std::string("tab\there\nline\rcr\"dq'sq\\bs ") + "\x80\xFF\xC3\xA9\x01\x7F";
    const std::string long300(300, 'x');
    std::string allNonNul;
    for (int c = 1; c < 256; ++c) allNonNul += char(c);

    VMsg m(0);
    m.addTag(VTagFactory::createVTag(9, ""));
    m.addTag(VTagFactory::createVTag(9, static_cast<const char*>(nullptr)));  // null is the empty text
    m.addTag(VTagFactory::createVTag(9, long300.c_str()));
    m.addTag(VTagFactory::createVTag(21, awkward.c_str()));
    m.addTag(new VTagString(21, allNonNul.data(), allNonNul.size()));
    EXPECT_EQ(tagsOf(m)[0].type, 1u);
    MsgPtr back = roundTrip(m);
    ASSERT_NE(back, nullptr);
    auto tags = tagsOf(*back);
    ASSERT_EQ(tags.size(), 5u);
    EXPECT_EQ(tags[0].text, "");
    EXPECT_EQ(tags[1].text, "");
    EXPECT_EQ(tags[2].text, long300);
    EXPECT_EQ(tags[3].text, awkward);
    EXPECT_EQ(tags[4].text, allNonNul);
}

TEST(RoundTrip, Header_KeepsMsgIdAndWholeSequenceByte) {
    const std::pair<uint8_t, uint8_t> headers[] = {{0, 0x00}, {1, 0x80},   {5, 0x7F},
                                                   {2, 0xFF}, {255, 0x85}, {3, 0x01}};
    for (auto [id, seq] : headers) {
        SCOPED_TRACE(testing::Message() << "msgId " << int(id) << " sequence " << int(seq));
        VMsg m(id);
        m.sequence = seq;
        m.addTag(VTagFactory::createVTag(5));
        MsgPtr back = roundTrip(m);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->isLastSegment(), (seq & 0x80) != 0);
    }
}

TEST(RoundTrip, TagOrderKeptWithMixedTypesAndRepeatedIds) {
    VMsg m(5);
    m.addTag(VTagFactory::createVTag(181, uint32_t(7)));
    m.addTag(VTagFactory::createVTag(0));
    m.addTag(VTagFactory::createVTag(9, "first"));
    m.addTag(VTagFactory::createVTag(6, uint8_t(1)));
    m.addTag(VTagFactory::createVTag(9, "second"));
    m.addTag(VTagFactory::createVTag(109, uint16_t(2)));
    m.addTag(VTagFactory::createVTag(51, 2.0f, false));
    m.addTag(VTagFactory::createVTag(6, uint8_t(3)));
    MsgPtr back = roundTrip(m);
    ASSERT_NE(back, nullptr);
    std::vector<uint8_t> ids;
    for (const TagView& v : tagsOf(*back)) ids.push_back(v.id);
    EXPECT_EQ(ids, (std::vector<uint8_t>{181, 0, 9, 6, 9, 109, 51, 6}));
}

// Messages of random tags, values and header bytes survive the trip whole.
TEST(RoundTrip, RandomMessagesSurvive) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 2000; ++round) {
        VMsg m{uint8_t(rng())};
        m.sequence = uint8_t(rng());
        int n = int(rng() % 20);
        for (int i = 0; i < n; ++i) {
            uint8_t id = uint8_t(rng());
            switch (rng() % 7) {
            case 0: m.addTag(VTagFactory::createVTag(id)); break;
            case 1: m.addTag(VTagFactory::createVTag(id, uint8_t(rng()))); break;
            case 2: m.addTag(VTagFactory::createVTag(id, uint16_t(rng()))); break;
            case 3: m.addTag(VTagFactory::createVTag(id, uint32_t(rng()))); break;
            case 4: m.addTag(VTagFactory::createVTag(id, floatOf(uint32_t(rng())), false)); break;
            case 5: m.addTag(VTagFactory::createVTag(id, floatOf(uint32_t(rng())), true)); break;
            default: {
                std::string s(rng() % 40, '\0');
                for (char& c : s) c = char(1 + rng() % 255);
                m.addTag(new VTagString(id, s.data(), s.size()));
            }
            }
        }
        SCOPED_TRACE(round);
        roundTrip(m);
        if (HasFailure()) return;
    }
}

// ---------------------------------------------------------------------------
// The sequence byte and its last-segment flag

TEST(Sequence, NewMessageHasSequenceZeroAndIsNotLast) {
    VMsg m(1);
    EXPECT_EQ(m.sequence, 0);
    EXPECT_FALSE(m.isLastSegment());
}

TEST(Sequence, ZeroThenSetLastGivesExactly0x80) {
    VMsg m(1);
    m.sequence = 0x35;
    m.sequence = 0;
    m.setLastSegment(true);
    EXPECT_EQ(m.sequence, 0x80);
    EXPECT_TRUE(m.isLastSegment());
    m.setLastSegment(true);
    EXPECT_EQ(m.sequence, 0x80) << "setting the flag twice must not change the byte";
}

TEST(Sequence, SetLastLeavesTheLowSevenBitsAlone) {
    for (int low = 0; low < 0x80; ++low) {
        VMsg m(1);
        m.sequence = uint8_t(low);
        m.setLastSegment(true);
        EXPECT_EQ(m.sequence, 0x80 | low);
        m.setLastSegment(false);
        EXPECT_EQ(m.sequence, low);
        EXPECT_FALSE(m.isLastSegment());
    }
}

TEST(Sequence, ClearLastClearsOnlyTheTopBit) {
    VMsg m(1);
    m.sequence = 0xFF;
    m.setLastSegment(false);
    EXPECT_EQ(m.sequence, 0x7F);
    m.sequence = 0x85;
    m.setLastSegment(false);
    EXPECT_EQ(m.sequence, 0x05);
    m.setLastSegment(false);
    EXPECT_EQ(m.sequence, 0x05);
}

// ---------------------------------------------------------------------------
// Exact wire bytes

TEST(Golden, EveryTypeCodeEncodesToTheDocumentedBytes) {
    VMsg m(5);
    m.sequence = 0x83;
    m.addTag(VTagFactory::createVTag(6, uint8_t(0xFE)));
    m.addTag(VTagFactory::createVTag(109, uint16_t(0xABCD)));
    m.addTag(VTagFactory::createVTag(8, uint32_t(0x01020304)));
    m.addTag(VTagFactory::createVTag(51, 1.5f, false));
    m.addTag(VTagFactory::createVTag(5));
    m.addTag(VTagFactory::createVTag(9, "ab"));
    m.addTag(VTagFactory::createVTag(255, ""));
    const Bytes golden = {
        0x01,                                // format
        0x05,                                // msgId
        0x83,                                // sequence: last-segment flag | sequence number 3
        0x00, 0x07,                          // tag count 7
        0x06, 0x04, 0xFE,                    // id 6, type 4 (uint8), value 0xFE
        0x6D, 0x03, 0xAB, 0xCD,              // id 109, type 3 (uint16), value 0xABCD
        0x08, 0x02, 0x01, 0x02, 0x03, 0x04,  // id 8, type 2 (uint32), value 0x01020304
        0x33, 0x06, 0x3F, 0xC0, 0x00, 0x00,  // id 51, type 6 (float), 1.5f = 0x3FC00000
        0x05, 0x00,                          // id 5, type 0 (no value)
        0x09, 0x01, 0x00, 0x02, 'a',  'b',   // id 9, type 1 (string), length 2, "ab"
        0xFF, 0x01, 0x00, 0x00,              // id 255, type 1, length 0
    };
    EXPECT_EQ(encode(m), golden);

    // And the decoder reads the same bytes back to the same values.
    MsgPtr back = decode(golden);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->msgId, 5);
    EXPECT_EQ(back->sequence, 0x83);
    EXPECT_EQ(tagsOf(*back), tagsOf(m));
}

TEST(Golden, LengthAndCountFieldsAreBigEndian) {
    VMsg m(0);
    const std::string s(300, 'z');
    m.addTag(VTagFactory::createVTag(9, s.c_str()));
    Bytes wire = encode(m);
    ASSERT_EQ(wire.size(), 5u + 4u + 300u);
    const Bytes head = {
        0x01, 0x00, 0x00,  // format, msgId, sequence
        0x00, 0x01,        // tag count 1
        0x09, 0x01,        // id 9, type 1 (string)
        0x01, 0x2C,        // length 300
    };
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 9), head);

    VMsg many(0);
    for (int i = 0; i < 258; ++i) many.addTag(VTagFactory::createVTag(uint8_t(i)));
    wire = encode(many);
    ASSERT_EQ(wire.size(), 5u + 2u * 258u);
    EXPECT_EQ(wire[3], 0x01);  // tag count 258, high byte
    EXPECT_EQ(wire[4], 0x02);  // low byte
}

// The worked example of docs/wire-format.md, byte for byte.
TEST(Golden, MatchesTheWorkedExampleOfTheWireFormatPage) {
    VMsg m(1);  // GET
    m.sequence = 0;
    m.setLastSegment(true);
    m.addTag(VTagFactory::createVTag(8, uint32_t(42)));  // TAG_DEV_ID
    m.addTag(VTagFactory::createVTag(9, "Rack 1"));      // TAG_DEV_LABEL
    const Bytes golden = {
        0x01,                                // format
        0x01,                                // msgId 1 (GET)
        0x80,                                // sequence: last segment, number 0
        0x00, 0x02,                          // tag count 2
        0x08, 0x02, 0x00, 0x00, 0x00, 0x2A,  // TAG_DEV_ID, type 2, 42
        0x09, 0x01, 0x00, 0x06,              // TAG_DEV_LABEL, type 1, length 6
        'R',  'a',  'c',  'k',  ' ',  '1',   // "Rack 1"
    };
    EXPECT_EQ(encode(m), golden);
    EXPECT_EQ(golden.size(), 21u);
}

TEST(Golden, EncodedSizesPerTagType) {
    auto sizeWith = [](VTag* t) {
        VMsg m(1);
        m.addTag(t);
        return encode(m).size();
    };
    EXPECT_EQ(encode(VMsg(1)).size(), 5u);                                         // header only
    EXPECT_EQ(sizeWith(VTagFactory::createVTag(5)), 5u + 2u);                      // type 0
    EXPECT_EQ(sizeWith(VTagFactory::createVTag(6, uint8_t(1))), 5u + 3u);          // type 4
    EXPECT_EQ(sizeWith(VTagFactory::createVTag(109, uint16_t(1))), 5u + 4u);       // type 3
    EXPECT_EQ(sizeWith(VTagFactory::createVTag(8, uint32_t(1))), 5u + 6u);         // type 2
    EXPECT_EQ(sizeWith(VTagFactory::createVTag(51, 1.0f, false)), 5u + 6u);        // type 6
    EXPECT_EQ(sizeWith(VTagFactory::createVTag(9, "0123456789")), 5u + 4u + 10u);  // type 1
}

// ---------------------------------------------------------------------------
// Merging reply segments

VMsg* segment(uint8_t msgId, std::initializer_list<uint8_t> u8Values) {
    auto* m = new VMsg(msgId);
    for (uint8_t v : u8Values) m->addTag(VTagFactory::createVTag(6, v));
    return m;
}

TEST(AddSegment, KeepsTagOrderAcrossThreeSegments) {
    VMsg reply(1);
    std::unique_ptr<VMsg> s1(segment(1, {1, 2})), s2(segment(1, {3})), s3(segment(1, {4, 5, 6}));
    reply.addSegment(s1.get());
    reply.addSegment(s2.get());
    reply.addSegment(s3.get());
    std::vector<uint32_t> values;
    for (const TagView& v : tagsOf(reply)) values.push_back(v.number);
    EXPECT_EQ(values, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(s2->tagCount(), 1u) << "the segment itself must be left as it was";
}

TEST(AddSegment, TakesOverTheSegmentsMsgId) {
    VMsg reply(1);
    std::unique_ptr<VMsg> err(segment(2, {7}));
    reply.addSegment(err.get());
    EXPECT_EQ(reply.msgId, 2);
}

// Every type, with values that a lossy copy would change, outlives the
// segment it came from (run under AddressSanitizer to catch dangling tags).
TEST(AddSegment, MergedTagsStayValidAfterTheSegmentIsDeleted) {
    VMsg reply(1);
    auto* seg = new VMsg(1);
    seg->addTag(VTagFactory::createVTag(5));
    seg->addTag(VTagFactory::createVTag(6, uint8_t(0xFF)));
    seg->addTag(VTagFactory::createVTag(109, uint16_t(0xFFFF)));
    seg->addTag(VTagFactory::createVTag(8, uint32_t(0xDEADBEEF)));
    seg->addTag(VTagFactory::createVTag(51, floatOf(0x7F800001), false));
    seg->addTag(VTagFactory::createVTag(51, floatOf(0x7F800001), true));
    seg->addTag(VTagFactory::createVTag(9, std::string(100, 'q').c_str()));
    const std::vector<TagView> expected = tagsOf(*seg);
    reply.addSegment(seg);
    delete seg;
    EXPECT_EQ(tagsOf(reply), expected);
    roundTrip(reply);
}

TEST(AddSegment, SameSegmentTwiceAppendsItsTagsTwice) {
    VMsg reply(1);
    std::unique_ptr<VMsg> s(segment(1, {8, 9}));
    reply.addSegment(s.get());
    reply.addSegment(s.get());
    std::vector<uint32_t> values;
    for (const TagView& v : tagsOf(reply)) values.push_back(v.number);
    EXPECT_EQ(values, (std::vector<uint32_t>{8, 9, 8, 9}));
}

// ---------------------------------------------------------------------------
// Encoding against the capacity

constexpr size_t GUARD = 32;
constexpr uint8_t GUARD_BYTE = 0xA5;
constexpr uint8_t FILL_BYTE = 0x5A;

// A buffer of the given capacity with guard bytes on either side.
struct Fenced {
    explicit Fenced(size_t capacity) : mem(GUARD + capacity + GUARD, GUARD_BYTE) {
        std::fill(mem.begin() + GUARD, mem.end() - GUARD, FILL_BYTE);
    }
    uint8_t* buf() { return mem.data() + GUARD; }
    Bytes mem;
};

std::vector<VMsg*> sampleMessages() {
    std::vector<VMsg*> out;
    out.push_back(new VMsg(1));
    for (int type = 0; type < 6; ++type) {
        auto* m = new VMsg(1);
        m->sequence = 0x80;
        switch (type) {
        case 0: m->addTag(VTagFactory::createVTag(5)); break;
        case 1: m->addTag(VTagFactory::createVTag(6, uint8_t(3))); break;
        case 2: m->addTag(VTagFactory::createVTag(109, uint16_t(3))); break;
        case 3: m->addTag(VTagFactory::createVTag(8, uint32_t(3))); break;
        case 4: m->addTag(VTagFactory::createVTag(51, 3.0f, false)); break;
        default: m->addTag(VTagFactory::createVTag(9, "Rack 1")); break;
        }
        out.push_back(m);
    }
    auto* mixed = new VMsg(5);
    mixed->addTag(VTagFactory::createVTag(9, std::string(300, 's').c_str()));
    mixed->addTag(VTagFactory::createVTag(8, uint32_t(1)));
    mixed->addTag(VTagFactory::createVTag(5));
    mixed->addTag(VTagFactory::createVTag(9, ""));
    out.push_back(mixed);
    return out;
}

struct Samples {
    Samples() : msgs(sampleMessages()) {}
    ~Samples() {
        for (VMsg* m : msgs) delete m;
    }
    std::vector<VMsg*> msgs;
};

TEST(GetMsg, ExactFitSucceedsAndWritesOnlyTheMessage) {
    Samples s;
    for (VMsg* m : s.msgs) {
        Bytes expected = encode(*m, MAX_CAPACITY);
        ASSERT_FALSE(expected.empty());
        Fenced f(expected.size());
        EXPECT_EQ(m->getMsg(f.buf(), uint16_t(expected.size())), expected.size());
        Bytes want(GUARD + expected.size() + GUARD, GUARD_BYTE);
        std::copy(expected.begin(), expected.end(), want.begin() + GUARD);
        EXPECT_EQ(f.mem, want);
    }
}

TEST(GetMsg, EveryCapacityBelowTheSizeReturnsZeroAndWritesNothing) {
    Samples s;
    for (VMsg* m : s.msgs) {
        const size_t size = encode(*m, MAX_CAPACITY).size();
        for (size_t cap = 0; cap < size; ++cap) {
            Fenced f(cap);
            const Bytes before = f.mem;
            EXPECT_EQ(m->getMsg(f.buf(), uint16_t(cap)), 0) << "size " << size << " capacity " << cap;
            EXPECT_EQ(f.mem, before) << "size " << size << " capacity " << cap;
        }
    }
}

TEST(GetMsg, LargestMessagesFittingADatagramAndOneByteMore) {
    // 509 valueless tags take 5 + 2*509 = 1023 bytes; 510 take 1025.
    VMsg fits(1), over(1);
    for (int i = 0; i < 509; ++i) fits.addTag(VTagFactory::createVTag(uint8_t(i)));
    for (int i = 0; i < 510; ++i) over.addTag(VTagFactory::createVTag(uint8_t(i)));
    EXPECT_EQ(encode(fits).size(), 1023u);
    Fenced f(DATAGRAM);
    const Bytes before = f.mem;
    EXPECT_EQ(over.getMsg(f.buf(), DATAGRAM), 0);
    EXPECT_EQ(f.mem, before);

    // The longest string in one datagram: 1024 - 5 (header) - 4 (tag head and length).
    VMsg longest(1), tooLong(1);
    longest.addTag(VTagFactory::createVTag(9, std::string(1015, 'L').c_str()));
    tooLong.addTag(VTagFactory::createVTag(9, std::string(1016, 'L').c_str()));
    EXPECT_EQ(encode(longest).size(), 1024u);
    Fenced g(DATAGRAM);
    EXPECT_EQ(tooLong.getMsg(g.buf(), DATAGRAM), 0);
    EXPECT_EQ(g.mem, before);
}

TEST(GetMsg, ManyTagsOverADatagramReturnZero) {
    VMsg m(1);
    for (int i = 0; i < 400; ++i) m.addTag(VTagFactory::createVTag(8, uint32_t(i)));
    Fenced f(DATAGRAM);
    const Bytes before = f.mem;
    EXPECT_EQ(m.getMsg(f.buf(), DATAGRAM), 0);
    EXPECT_EQ(f.mem, before);
    EXPECT_EQ(encode(m, MAX_CAPACITY).size(), 5u + 6u * 400u);
}

TEST(GetMsg, RefusesAStringWithAnEmbeddedNul) {
    for (size_t at : {size_t(0), size_t(3), size_t(6)}) {
        std::string text = "Rack 1!";
        text[at] = '\0';
        VMsg m(1);
        m.addTag(VTagFactory::createVTag(8, uint32_t(1)));
        m.addTag(new VTagString(9, text.data(), text.size()));
        Fenced f(DATAGRAM);
        const Bytes before = f.mem;
        EXPECT_EQ(m.getMsg(f.buf(), DATAGRAM), 0) << "NUL at " << at;
        EXPECT_EQ(f.mem, before) << "NUL at " << at;
    }
}

TEST(GetMsg, RefusesATagWithAnUnknownTypeCode) {
    for (uint32_t type : {5u, 7u, 255u, 256u + 4u}) {
        VMsg m(1);
        m.addTag(new VTag(5, type));
        Fenced f(DATAGRAM);
        const Bytes before = f.mem;
        EXPECT_EQ(m.getMsg(f.buf(), DATAGRAM), 0) << "type " << type;
        EXPECT_EQ(f.mem, before) << "type " << type;
    }
}

TEST(GetMsg, RefusesATagWhoseTypeItsClassCannotCarry) {
    // A bare tag claiming a text, and a 32-bit tag relabelled as 8-bit: the
    // encoder must not read a value the object does not have.
    VTag* claimsText = new VTag(9, VTAG_STRING);
    VTag* relabelled = VTagFactory::createVTag(8, uint32_t(42));
    relabelled->type = VTAG_UINT8;
    for (VTag* t : {claimsText, relabelled}) {
        VMsg m(1);
        m.addTag(t);
        Fenced f(DATAGRAM);
        const Bytes before = f.mem;
        EXPECT_EQ(m.getMsg(f.buf(), DATAGRAM), 0) << "type " << t->type;
        EXPECT_EQ(f.mem, before);
    }
}

TEST(GetMsg, AnyTagMayGoOutWithoutItsValue) {
    VMsg m(1);
    VTag* t = VTagFactory::createVTag(9, "Rack 1");
    t->type = VTAG_NONE;
    m.addTag(t);
    EXPECT_EQ(encode(m), (Bytes{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x00}));
}

// ---------------------------------------------------------------------------
// Decoding bytes that are not one valid message

std::vector<Bytes> sampleWires() {
    Samples s;
    std::vector<Bytes> out;
    for (VMsg* m : s.msgs) out.push_back(encode(*m, MAX_CAPACITY));
    return out;
}

TEST(ParseMsg, RejectsEveryTruncation) {
    for (const Bytes& wire : sampleWires()) {
        for (size_t len = 0; len < wire.size(); ++len)
            EXPECT_EQ(decode(wire.data(), len), nullptr) << "prefix " << len << " of " << wire.size();
        EXPECT_NE(decode(wire), nullptr);
    }
}

// The encoding is canonical, so whatever a corrupted datagram decodes to
// must encode back to exactly those bytes.
TEST(ParseMsg, SingleByteCorruptionGivesNullOrAFaithfulMessage) {
    const uint8_t flips[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x7F, 0xFF};
    for (const Bytes& wire : sampleWires()) {
        for (size_t pos = 0; pos < wire.size(); ++pos) {
            for (uint8_t x : flips) {
                Bytes bad = wire;
                bad[pos] ^= x;
                MsgPtr m = decode(bad);
                if (m) {
                    EXPECT_EQ(encode(*m, uint16_t(bad.size())), bad) << "pos " << pos << " xor " << int(x);
                }
            }
        }
    }
}

// A stream of count tags with random ids, type codes (mostly valid) and
// payload bytes, sized so that each tag is whole.
Bytes randomTagStream(std::mt19937& rng, uint16_t& count) {
    static const uint8_t types[] = {0, 1, 2, 3, 4, 6, 5, 0xFF};
    Bytes b;
    count = uint16_t(rng() % 12);
    for (uint16_t i = 0; i < count; ++i) {
        b.push_back(uint8_t(rng()));
        const uint8_t type = types[rng() % std::size(types)];
        b.push_back(type);
        size_t payload = 0;
        switch (type) {
        case 1: {
            const uint8_t len = uint8_t(rng() % 12);
            b.push_back(0x00);
            b.push_back(len);
            payload = len;
            break;
        }
        case 2:
        case 6: payload = 4; break;
        case 3: payload = 2; break;
        case 4: payload = 1; break;
        default: break;
        }
        for (size_t k = 0; k < payload; ++k) b.push_back(uint8_t(rng()));
    }
    return b;
}

TEST(ParseMsg, RandomBytesGiveNullOrAFaithfulMessage) {
    std::mt19937 rng(7);
    int accepted = 0;
    for (int round = 0; round < 9000; ++round) {
        Bytes b;
        switch (round % 3) {
        case 0:  // raw random bytes
            b.resize(rng() % 1501);
            for (uint8_t& c : b) c = uint8_t(rng());
            break;
        case 1:  // a valid header with a small count, then random bytes
            b = {0x01, uint8_t(rng()), uint8_t(rng()), 0x00, uint8_t(rng() % 8)};
            b.resize(5 + rng() % 1496);
            for (size_t i = 5; i < b.size(); ++i) b[i] = uint8_t(rng());
            break;
        default: {  // a valid header, a random tag stream, and a count that may be wrong
            uint16_t count;
            Bytes tags = randomTagStream(rng, count);
            if (rng() % 4 == 0) count = uint16_t(rng() % 12);
            b = {0x01, uint8_t(rng()), uint8_t(rng()), uint8_t(count >> 8), uint8_t(count)};
            b.insert(b.end(), tags.begin(), tags.end());
            if (rng() % 4 == 0) b[rng() % b.size()] = uint8_t(rng());
            break;
        }
        }
        MsgPtr m = decode(b);
        if (m) {
            ++accepted;
            EXPECT_EQ(encode(*m, uint16_t(b.size())), b) << "round " << round;
        }
    }
    // The property is only tested when some random inputs are accepted.
    EXPECT_GT(accepted, 100);
    RecordProperty("accepted", accepted);
}

TEST(ParseMsg, NullBufferGivesNull) {
    EXPECT_EQ(VMsg::parseMsg(nullptr, 0), nullptr);
    EXPECT_EQ(VMsg::parseMsg(nullptr, 5), nullptr);
    EXPECT_EQ(VMsg::parseMsg(nullptr, 1024), nullptr);
}

TEST(ParseMsg, RejectsTrailingBytesAfterTheCountedTags) {
    for (Bytes wire : sampleWires()) {
        wire.push_back(0x00);
        EXPECT_EQ(decode(wire), nullptr);
        // Bytes that would form one more valid tag are still left over.
        wire.back() = 0x05;
        wire.push_back(0x00);
        EXPECT_EQ(decode(wire), nullptr);
    }
}

TEST(ParseMsg, RejectsAFormatByteOtherThanOne) {
    Bytes wire = {0x01, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00};
    ASSERT_NE(decode(wire), nullptr);
    for (uint8_t format : {0x00, 0x02, 0x10, 0x81, 0xFF}) {
        wire[0] = format;
        EXPECT_EQ(decode(wire), nullptr) << "format " << int(format);
    }
}

// Whatever payload follows, a type code outside {0,1,2,3,4,6} is refused.
TEST(ParseMsg, RejectsEveryUnknownTypeCode) {
    for (int type = 0; type < 256; ++type) {
        const bool known = type <= 4 || type == 6;
        for (size_t payload = 0; payload <= 8; ++payload) {
            Bytes wire = {0x01, 0x01, 0x00, 0x00, 0x01, 0x08, uint8_t(type)};
            wire.insert(wire.end(), payload, 0x00);
            MsgPtr m = decode(wire);
            if (!known) {
                EXPECT_EQ(m, nullptr) << "type " << type << " payload " << payload;
            }
        }
    }
}

TEST(ParseMsg, RejectsACountLargerThanTheBytesCanHold) {
    // Count 0xFFFF with one 2-byte tag present.
    const Bytes tiny = {0x01, 0x01, 0x00, 0xFF, 0xFF, 0x05, 0x00};
    EXPECT_EQ(decode(tiny), nullptr);
    // Count 0xFFFF in a full datagram of valueless tags.
    Bytes full = {0x01, 0x01, 0x00, 0xFF, 0xFF};
    while (full.size() < DATAGRAM) full.push_back(0x05), full.push_back(0x00);
    EXPECT_EQ(decode(full), nullptr);
    // Header alone with a count of 1.
    EXPECT_EQ(decode(Bytes{0x01, 0x01, 0x00, 0x00, 0x01}), nullptr);
}

TEST(ParseMsg, AcceptsACountThatExactlyFillsTheBytes) {
    Bytes wire = {0x01, 0x01, 0x80, 0x01, 0xFD};  // count 509
    for (int i = 0; i < 509; ++i) wire.push_back(uint8_t(i)), wire.push_back(0x00);
    ASSERT_EQ(wire.size(), 1023u);
    MsgPtr m = decode(wire);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->tagCount(), 509u);
}

TEST(ParseMsg, RejectsAStringContainingANul) {
    const Bytes good = {0x01, 0x01, 0x00, 0x00, 0x01,             // header, one tag
                        0x09, 0x01, 0x00, 0x03, 'a',  'b', 'c'};  // id 9, string "abc"
    ASSERT_NE(decode(good), nullptr);
    for (size_t pos = 9; pos < good.size(); ++pos) {
        Bytes bad = good;
        bad[pos] = 0x00;
        EXPECT_EQ(decode(bad), nullptr) << "NUL at " << pos;
    }
}

TEST(ParseMsg, RejectsAStringLengthPastTheEnd) {
    const Bytes wire = {0x01, 0x01, 0x00, 0x00, 0x01,             // header, one tag
                        0x09, 0x01, 0x00, 0x0A, 'a',  'b', 'c'};  // says 10 bytes, has 3
    EXPECT_EQ(decode(wire), nullptr);
}

// Bytes the heap hands out now. (Under the sanitizers the heap is theirs and
// this stays flat, so there the test only checks the decoding.)
size_t heapInUse() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;  // small blocks and mapped large ones
}

TEST(ParseMsg, AllocatesInProportionToTheDatagram) {
    // One long text, then as many value-less tags as fit: each of them once
    // counted the text again, asking for a block hundreds of times the
    // datagram's size.
    for (uint16_t size : {uint16_t(1024), uint16_t(0xFFFF)}) {
        VMsg m(1);
        std::string text(500, 't');
        m.addTag(VTagFactory::createVTag(9, text.c_str()));
        size_t used = 5 + 4 + text.size();
        for (; used + 2 <= size && m.tagCount() < 0xFFFF; used += 2) m.addTag(VTagFactory::createVTag(5));
        Bytes wire = encode(m, size);
        ASSERT_FALSE(wire.empty());
        size_t before = heapInUse();
        MsgPtr back(VMsg::parseMsg(wire.data(), uint16_t(wire.size())));
        size_t held = heapInUse() - before;
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->tagCount(), m.tagCount());
        EXPECT_LE(held, 32 * wire.size()) << "datagram of " << wire.size() << " bytes";
    }
}

TEST(ParseMsg, DecodesTheLargestDatagramTheLengthFieldAllows) {
    // One string filling 65535 bytes: 65535 - 5 - 4 bytes of text.
    const std::string text(65535 - 9, 'M');
    VMsg m(1);
    m.addTag(VTagFactory::createVTag(9, text.c_str()));
    Bytes wire = encode(m, MAX_CAPACITY);
    ASSERT_EQ(wire.size(), 65535u);
    MsgPtr back = decode(wire);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(tagsOf(*back)[0].text, text);
}

TEST(ParseMsg, DecodesAtUnalignedOffsets) {
    for (const Bytes& wire : sampleWires()) {
        for (size_t offset = 1; offset < 8; ++offset) {
            std::unique_ptr<uint8_t[]> mem(new uint8_t[offset + wire.size()]);
            std::memcpy(mem.get() + offset, wire.data(), wire.size());
            MsgPtr m(VMsg::parseMsg(mem.get() + offset, uint16_t(wire.size())));
            ASSERT_NE(m, nullptr) << "offset " << offset;
            EXPECT_EQ(encode(*m, MAX_CAPACITY), wire);
        }
    }
}

// ---------------------------------------------------------------------------
// Reading a string tag into a fixed buffer

// Fills a guarded buffer of the given capacity from "hello" and returns the
// whole buffer, guard byte included.
std::string readInto(const VTagString& t, uint16_t capacity) {
    std::string mem(size_t(capacity) + 1, '#');
    t.getValue(mem.data(), capacity);
    return mem;
}

TEST(StringGetValue, CutsToCapacityMinusOneAndTerminates) {
    VTagString t(9, "hello");
    EXPECT_EQ(readInto(t, 3), std::string("he\0#", 4));
    EXPECT_EQ(readInto(t, 5), std::string("hell\0#", 6));
}

TEST(StringGetValue, ExactFitCopiesTheWholeText) {
    VTagString t(9, "hello");
    EXPECT_EQ(readInto(t, 6), std::string("hello\0#", 7));
    EXPECT_EQ(readInto(t, 10), std::string("hello\0#####", 11)) << "bytes after the NUL are left alone";
}

TEST(StringGetValue, CapacityOneGivesTheEmptyText) {
    VTagString t(9, "hello");
    EXPECT_EQ(readInto(t, 1), std::string("\0#", 2));
    VTagString empty(9, "");
    EXPECT_EQ(readInto(empty, 4), std::string("\0####", 5));
}

TEST(StringGetValue, CapacityZeroWritesNothing) {
    VTagString t(9, "hello");
    EXPECT_EQ(readInto(t, 0), "#");
}

// ---------------------------------------------------------------------------
// The tag cursor

TEST(Cursor, IteratesEveryTagInOrderThenNull) {
    VMsg m(1);
    VTag* a = VTagFactory::createVTag(5);
    VTag* b = VTagFactory::createVTag(6, uint8_t(1));
    VTag* c = VTagFactory::createVTag(9, "x");
    m.addTag(a);
    m.addTag(nullptr);  // ignored
    m.addTag(b);
    m.addTag(c);
    EXPECT_EQ(m.tagCount(), 3u);
    m.gotoFirst();
    EXPECT_EQ(m.getTag(), a);
    EXPECT_EQ(m.getTag(), b);
    EXPECT_EQ(m.getTag(), c);
    EXPECT_EQ(m.getTag(), nullptr);
    EXPECT_EQ(m.getTag(), nullptr) << "the end stays the end";
}

TEST(Cursor, GotoFirstRewindsFromTheMiddleAndTheEnd) {
    VMsg m(1);
    VTag* a = VTagFactory::createVTag(5);
    VTag* b = VTagFactory::createVTag(6, uint8_t(1));
    m.addTag(a);
    m.addTag(b);
    m.gotoFirst();
    EXPECT_EQ(m.getTag(), a);
    m.gotoFirst();
    EXPECT_EQ(m.getTag(), a);
    EXPECT_EQ(m.getTag(), b);
    EXPECT_EQ(m.getTag(), nullptr);
    m.gotoFirst();
    EXPECT_EQ(m.getTag(), a);
}

// A const message is walked without the cursor, which it leaves where it was.
TEST(Cursor, ConstMessageIteratesInOrderAndLeavesTheCursorAlone) {
    VMsg m(MSG_REP);
    VTag* a = VTagFactory::createVTag(5);
    VTag* b = VTagFactory::createVTag(6, uint8_t(1));
    VTag* c = VTagFactory::createVTag(9, "x");
    m.addTag(a);
    m.addTag(b);
    m.addTag(c);
    m.gotoFirst();
    EXPECT_EQ(m.getTag(), a);
    const VMsg& view = m;
    std::vector<const VTag*> seen;
    for (const VTag* t : view) seen.push_back(t);
    EXPECT_EQ(seen, (std::vector<const VTag*>{a, b, c}));
    EXPECT_EQ(m.getTag(), b) << "iterating moved the cursor";
    const VMsg empty(MSG_GET);
    EXPECT_TRUE(empty.begin() == empty.end());
}

TEST(MsgId, ValuesAreTheWireIds) {
    EXPECT_EQ(std::vector<int>({MSG_SET, MSG_GET, MSG_ERR, MSG_EVT, MSG_DEL, MSG_REP}),
              std::vector<int>({0, 1, 2, 3, 4, 5}));
}

TEST(Cursor, EmptyMessageGivesNull) {
    VMsg m(1);
    m.gotoFirst();
    EXPECT_EQ(m.getTag(), nullptr);
    MsgPtr decoded = decode(Bytes{0x01, 0x01, 0x80, 0x00, 0x00});
    ASSERT_NE(decoded, nullptr);
    decoded->gotoFirst();
    EXPECT_EQ(decoded->getTag(), nullptr);
}

// ---------------------------------------------------------------------------
// The view: a datagram read in place, held to parseMsg's answers

// The view's tags as the test's TagView; empty for bytes it refuses.
std::vector<TagView> viewTags(const Bytes& b, bool& accepted, VMsgView& view) {
    accepted = view.parse(b.data(), uint16_t(b.size()));
    std::vector<TagView> out;
    VTagView t;
    while (view.getTag(t)) out.push_back(TagView{t.tagId, t.type, t.number, std::string(t.text)});
    return out;
}

// Accepts what parseMsg accepts, with the same header and tags, and refuses
// what it refuses, leaving no tags behind from an earlier message.
void expectViewAgrees(const Bytes& b, const std::string& what) {
    MsgPtr m = decode(b);
    VMsgView view;
    bool held;
    static const Bytes earlier = sampleWires().front();
    viewTags(earlier, held, view);  // something to forget
    ASSERT_TRUE(held);
    bool accepted;
    std::vector<TagView> tags = viewTags(b, accepted, view);
    ASSERT_EQ(accepted, m != nullptr) << what;
    if (!m) {
        EXPECT_EQ(view.tagCount(), 0u) << what;
        EXPECT_TRUE(tags.empty()) << what;
        return;
    }
    EXPECT_EQ(view.msgId, m->msgId) << what;
    EXPECT_EQ(view.sequence, m->sequence) << what;
    EXPECT_EQ(view.isLastSegment(), m->isLastSegment()) << what;
    EXPECT_EQ(view.tagCount(), m->tagCount()) << what;
    EXPECT_EQ(tags, tagsOf(*m)) << what;
}

TEST(View, ReadsEveryTypeCodeAsParseMsgDoes) {
    const struct {
        const char* what;
        Bytes wire;
        std::vector<TagView> tags;
    } cases[] = {
        {"no value", {0x01, 0x05, 0x83, 0x00, 0x01, 0x07, 0x00}, {{7, 0, 0, ""}}},
        {"text", {0x01, 0x05, 0x80, 0x00, 0x01, 0x08, 0x01, 0x00, 0x02, 'h', 'i'}, {{8, 1, 0, "hi"}}},
        {"empty text", {0x01, 0x05, 0x80, 0x00, 0x01, 0x08, 0x01, 0x00, 0x00}, {{8, 1, 0, ""}}},
        {"uint32",
         {0x01, 0x05, 0x80, 0x00, 0x01, 0x09, 0x02, 0xDE, 0xAD, 0xBE, 0xEF},
         {{9, 2, 0xDEADBEEF, ""}}},
        {"uint16", {0x01, 0x05, 0x80, 0x00, 0x01, 0x0A, 0x03, 0xBE, 0xEF}, {{10, 3, 0xBEEF, ""}}},
        {"uint8", {0x01, 0x05, 0x80, 0x00, 0x01, 0x0B, 0x04, 0xFE}, {{11, 4, 0xFE, ""}}},
        {"float",
         {0x01, 0x05, 0x80, 0x00, 0x01, 0x0C, 0x06, 0x3F, 0xC0, 0x00, 0x00},
         {{12, 6, 0x3FC00000, ""}}},
        {"repeated ids in order",
         {0x01, 0x02, 0x00, 0x00, 0x03, 0x05, 0x04, 0x01, 0x05, 0x00, 0x05, 0x01, 0x00, 0x01, 'x'},
         {{5, 4, 1, ""}, {5, 0, 0, ""}, {5, 1, 0, "x"}}},
    };
    for (const auto& c : cases) {
        VMsgView view;
        bool accepted;
        EXPECT_EQ(viewTags(c.wire, accepted, view), c.tags) << c.what;
        EXPECT_TRUE(accepted) << c.what;
        EXPECT_EQ(view.msgId, c.wire[1]) << c.what;
        EXPECT_EQ(view.sequence, c.wire[2]) << c.what;
        expectViewAgrees(c.wire, c.what);
    }
}

TEST(View, RefusesWhatParseMsgRefuses) {
    const struct {
        const char* what;
        Bytes wire;
    } cases[] = {
        {"empty", {}},
        {"format 2", {0x02, 0x01, 0x00, 0x00, 0x00}},
        {"short header", {0x01, 0x01, 0x00, 0x00}},
        {"count past the bytes", {0x01, 0x01, 0x00, 0x00, 0x02, 0x05, 0x00}},
        {"trailing byte", {0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00}},
        {"type 5", {0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x05}},
        {"text with a NUL", {0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x01, 0x00, 0x02, 'a', 0x00}},
        {"text past the end", {0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x01, 0x00, 0x03, 'a', 'b'}},
        {"uint32 cut short", {0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x02, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        VMsgView view;
        EXPECT_FALSE(view.parse(c.wire.data(), uint16_t(c.wire.size()))) << c.what;
        expectViewAgrees(c.wire, c.what);
    }
    VMsgView view;
    EXPECT_FALSE(view.parse(nullptr, 5));
}

TEST(View, AgreesWithParseMsgOnTruncationsCorruptionsAndRandomBytes) {
    const uint8_t flips[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x7F, 0xFF};
    for (const Bytes& wire : sampleWires()) {
        for (size_t len = 0; len <= wire.size(); ++len)
            expectViewAgrees(Bytes(wire.begin(), wire.begin() + long(len)), "prefix");
        for (size_t pos = 0; pos < wire.size(); ++pos)
            for (uint8_t x : flips) {
                Bytes bad = wire;
                bad[pos] ^= x;
                expectViewAgrees(bad, "pos " + std::to_string(pos) + " xor " + std::to_string(x));
            }
    }
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        uint16_t count;
        Bytes tags = randomTagStream(rng, count);
        if (rng() % 4 == 0) count = uint16_t(rng() % 12);
        Bytes b = {0x01, uint8_t(rng()), uint8_t(rng()), uint8_t(count >> 8), uint8_t(count)};
        b.insert(b.end(), tags.begin(), tags.end());
        if (rng() % 4 == 0) b[rng() % b.size()] = uint8_t(rng());
        expectViewAgrees(b, "round " + std::to_string(round));
    }
}

TEST(View, TextsPointIntoTheDatagramAndTheCursorRewinds) {
    Bytes wire = {0x01, 0x05, 0x80, 0x00, 0x02, 0x08, 0x01, 0x00, 0x02, 'h', 'i', 0x0B, 0x04, 0x2A};
    VMsgView view;
    ASSERT_TRUE(view.parse(wire.data(), uint16_t(wire.size())));
    VTagView t;
    ASSERT_TRUE(view.getTag(t));
    EXPECT_EQ(static_cast<const void*>(t.text.data()), static_cast<const void*>(&wire[9]))
        << "the text was copied";
    ASSERT_TRUE(view.getTag(t));
    EXPECT_EQ(t.number, 0x2Au);
    EXPECT_FALSE(view.getTag(t));
    EXPECT_FALSE(view.getTag(t)) << "the end stays the end";
    view.gotoFirst();
    ASSERT_TRUE(view.getTag(t));
    EXPECT_EQ(t.tagId, 8);
    EXPECT_EQ(t.text, "hi");
}

}  // namespace
