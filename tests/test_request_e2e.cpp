// The request path end to end: the real tagclient turns its words into one
// datagram, seen by a listener on 127.0.0.1 and decoded here.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "run_program.h"
#include "udp_peer.h"

namespace {

using MsgPtr = std::unique_ptr<VMsg>;
using Words = std::vector<std::string>;

const std::string LOOPBACK = "127.0.0.1";

std::string sentLine(size_t bytes) { return "Sent " + std::to_string(bytes) + " bytes\n"; }

MsgPtr decode(const Bytes& datagram) {
    return MsgPtr(VMsg::parseMsg(datagram.data(), uint16_t(datagram.size())));
}

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// One tag as "id:type:value", so that whole tag lists compare in one go and
// a mismatch shows which tag and which field.
std::string hex(unsigned width, uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", int(width), unsigned(v));
    return buf;
}
std::string none(unsigned id) { return std::to_string(id) + ":0"; }
std::string text(unsigned id, const std::string& s) { return std::to_string(id) + ":1:" + s; }
std::string u32(unsigned id, uint32_t v) { return std::to_string(id) + ":2:" + hex(8, v); }
std::string u16(unsigned id, uint16_t v) { return std::to_string(id) + ":3:" + hex(4, v); }
std::string u8(unsigned id, uint8_t v) { return std::to_string(id) + ":4:" + hex(2, v); }
std::string flt(unsigned id, float f) { return std::to_string(id) + ":6:" + hex(8, bitsOf(f)); }

std::string describe(VTag* t) {
    switch (t->type) {
    case VTAG_NONE: return none(t->tagId);
    case VTAG_STRING: {
        char buf[2048];
        static_cast<VTagString*>(t)->getValue(buf, sizeof buf);
        return text(t->tagId, buf);
    }
    case VTAG_UINT32: return u32(t->tagId, static_cast<VTagUInt32*>(t)->getValue());
    case VTAG_UINT16: return u16(t->tagId, static_cast<VTagUInt16*>(t)->getValue());
    case VTAG_UINT8: return u8(t->tagId, static_cast<VTagUInt8*>(t)->getValue());
    case VTAG_FLOAT: return flt(t->tagId, static_cast<VTagUInt32*>(t)->getFloatValue());
    default: return std::to_string(t->tagId) + ":" + std::to_string(t->type) + ":?";
    }
}

std::vector<std::string> tagsOf(VMsg& m) {
    std::vector<std::string> tags;
    m.gotoFirst();
    while (VTag* t = m.getTag()) tags.push_back(describe(t));
    return tags;
}

// Every case states its own environment: getopt's word order depends on it.
const std::vector<std::string> PERMUTING = {"POSIXLY_CORRECT"};

// A run whose request the listener records.
struct Delivery {
    RunResult run;
    std::vector<Bytes> datagrams;
};

class RequestPath : public ::testing::Test {
protected:
    std::string port() const { return std::to_string(peer.port()); }

    // Runs the client while the peer waits for its first datagram, answering
    // with the script (a GET needs its last-flagged segment).
    Delivery deliver(const Words& args, std::vector<PeerStep> script = {},
                     const std::vector<std::string>& env = PERMUTING) {
        peer.answer(std::move(script));
        RunResult r = runClient(args, env);
        return {r, peer.finish()};
    }

    // Runs the client and checks that nothing reached the listener.
    RunResult refuse(const Words& args, const std::vector<std::string>& env = PERMUTING) {
        RunResult r = runClient(args, env);
        EXPECT_TRUE(peer.drain().empty()) << "a datagram went out";
        return r;
    }

