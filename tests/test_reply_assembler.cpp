// The reply rules the engine and a Line share, at their edges: the exact
// bounds, what every attempt together counts, and the memory a reply held
// given back the moment it leaves. End-to-end tests see none of these
// unless a poller runs for hours.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reply_assembler.h"
#include "udp_peer.h"

using namespace tagengine;

namespace {

VTag* u32(uint8_t id, uint32_t v) { return VTagFactory::createVTag(id, v); }

// Datagrams of 11 bytes and one tag each, but for the request.
const Bytes first0 = segment(1, 0x00, {u32(8, 1)});
const Bytes last0 = segment(1, 0x80, {u32(9, 2)});
const Bytes first1 = segment(1, 0x01, {u32(10, 3)});
const Bytes last1 = segment(1, 0x81, {u32(11, 4)});
const Bytes error0 = segment(2, 0x80, {u32(2, 7)});
constexpr size_t HELD = 11 + HELD_BYTES_PER_TAG;  // by one such segment merged

Bytes requestAs(uint8_t sequenceByte) {
    VMsg get(1);
    get.addTag(VTagFactory::createVTag(8));
    Bytes bytes = encode(get);
    bytes[SEQUENCE_BYTE] = sequenceByte;
    return bytes;
}

const char* kindName(Offer::Kind kind) {
    switch (kind) {
    case Offer::Kind::Stray: return "stray";
    case Offer::Kind::Reflected: return "reflected";
    case Offer::Kind::Taken: return "taken";
    case Offer::Kind::Ended: return "ended";
    }
    return "?";
}

std::string tagIds(VMsg* reply) {
    if (!reply) return "none";
    std::string ids;
    reply->gotoFirst();
    while (VTag* t = reply->getTag()) ids += std::to_string(t->tagId) + " ";
    return ids;
}

// An exchange's attempts (sequences 0, 1, ...) offered datagrams in turn.
struct Offering {
    Offering(size_t attempts, size_t maxReplyBytes, size_t maxHeldBytes, bool asDatagram = false)
        : memory(maxReplyBytes, maxHeldBytes, 0) {
        for (size_t n = 0; n < attempts; ++n) assembler.add(uint8_t(n), Clock::time_point{}, int(n) + 1);
        exchange.replyAsDatagram = asDatagram;
    }
    // The kind of each offer, in turn; stops at the end.
    std::string offer(const std::vector<Bytes>& datagrams) {
        std::string kinds;
        for (const Bytes& d : datagrams) {
            VMsgView view;
            EXPECT_TRUE(view.parse(d.data(), uint16_t(d.size())));
            Offer o = assembler.offer(d, view, request, exchange, memory, result, Clock::time_point{});
            kinds += std::string(kinds.empty() ? "" : " ") + kindName(o.kind);
            if (o.kind == Offer::Kind::Ended) {
                status = statusName(o.status);
                answered = o.answered ? o.answered->number : 0;
                break;
            }
        }
        return kinds;
    }
    Bytes request = requestAs(0x80);
    ReplyAssembler assembler;
    ReplyMemory memory;
    Exchange exchange;
    Result result;
    std::string status = "running";
    int answered = 0;  // the attempt's number
};

}  // namespace

TEST(ReplyAssembler, TakesEachAttemptsSegmentsWithinTheBoundsExactly) {
    const size_t unbounded = 1 << 20;
    const struct {
        const char* what;
        size_t attempts, maxReplyBytes, maxHeldBytes;
        std::vector<Bytes> datagrams;
        const char* kinds;
        const char* status;
        const char* tags;
        size_t heldAfter;  // by the partial replies left behind
    } cases[] = {
        {"two segments", 1, unbounded, unbounded, {first0, last0}, "taken ended", "answered", "8 9 ", 0},
        {"an error", 1, unbounded, unbounded, {error0}, "ended", "error_reply", "2 ", 0},
        // As it went out it is the request come back; not the last segment,
        // it is a device's.
        {"a stray, the request and one like it",
         1,
         unbounded,
         unbounded,
         {last1, requestAs(0x80), requestAs(0x00)},
         "stray reflected taken",
         "running",
         "none",
         7 + HELD_BYTES_PER_TAG},
        {"attempts apart", 2, unbounded, unbounded, {first0, last1}, "taken ended", "answered", "11 ", HELD},
        {"bytes up to the bound", 1, 22, unbounded, {first0, last0}, "taken ended", "answered", "8 9 ", 0},
        {"a byte past it", 1, 21, unbounded, {first0, last0}, "taken ended", "reply_too_long", "none", HELD},
        {"bytes of every attempt",
         2,
         21,
         unbounded,
         {first0, first1},
         "taken ended",
         "reply_too_long",
         "none",
         HELD},
        {"held up to the bound",
         1,
         unbounded,
         2 * HELD,
         {first0, last0},
         "taken ended",
         "answered",
         "8 9 ",
         0},
        {"held past it",
         1,
         unbounded,
         2 * HELD - 1,
         {first0, last0},
         "taken ended",
         "reply_too_long",
         "none",
         HELD},
    };
    for (const auto& c : cases) {
        Offering o(c.attempts, c.maxReplyBytes, c.maxHeldBytes);
        EXPECT_EQ(o.offer(c.datagrams), c.kinds) << c.what;
        EXPECT_EQ(o.status, c.status) << c.what;
        EXPECT_EQ(tagIds(o.result.reply.get()), c.tags) << c.what;
        EXPECT_EQ(o.memory.held, c.heldAfter) << c.what;
        o.assembler.clear(o.memory);
        EXPECT_EQ(o.memory.held, 0u) << c.what;
    }
}

TEST(ReplyAssembler, CountsWhatArrivedAndWhichAttemptItAnswers) {
    Offering o(2, 1 << 20, 1 << 20);
    EXPECT_EQ(o.offer({first1, first0, last0}), "taken taken ended");
    EXPECT_EQ(o.answered, 1);
    EXPECT_EQ(o.result.segments, 3u);
    EXPECT_EQ(o.result.tags, 3u);
    EXPECT_EQ(o.result.bytes, 33u);
    EXPECT_EQ(tagIds(o.result.reply.get()), "8 9 ");
    EXPECT_EQ(o.result.reply->sequence, 0);  // the merged reply's, not the wire's
}

TEST(ReplyAssembler, TheOldestAttemptDroppedTakesItsPartOffTheBounds) {
    Offering o(2, 32, 1 << 20);
    EXPECT_EQ(o.offer({first0, first1}), "taken taken");
    o.assembler.dropOldest(o.memory);
    EXPECT_EQ(o.memory.held, HELD);
    EXPECT_EQ(o.offer({first0, last1}), "stray ended");
    EXPECT_EQ(o.status, "answered");
    EXPECT_EQ(tagIds(o.result.reply.get()), "10 11 ");
    EXPECT_EQ(o.memory.held, 0u);
}

TEST(ReplyAssembler, AWholeDatagramIsHandedAsItCameHoldingNothing) {
    Offering o(1, 1 << 20, 1 << 20, true);
    EXPECT_EQ(o.offer({last0}), "ended");
    EXPECT_EQ(o.result.replyDatagram, last0);
    EXPECT_FALSE(o.result.reply);
    EXPECT_EQ(o.memory.held, 0u);
    EXPECT_EQ(o.memory.released, 0u);
}
