// The reply path end to end: the real tagclient sends "GET: TAG_DEV_CFG" to a
// scripted peer on 127.0.0.1, which answers with segments. The client sends
// sequence 0x80 (number 0, flagged last), so segments with number 0 match.
#include <gtest/gtest.h>

#include <cfloat>
#include <limits>
#include <memory>
#include <string>

#include "run_program.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

// "GET: TAG_DEV_CFG" encodes to 7 bytes.
constexpr const char SENT[] = "Sent 7 bytes\n";

// The first 127 characters of digits(n) for any longer n: what a long text
// value is cut to.
constexpr const char DIGITS_127[] =
    "0123456789012345678901234567890123456789012345678901234567890123456789"
    "012345678901234567890123456789012345678901234567890123456";
static_assert(sizeof DIGITS_127 == 128);

std::string digits(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('0' + i % 10);
    return s;
}

VTag* none(uint8_t id) { return VTagFactory::createVTag(id); }
VTag* u8(uint8_t id, uint8_t v) { return VTagFactory::createVTag(id, v); }
VTag* u16(uint8_t id, uint16_t v) { return VTagFactory::createVTag(id, v); }
VTag* u32(uint8_t id, uint32_t v) { return VTagFactory::createVTag(id, v); }
VTag* str(uint8_t id, const std::string& s) { return VTagFactory::createVTag(id, s.c_str()); }
VTag* flt(uint8_t id, float f) { return VTagFactory::createVTag(id, f, false); }       // type 6
VTag* floatBits(uint8_t id, float f) { return VTagFactory::createVTag(id, f, true); }  // type 2

// The client's run against a peer answering with the script; also checks
// that the peer saw one GET request carrying sequence 0x80.
RunResult getWith(std::vector<PeerStep> script) {
    UdpPeer peer;
    peer.answer(std::move(script));
    RunResult r = runClient({"GET:", "TAG_DEV_CFG", "-h", "127.0.0.1", "-p", std::to_string(peer.port())});
    std::vector<Bytes> requests = peer.finish();
    EXPECT_EQ(requests.size(), 1u);
    if (!requests.empty()) {
        std::unique_ptr<VMsg> req(VMsg::parseMsg(requests[0].data(), uint16_t(requests[0].size())));
        EXPECT_TRUE(req);
        if (req) {
            EXPECT_EQ(req->msgId, 1);
            EXPECT_EQ(req->sequence, 0x80);
        }
    }
    EXPECT_EQ(r.err, "");
    return r;
}