    // The one datagram of a delivery, decoded, checked to be a complete
    // request of that id with sequence number 0 flagged last.
    MsgPtr request(const Delivery& d, uint8_t msgId) {
        if (d.datagrams.size() != 1) {
            ADD_FAILURE() << "datagrams received: " << d.datagrams.size() << "; client said: " << d.run.out;
            return nullptr;
        }
        MsgPtr m = decode(d.datagrams[0]);
        if (!m) {
            ADD_FAILURE() << "datagram does not decode";
            return nullptr;
        }
        EXPECT_EQ(m->msgId, msgId);
        EXPECT_EQ(m->sequence, 0x80);
        return m;
    }

    UdpPeer peer;
};

// The reply that ends a GET at once: no tags, sequence 0, flagged last.
std::vector<PeerStep> emptyReply() { return {send(segment(1, 0x80, {}))}; }
const std::string EMPTY_REPLY_OUTPUT = "Sent 5 bytes\nReceived 5 bytes\nGET: \n";

// ---------------------------------------------------------------------------
// The message-type word.

class MessageTypeWord : public RequestPath {};

TEST_F(MessageTypeWord, NoWordsPrintsUnknownMsgIdAndSendsNothing) {
    RunResult r = refuse({"-p", port()});
    EXPECT_EQ(r.out, "ERR: TAG_ERR_UNKNOWN_MSGID\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0) << r.err;

    r = runClient({}, PERMUTING);
    EXPECT_EQ(r.out, "ERR: TAG_ERR_UNKNOWN_MSGID\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(MessageTypeWord, SendWordsInAnyCaseChooseTheirIdsAndReturnAtOnce) {
    const struct {
        const char* word;
        uint8_t msgId;
    } cases[] = {{"set:", 0}, {"dEl:", 4}, {"REP:", 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        UdpPeer listener;
        listener.answer({});
        RunResult r = runClient({c.word, "-h", LOOPBACK, "-p", std::to_string(listener.port())}, PERMUTING);
        std::vector<Bytes> got = listener.finish();
        EXPECT_EQ(r.out, "Sent 5 bytes\n");
        EXPECT_EQ(r.status, 0) << r.err;
        MsgPtr m = request({r, got}, c.msgId);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->tagCount(), 0u);
    }
}

TEST_F(MessageTypeWord, GetInAnyCaseSendsMsgId1AndPrintsTheReply) {
    for (const char* word : {"Get:", "gET:"}) {
        SCOPED_TRACE(word);
        UdpPeer agent;
        agent.answer(emptyReply());
        RunResult r = runClient({word, "-h", LOOPBACK, "-p", std::to_string(agent.port())}, PERMUTING);
        std::vector<Bytes> got = agent.finish();
        EXPECT_EQ(r.out, EMPTY_REPLY_OUTPUT);
        EXPECT_EQ(r.status, 0) << r.err;
        MsgPtr m = request({r, got}, 1);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->tagCount(), 0u);
    }
}

TEST_F(MessageTypeWord, WordsOutsideTheTableAreRefusedByName) {
    for (const char* word : {"GET", "ERR:", "evt:", "GET: ", ""}) {
        SCOPED_TRACE(std::string("\"") + word + "\"");
        RunResult r = refuse({"-h", LOOPBACK, "-p", port(), word, "TAG_DEV_CFG", "FOO"});
        EXPECT_EQ(r.out, std::string("ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=") + word + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

// ---------------------------------------------------------------------------
// The -h and -p options.

class Options : public RequestPath {};

TEST_F(Options, HostAndPortBeforeTheWords) {
    Delivery d = deliver({"-h", LOOPBACK, "-p", port(), "SET:", "TAG_DEV_CFG"});
    EXPECT_EQ(d.run.out, "Sent 7 bytes\n");
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{none(5)}));
}

TEST_F(Options, HostAndPortAfterTheWords) {
    Delivery d = deliver({"SET:", "TAG_DEV_CFG", "-h", LOOPBACK, "-p", port()});
    EXPECT_EQ(d.run.out, "Sent 7 bytes\n");
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{none(5)}));
}

TEST_F(Options, OptionsAmongTagWordsAreNotTags) {
    Delivery d =
        deliver({"SET:", "TAG_DEV_ID=1", "-p", port(), "TAG_DEV_ID=2", "-h", LOOPBACK, "TAG_DEV_CFG"});
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{u32(8, 1), u32(8, 2), none(5)}));
}

TEST_F(Options, LastPortWins) {
    UdpPeer decoy;
    Delivery d = deliver({"-p", std::to_string(decoy.port()), "SET:", "-h", LOOPBACK, "-p", port()});
    EXPECT_EQ(d.run.out, "Sent 5 bytes\n");
    EXPECT_NE(request(d, 0), nullptr);
    EXPECT_TRUE(decoy.drain().empty());
}

// The first host is a name no query can carry (an empty label): were it
// used, its lookup would fail here without a packet.
TEST_F(Options, LastHostWins) {
    Delivery d = deliver({"-h", "no-such-host..invalid", "SET:", "-p", port(), "-h", LOOPBACK});
    EXPECT_EQ(d.run.out, "Sent 5 bytes\n");
    EXPECT_NE(request(d, 0), nullptr);
}

TEST_F(Options, PortBeyond16BitsKeepsItsLow16Bits) {
    Delivery d = deliver({"SET:", "-h", LOOPBACK, "-p", std::to_string(peer.port() + 65536)});
    EXPECT_EQ(d.run.out, "Sent 5 bytes\n");
    EXPECT_NE(request(d, 0), nullptr);
}

TEST_F(Options, PortIsReadAsFarAsItsDigitsGo) {
    Delivery d = deliver({"SET:", "-h", LOOPBACK, "-p", port() + "x1"});
    EXPECT_EQ(d.run.out, "Sent 5 bytes\n");
    EXPECT_NE(request(d, 0), nullptr);
}

TEST_F(Options, PortIsDecimalEvenWithALeadingZeroOrAHexPrefix) {
    // Read as octal, 0<port> would go elsewhere; read as hexadecimal, 0x10
    // would be port 16 and the send would succeed.
    Delivery d = deliver({"SET:", "-h", LOOPBACK, "-p", "0" + port()});
    EXPECT_EQ(d.run.out, "Sent 5 bytes\n");
    EXPECT_NE(request(d, 0), nullptr);

    RunResult hex = refuse({"SET:", "-h", LOOPBACK, "-p", "0x10"});
    EXPECT_EQ(hex.out, "Sent 5 bytes\nERR: TX_SEND_FAILED REASON=Invalid argument\n");
}