TEST(ReplyPath, PrintsOneSegmentReply) {
    RunResult r = getWith({send(segment(1, 0x80, {none(5), u32(8, 42), str(9, "Rack 1")}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 23 bytes\n"
                         "GET: TAG_DEV_CFG TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, ThreeSegmentsPrintOnceAfterTheLastWithAllTagsInOrder) {
    RunResult r = getWith({send(segment(1, 0x00, {none(5), u32(8, 1)})),
                           send(segment(1, 0x00, {str(9, "A")})), send(segment(1, 0x80, {u8(6, 7)}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 13 bytes\nReceived 10 bytes\nReceived 8 bytes\n"
                         "GET: TAG_DEV_CFG TAG_DEV_ID=00000001 TAG_DEV_LABEL=\"A\" TAG_DEV_STATE=07 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, SegmentsPausedBetweenStillMakeOneReply) {
    RunResult r =
        getWith({send(segment(1, 0x00, {u8(6, 1)})), pause(200ms), send(segment(1, 0x00, {u8(6, 2)})),
                 pause(200ms), send(segment(1, 0x80, {u8(6, 3)}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 8 bytes\nReceived 8 bytes\nReceived 8 bytes\n"
                         "GET: TAG_DEV_STATE=01 TAG_DEV_STATE=02 TAG_DEV_STATE=03 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, StraySequenceNumbersAddNothingAndTheWaitGoesOn) {
    // 0x85 carries the last flag, but its number 5 is not the request's.
    RunResult r = getWith({send(segment(1, 0x05, {u32(8, 5)})), send(segment(1, 0x00, {u8(6, 1)})),
                           send(segment(1, 0x85, {u32(8, 6)})), send(segment(1, 0x81, {u32(8, 7)})),
                           send(segment(1, 0x80, {u8(6, 2)}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 11 bytes\nReceived 8 bytes\nReceived 11 bytes\nReceived 11 bytes\n"
                         "Received 8 bytes\n"
                         "GET: TAG_DEV_STATE=01 TAG_DEV_STATE=02 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, LastFlagEndsTheReplyEvenWithSegmentsStillComing) {
    RunResult r = getWith({send(segment(1, 0x80, {u8(6, 1)})), send(segment(1, 0x00, {u8(6, 2)})),
                           send(segment(1, 0x80, {u8(6, 3)}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 8 bytes\nGET: TAG_DEV_STATE=01 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, EmptyDatagramIsCountedAndTheWaitGoesOn) {
    RunResult r = getWith({send(Bytes{}), send(segment(1, 0x00, {u8(6, 1)})), send(Bytes{}),
                           send(segment(1, 0x80, {u8(6, 2)}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 0 bytes\nReceived 8 bytes\nReceived 0 bytes\nReceived 8 bytes\n"
                         "GET: TAG_DEV_STATE=01 TAG_DEV_STATE=02 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, OversizedDatagramIsCutTo1024BytesAndDroppedWhenTheCutIsNoMessage) {
    // A valid 1500-byte message flagged last: its first 1024 bytes end in the
    // middle of the text, so it must not end the reply.
    Bytes big = segment(1, 0x80, {str(9, std::string(1491, 'x'))});
    ASSERT_EQ(big.size(), 1500u);
    RunResult r = getWith({send(big), send(segment(1, 0x80, {u8(6, 1)}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 1024 bytes\nReceived 8 bytes\nGET: TAG_DEV_STATE=01 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, OversizedDatagramIsDroppedEvenWhenItsFirst1024BytesAreAMessage) {
    // A 1024-byte segment flagged last followed by 476 bytes of junk: cut to
    // 1024 bytes it would be exactly one message, but the datagram is invalid.
    Bytes big = segment(1, 0x80, {u32(8, 42), str(9, digits(1009))});
    ASSERT_EQ(big.size(), 1024u);
    big.resize(1500, 0xEE);
    RunResult r = getWith({send(big), send(segment(1, 0x80, {u8(6, 1)}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 1024 bytes\nReceived 8 bytes\nGET: TAG_DEV_STATE=01 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, ReplyThatNeverEndsStopsAtTheTagLimitWithoutPrintingIt) {
    // 509 value-less tags fill a 1023-byte segment; 128 of them hold 65,152
    // tags and the 129th would pass 65,535. Sent in small bursts, so the
    // client's socket buffer never drops what the count relies on, even
    // under valgrind.
    std::vector<VTag*> tags;
    for (int i = 0; i < 509; ++i) tags.push_back(none(5));
    Bytes full = segment(1, 0x00, tags);
    ASSERT_EQ(full.size(), 1023u);
    const bool slow = clientWrapped();
    std::vector<PeerStep> endless;
    for (int i = 0; i < 60; ++i) {
        endless.push_back(send(full, 5));
        endless.push_back(pause(slow ? 25ms : 5ms));
    }
    RunResult r = getWith(std::move(endless));
    std::string received;
    for (int i = 0; i < 129; ++i) received += "Received 1023 bytes\n";
    EXPECT_EQ(r.out, std::string(SENT) + received + "ERR: RX_REPLY_TOO_LONG LIMIT=65535\n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, ReplyFromAnotherPortThanTheRequestWentToIsAccepted) {
    RunResult r = getWith({sendFromOtherSocket(segment(1, 0x80, {u32(8, 42)}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 11 bytes\nGET: TAG_DEV_ID=0000002A \n");
}

TEST(ReplyPath, EveryWaitStartsFromTheFullNineSeconds) {
    // select leaves the time not waited in its time-out: a time-out set only
    // once would show less than 9 s on the second and third waits.
    UdpPeer peer;
    peer.answer({send(segment(1, 0x00, {u8(6, 1)})), pause(300ms), send(segment(1, 0x00, {u8(6, 2)})),
                 pause(300ms), send(segment(1, 0x80, {u8(6, 3)}))});
    RunResult r = runProgram(
        clientPath(), {"-h", "127.0.0.1", "-p", std::to_string(peer.port()), "GET:"},
        {std::string("LD_PRELOAD=") + recordSelectLibrary(), "ASAN_OPTIONS=verify_asan_link_order=0"});
    peer.finish();
    EXPECT_EQ(r.out, std::string("Sent 5 bytes\n") +
                         "Received 8 bytes\nReceived 8 bytes\nReceived 8 bytes\n" +
                         "GET: TAG_DEV_STATE=01 TAG_DEV_STATE=02 TAG_DEV_STATE=03 \n");
    EXPECT_EQ(r.err, "select 9.000000\nselect 9.000000\nselect 9.000000\n");
}

TEST(ReplyPath, ControlBytesReachAPipeAsTheyAreButATerminalAsQuestionMarks) {
    // ESC [2J clears a screen; BEL rings; DEL and 0x1F are control bytes too.
    // TAB, LF and CR become spaces and the double quote a single quote either way.
    const std::string hostile =
        "a\x1B[2J\x07"
        "b\x7F\x1F\tc\n\"\xC3\xA9";
    auto reply = [&] { return std::vector<PeerStep>{send(segment(1, 0x80, {str(9, hostile)}))}; };
    const std::string sentReceived = "Sent 5 bytes\nReceived 24 bytes\n";

    UdpPeer piped;
    piped.answer(reply());
    RunResult toPipe = runClient({"-h", "127.0.0.1", "-p", std::to_string(piped.port()), "GET:"});
    piped.finish();
    EXPECT_EQ(toPipe.out, sentReceived +
                              "GET: TAG_DEV_LABEL=\"a\x1B[2J\x07"
                              "b\x7F\x1F c '\xC3\xA9\" \n");

    UdpPeer shown;
    shown.answer(reply());
    RunResult toTerminal =
        runProgramOnTerminal(clientPath(), {"-h", "127.0.0.1", "-p", std::to_string(shown.port()), "GET:"});
    shown.finish();
    EXPECT_EQ(toTerminal.out, sentReceived + "GET: TAG_DEV_LABEL=\"a?[2J?b?? c '\xC3\xA9\" \n");
    EXPECT_EQ(toTerminal.status, 0);
}

TEST(ReplyPath, UndecodableDatagramsAreDroppedAfterTheirReceivedLine) {
    // Each of these would end the reply with its own content if it were taken.
    Bytes text{'n', 'o', 't', ' ', 'a', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e'};
    Bytes cut = segment(1, 0x80, {u32(8, 42)});
    cut.pop_back();
    Bytes trailing = segment(1, 0x80, {u32(8, 43)});
    trailing.push_back(0);
    // Format 1, GET, sequence 0x80, one tag: id 8 with type code 7.
    Bytes unknownType{0x01, 0x01, 0x80, 0x00, 0x01, 0x08, 0x07};
    RunResult r = getWith(
        {send(text), send(cut), send(trailing), send(unknownType), send(segment(1, 0x80, {u8(6, 1)}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 13 bytes\nReceived 10 bytes\nReceived 12 bytes\nReceived 7 bytes\n"
                         "Received 8 bytes\nGET: TAG_DEV_STATE=01 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, SegmentReceivedTwiceIsMergedTwice) {
    RunResult r =
        getWith({send(segment(1, 0x00, {u32(8, 1), str(9, "A")}), 2), send(segment(1, 0x80, {u8(6, 1)}))});
    EXPECT_EQ(r.out, std::string(SENT) +
                         "Received 16 bytes\nReceived 16 bytes\nReceived 8 bytes\n"
                         "GET: TAG_DEV_ID=00000001 TAG_DEV_LABEL=\"A\" TAG_DEV_ID=00000001 "
                         "TAG_DEV_LABEL=\"A\" TAG_DEV_STATE=01 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, HeaderWordFollowsTheReplyMessageId) {
    RunResult err = getWith({send(segment(2, 0x80, {u8(2, 0x2A)}))});
    EXPECT_EQ(err.out, std::string(SENT) + "Received 8 bytes\nERR: TAG_ERR_TAGID=2A \n");
    EXPECT_EQ(err.status, 0);

    RunResult evt = getWith({send(segment(3, 0x80, {none(5)}))});
    EXPECT_EQ(evt.out, std::string(SENT) + "Received 7 bytes\nEVT: TAG_DEV_CFG \n");
    EXPECT_EQ(evt.status, 0);

    RunResult unknown = getWith({send(segment(9, 0x80, {u32(8, 42)}))});
    EXPECT_EQ(unknown.out,
              std::string(SENT) + "Received 11 bytes\nERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=9\n");
    EXPECT_EQ(unknown.status, 0);
}

TEST(ReplyPath, EveryTypeCodePrintsItsEdgeValuesOnOneLine) {
    const float inf = std::numeric_limits<float>::infinity();
    RunResult r = getWith({send(
        segment(1, 0x80,
                {none(5), u8(6, 0), u8(6, 0xFF), u16(109, 0), u16(109, 0xFFFF), u32(8, 0), u32(8, 0xFFFFFFFF),
                 floatBits(51, 1.5f), flt(50, 0.0f), flt(50, -0.0f), flt(50, 1.5f), flt(50, FLT_MAX),
                 flt(50, inf), flt(50, -inf), flt(50, std::numeric_limits<float>::quiet_NaN()),
                 str(9, "a\tb\nc\rd\"e'f"), str(9, digits(300))}))});
    EXPECT_EQ(r.out,
              std::string(SENT) + "Received 400 bytes\n" +
                  "GET: TAG_DEV_CFG TAG_DEV_STATE=00 TAG_DEV_STATE=FF TAG_NET_INPORT=0000 "
                  "TAG_NET_INPORT=FFFF TAG_DEV_ID=00000000 TAG_DEV_ID=FFFFFFFF TAG_IO_GAIN=1.500000 "
                  "TAG_IO_OFFSET=0.000000 TAG_IO_OFFSET=-0.000000 TAG_IO_OFFSET=1.500000 "
                  "TAG_IO_OFFSET=340282346638528859811704183484516925440.000000 TAG_IO_OFFSET=inf "
                  "TAG_IO_OFFSET=-inf TAG_IO_OFFSET=nan TAG_DEV_LABEL=\"a b c d'e'f\" TAG_DEV_LABEL=\"" +
                  DIGITS_127 + "\" \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, Uint32BitsPrintAsFloatOnlyWhereTheDictionarySaysFloat) {
    RunResult r = getWith({send(segment(1, 0x80, {floatBits(51, 1.5f), floatBits(8, 1.5f)}))});
    EXPECT_EQ(r.out,
              std::string(SENT) + "Received 17 bytes\nGET: TAG_IO_GAIN=1.500000 TAG_DEV_ID=3FC00000 \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, IdsWithoutNamePrintTheErrorPairAndTheLineGoesOn) {
    RunResult r = getWith({send(segment(1, 0x80, {u32(181, 60000), u32(182, 42), str(255, "x"), none(5)}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 24 bytes\n" +
                         "GET: TAG_SITE_SVP_PORT=0000EA60 TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=182 "
                         "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=255 TAG_DEV_CFG \n");
    EXPECT_EQ(r.status, 0);
}

TEST(ReplyPath, ReplyWithoutTagsPrintsTheHeaderWordAlone) {
    RunResult r = getWith({send(segment(1, 0x80, {}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 5 bytes\nGET: \n");
    EXPECT_EQ(r.status, 0);
}

// The one test that sits out the 9-second reply wait.
TEST(ReplyPath, SilenceBeforeTheLastSegmentTimesOutAndDropsTheGatheredReply) {
    RunResult r = getWith({send(segment(1, 0x00, {u32(8, 42), str(9, "Rack 1")}))});
    EXPECT_EQ(r.out, std::string(SENT) + "Received 21 bytes\nERR: RX_TIMEOUT\n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