TEST_F(Options, NonNumericPortGivesPortZeroWhichCannotBeSentTo) {
    // The client resolves, encodes and reports the byte count before it
    // sends; the kernel refuses UDP port 0 as a destination.
    RunResult r = refuse({"SET:", "-h", LOOPBACK, "-p", "abc"});
    EXPECT_EQ(r.out, "Sent 5 bytes\nERR: TX_SEND_FAILED REASON=Invalid argument\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Options, PosixlyCorrectTurnsLateOptionsIntoRefusedTagWords) {
    // The -p before GET: still counts, so a wrongly sent request would reach
    // the listener.
    RunResult r =
        refuse({"-h", LOOPBACK, "-p", port(), "GET:", "-h", "otherhost..invalid"}, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(r.out, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=-h TAG_ERR_TAGID=otherhost..invalid\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Options, HostGivenLastWithoutArgumentKeepsTheDefaultHost) {
    // The default host is localhost, which is the listener's 127.0.0.1.
    Delivery d = deliver({"SET:", "TAG_DEV_CFG", "-p", port(), "-h"});
    EXPECT_EQ(d.run.out, "Sent 7 bytes\n");
    EXPECT_NE(d.run.err.find("option requires an argument -- 'h'"), std::string::npos) << d.run.err;
    EXPECT_EQ(d.run.status, 0) << d.run.err;
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{none(5)}));
}

TEST_F(Options, UnknownOptionIsPassedOver) {
    Delivery d = deliver({"-x", "SET:", "-h", LOOPBACK, "-p", port()});
    EXPECT_EQ(d.run.out, "Sent 5 bytes\n");
    EXPECT_NE(d.run.err.find("invalid option -- 'x'"), std::string::npos) << d.run.err;
    EXPECT_EQ(d.run.status, 0) << d.run.err;
    EXPECT_NE(request(d, 0), nullptr);
}

// ---------------------------------------------------------------------------
// Tag words as they reach the wire.

class TagWordsOnWire : public RequestPath {};

TEST_F(TagWordsOnWire, SetDevIdDeliversOneTypedTag) {
    Delivery d = deliver({"SET:", "TAG_DEV_ID=2A", "-p", port(), "-h", LOOPBACK});
    ASSERT_EQ(d.datagrams.size(), 1u);
    const Bytes golden = {
        0x01,                    // format
        0x00,                    // msgId: SET
        0x80,                    // sequence 0, last segment
        0x00, 0x01,              // one tag
        0x08, 0x02,              // TAG_DEV_ID, type 2 (uint32)
        0x00, 0x00, 0x00, 0x2A,  // 42
    };
    EXPECT_EQ(d.datagrams[0], golden);
    EXPECT_EQ(d.run.out, sentLine(d.datagrams[0].size()));
    EXPECT_EQ(d.run.out, "Sent 11 bytes\n");
    EXPECT_EQ(d.run.err, "");
    EXPECT_EQ(d.run.status, 0) << d.run.err;
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{u32(8, 42)}));
}

TEST_F(TagWordsOnWire, EveryKindConvertsItsValueText) {
    const Words words = {
        "TAG_DEV_CFG",          "TAG_DEV_CFG=99",     // None
        "TAG_DEV_STATE=1F",     "TAG_DEV_STATE=1FF",  // UInt8, cut to 8 bits
        "TAG_DEV_STATE=-1",     "TAG_DEV_STATE=11111111111111111",
        "TAG_DEV_STATE",                                  // bare: empty text
        "TAG_NET_INPORT=1F90",  "TAG_NET_OUTPORT=12345",  // UInt16
        "TAG_DEV_ID=0x2A",      "tag_dev_id= 2Azz",       // UInt32
        "TAG_DEV_ID=zz",        "TAG_DEV_ID=100000000",
        "TAG_IO_GAIN=1.5",      "TAG_IO_GAIN=abc",  // Float
        "TAG_IO_GAIN=0x10",     "TAG_IO_GAIN=1e40",
        "TAG_IO_GAIN=-1e40",    "TAG_IO_GAIN=nan",
        "TAG_IO_GAIN=inf",      "TAG_IO_GAIN",
        "TAG_DEV_LABEL=Rack 1", "TAG_DEV_LABEL=",  // String
        "TAG_DEV_LABEL=a=b",    "TAG_DEV_LABEL",
    };
    Words args = {"SET:", "-h", LOOPBACK, "-p", port()};
    args.insert(args.end(), words.begin(), words.end());
    Delivery d = deliver(args);
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{
                              none(5),
                              none(5),
                              u8(6, 0x1F),
                              u8(6, 0xFF),
                              u8(6, 0xFF),
                              u8(6, 0xFF),
                              u8(6, 0),
                              u16(109, 8080),
                              u16(110, 0x2345),
                              u32(8, 42),
                              u32(8, 42),
                              u32(8, 0),
                              u32(8, 0),
                              flt(51, 1.5f),
                              flt(51, 0.0f),
                              flt(51, 16.0f),
                              flt(51, inf),
                              flt(51, -inf),
                              flt(51, std::numeric_limits<float>::quiet_NaN()),
                              flt(51, inf),
                              flt(51, 0.0f),
                              text(9, "Rack 1"),
                              text(9, ""),
                              text(9, "a=b"),
                              text(9, ""),
                          }));
    EXPECT_EQ(d.run.out, sentLine(d.datagrams[0].size()));
}

TEST_F(TagWordsOnWire, EveryNameReachesTheWireAsItsId) {
    // One word per table row, every other one in lower case, each with the
    // value text 1.
    struct Row {
        unsigned id;
        std::string name;
        std::string kind;
    };
    const std::vector<Row> rows = {
#define TAG_ENTRY(id, name, kind) {id, #name, #kind},
#include "tag_table.def"
#undef TAG_ENTRY
    };
    ASSERT_EQ(rows.size(), 182u);
    Words args = {"SET:", "-h", LOOPBACK, "-p", port()};
    std::vector<std::string> expected;
    for (const Row& row : rows) {
        std::string name = row.name;
        if (row.id % 2)
            for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
        args.push_back(name + "=1");
        const std::string& kind = row.kind;
        if (kind == "None") expected.push_back(none(row.id));
        if (kind == "UInt8") expected.push_back(u8(row.id, 1));
        if (kind == "UInt16") expected.push_back(u16(row.id, 1));
        if (kind == "UInt32") expected.push_back(u32(row.id, 1));
        if (kind == "Float") expected.push_back(flt(row.id, 1.0f));
        if (kind == "String") expected.push_back(text(row.id, "1"));
    }
    ASSERT_EQ(expected.size(), 182u);
    Delivery d = deliver(args);
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), expected);
    EXPECT_EQ(d.run.out, sentLine(d.datagrams[0].size()));
}

TEST_F(TagWordsOnWire, SentLineCountsTheDatagramOfDelAndRep) {
    for (const char* word : {"DEL:", "REP:"}) {  // SET: is counted in the cases above
        SCOPED_TRACE(word);
        UdpPeer listener;
        listener.answer({});
        RunResult r = runClient({word, "TAG_DEV_LABEL=Rack 1", "TAG_IO_GAIN=2", "TAG_DEV_CFG",
                                 "TAG_DEV_STATE=3", "-h", LOOPBACK, "-p", std::to_string(listener.port())},
                                PERMUTING);
        std::vector<Bytes> got = listener.finish();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(r.out, sentLine(got[0].size()));
        // header 5, string 4+6, float 6, none 2, uint8 3
        EXPECT_EQ(got[0].size(), 26u);
    }
}

TEST_F(TagWordsOnWire, GetRequestCarriesItsTags) {
    Delivery d = deliver({"GET:", "TAG_DEV_CFG", "TAG_DEV_ID", "-h", LOOPBACK, "-p", port()}, emptyReply());
    EXPECT_EQ(d.run.out, "Sent 13 bytes\nReceived 5 bytes\nGET: \n");
    MsgPtr m = request(d, 1);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{none(5), u32(8, 0)}));
}

TEST_F(TagWordsOnWire, RefusedNamesPrintOneLineAndSendNothing) {
    for (const char* word : {"SET:", "GET:"}) {
        SCOPED_TRACE(word);
        RunResult r = refuse({"-h", LOOPBACK, "-p", port(), word, "FOO=1", "TAG_DEV_ID=2A", "BAR"});
        EXPECT_EQ(r.out, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=FOO TAG_ERR_TAGID=BAR\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(TagWordsOnWire, EmptyNamesAreRefusedAndSendNothing) {
    RunResult r = refuse({"-h", LOOPBACK, "-p", port(), "SET:", "", "TAG_DEV_CFG", "=5"});
    EXPECT_EQ(r.out, "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID= TAG_ERR_TAGID=\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

// ---------------------------------------------------------------------------
// What a send that cannot happen prints.

class SendOutcome : public RequestPath {};

// An empty label: no resolver can put the name in a query, so the lookup
// fails on this machine and sends nothing.
TEST_F(SendOutcome, UnresolvableHostIsReportedWithoutSentLine) {
    RunResult r = runClient({"SET:", "TAG_DEV_CFG", "-h", "no-such-host..invalid"}, PERMUTING);
    EXPECT_EQ(r.out, "ERR: TX_HOST_UNKNOWN HOST=no-such-host..invalid\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(SendOutcome, Ipv6LiteralIsReportedAsNotIpv4) {
    RunResult r = runClient({"SET:", "-h", "::1", "-p", port()}, PERMUTING);
    EXPECT_EQ(r.out, "ERR: TX_HOST_NOT_IPV4 HOST=::1\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

// A SET: with one string tag takes 5 header bytes and 4 tag bytes besides
// the text, so 1015 characters fill the 1024-byte datagram exactly.
constexpr size_t LABEL_AT_LIMIT = 1024 - 5 - 4;

TEST_F(SendOutcome, MessageOverTheLimitIsReportedAndNotSent) {
    for (size_t length : {LABEL_AT_LIMIT + 1, size_t(1100)}) {
        SCOPED_TRACE(length);
        RunResult r =
            refuse({"SET:", "-h", LOOPBACK, "-p", port(), "TAG_DEV_LABEL=" + std::string(length, 'L')});
        EXPECT_EQ(r.out, "ERR: TX_MSG_TOO_LONG LIMIT=1024\n");
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(SendOutcome, MessageExactlyAtTheLimitIsSent) {
    const std::string label(LABEL_AT_LIMIT, 'L');
    Delivery d = deliver({"SET:", "-h", LOOPBACK, "-p", port(), "TAG_DEV_LABEL=" + label});
    EXPECT_EQ(d.run.out, "Sent 1024 bytes\n");
    MsgPtr m = request(d, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(d.datagrams[0].size(), 1024u);
    EXPECT_EQ(tagsOf(*m), (std::vector<std::string>{text(9, label)}));
}

// Runs the client from a shell that first applies its set-up, so a test
// can take away what the client needs (descriptors) before it starts.
RunResult runClientAfter(const std::string& setup, const std::vector<std::string>& words) {
    std::string command = setup + "; exec " + std::string(clientPath());
    for (const std::string& w : words) command += " '" + w + "'";
    return runProgram("/bin/bash", {"-c", command});
}

TEST_F(SendOutcome, SocketThatCannotBeOpenedIsReportedAndNothingSent) {
    RunResult r = runProgram(
        clientPath(), {"SET:", "-h", LOOPBACK, "-p", port(), "TAG_DEV_ID=2A"},
        // The sanitizer build's runtime need not come first here.
        {std::string("LD_PRELOAD=") + failSocketLibrary(), "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(r.out,
              "ERR: TX_SOCKET_FAILED HOST=127.0.0.1 REASON=Address family not supported by protocol\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(peer.drain().empty());
}

TEST_F(SendOutcome, GetRefusesASocketBeyondWhatSelectCanWatch) {
    // With descriptors 3 to 1030 taken, the socket lands past FD_SETSIZE:
    // a GET could not wait on it, so it is refused before anything is sent,
    // while a SET, which never waits, goes out.
    const std::string takeDescriptors =
        "ulimit -n 2048; i=3; while [ $i -le 1030 ]; do eval \"exec $i</dev/null\"; i=$((i+1)); done";
    RunResult get = runClientAfter(takeDescriptors, {"GET:", "-h", LOOPBACK, "-p", port(), "TAG_DEV_ID"});
    EXPECT_EQ(get.out, "ERR: TX_SOCKET_FAILED HOST=127.0.0.1 REASON=descriptor out of range for select\n");
    EXPECT_TRUE(peer.drain().empty());

    RunResult set = runClientAfter(takeDescriptors, {"SET:", "-h", LOOPBACK, "-p", port(), "TAG_DEV_ID=2A"});
    EXPECT_EQ(set.out, "Sent 11 bytes\n");
    EXPECT_EQ(peer.drain().size(), 1u);
}

}  // namespace
