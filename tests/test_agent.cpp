// The agent's serving side without sockets: the request handler against a
// store, the data file loader, the demo device and the options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "data_file.h"
#include "demo_device.h"
#include "fleet.h"
#include "msg_request.h"
#include "options.h"
#include "reply_budget.h"
#include "request_handler.h"
#include "store.h"
#include "tag_convert.h"
#include "tag_vocabulary.h"

namespace {

VTag* tag(const char* name, const char* value = nullptr) { return makeTag(*tagByName(name), value); }

uint8_t idOf(const char* name) { return tagByName(name)->id; }

Datagram encode(uint8_t msgId, uint8_t sequence, const std::vector<VTag*>& tags, uint16_t capacity = 4096) {
    VMsg msg(msgId);
    for (VTag* t : tags) msg.addTag(t);
    msg.sequence = sequence;
    Datagram bytes(capacity);
    bytes.resize(msg.getMsg(bytes.data(), capacity));
    return bytes;
}

// A GET as the client sends it: sequence 0, flagged last.
Datagram get(const std::vector<const char*>& names, uint8_t sequence = 0x80) {
    std::vector<VTag*> tags;
    for (const char* n : names) tags.push_back(tag(n));
    return encode(MSG_GET, sequence, tags);
}

std::vector<Datagram> serve(TagStore& store, const Datagram& datagram) {
    return handleDatagram(datagram, store).replies;
}

std::unique_ptr<VMsg> decode(const Datagram& d) {
    return std::unique_ptr<VMsg>(VMsg::parseMsg(d.data(), uint16_t(d.size())));
}

// The reply as the client prints it.
std::string printed(const std::vector<Datagram>& replies) {
    VMsg whole(MSG_GET);
    for (const Datagram& d : replies) {
        std::unique_ptr<VMsg> segment = decode(d);
        if (!segment) return "undecodable";
        whole.addSegment(segment.get());
    }
    char* text = nullptr;
    size_t size = 0;
    MsgRequest printer(MSG_GET);
    printer.out = open_memstream(&text, &size);
    printer.printMsg(&whole);
    fclose(printer.out);
    std::string result(text, size);
    free(text);
    return result;
}

TagStore storeOf(std::string_view text) {
    TagStore store;
    EXPECT_TRUE(loadTagText(text, store).empty()) << text;
    return store;
}

std::string textOf(const VTag* t) { return std::string(static_cast<const VTagString*>(t)->text()); }

constexpr const char SMALL_DEVICE[] =
    "TAG_DEV_ID=2A\n"
    "TAG_DEV_LABEL=Rack 1\n"
    "TAG_DEV_STATE=1\n"
    "TAG_IO_LABEL=Probe\n"
    "TAG_IO_SAMPLED_VALUE=21.5\n"
    "TAG_AI_DISPLAY_UNIT=degC\n"
    "TAG_AO_DISPLAY_UNIT=V\n"
    "TAG_NET_IF_NAME=eth0\n"
    "TAG_NET_SERVERNAME=box\n";

TEST(AgentGet, AnswersOneTagWithExactBytes) {
    TagStore store = storeOf(SMALL_DEVICE);
    std::vector<Datagram> replies = serve(store, get({"TAG_DEV_ID"}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (Datagram{0x01, 0x01, 0x80, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x2A}));
}

TEST(AgentGet, AnswersTagsInTheOrderAsked) {
    TagStore store = storeOf(SMALL_DEVICE);
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_LABEL", "TAG_DEV_ID", "TAG_DEV_LABEL"}))),
              "GET: TAG_DEV_LABEL=\"Rack 1\" TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" \n");
}

TEST(AgentGet, GroupAnswersItsStoredMembersInIdOrder) {
    TagStore store = storeOf(SMALL_DEVICE);
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_CFG"}))),
              "GET: TAG_DEV_STATE=01 TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" \n");
    // The analogue input's group takes its TAG_IO_ values but not TAG_IO_LABEL,
    // and nothing of the analogue outputs.
    EXPECT_EQ(printed(serve(store, get({"TAG_AI_CFG"}))),
              "GET: TAG_IO_SAMPLED_VALUE=21.500000 TAG_AI_DISPLAY_UNIT=\"degC\" \n");
    // TAG_NET_SERVERNAME shares TAG_NET_ but not TAG_NET_IF_.
    EXPECT_EQ(printed(serve(store, get({"TAG_NET_IF_CFG", "TAG_DEV_LABEL"}))),
              "GET: TAG_NET_IF_NAME=\"eth0\" TAG_DEV_LABEL=\"Rack 1\" \n");
}

TEST(AgentGet, GroupNamesEndInCfgAndTakeNoValue) {
    EXPECT_TRUE(isGroup(idOf("TAG_DEV_CFG")));
    EXPECT_TRUE(isGroup(idOf("TAG_DATETIME_CFG")));
    EXPECT_FALSE(isGroup(idOf("TAG_EVT_LOG_ENTRY")));  // None, but no _CFG
    EXPECT_FALSE(isGroup(idOf("TAG_DEV_ID")));
    EXPECT_FALSE(isGroup(200));
}

TEST(AgentGet, TagNotHeldGivesErrorReplyWithExactBytes) {
    TagStore store = storeOf(SMALL_DEVICE);
    std::vector<Datagram> replies = serve(store, get({"TAG_BUS_HOST"}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (Datagram{0x01, 0x02, 0x80, 0x00, 0x01, 0x02, 0x04, 0x7D}));
}

TEST(AgentGet, AnyMissingTagTurnsTheWholeAnswerIntoErrorsInAskedOrder) {
    TagStore store = storeOf(SMALL_DEVICE);
    VTag* unnamed = VTagFactory::createVTag(uint8_t(200));
    std::vector<Datagram> replies = serve(store, encode(MSG_GET, 0x80,
                                                        {tag("TAG_DEV_ID"), tag("TAG_SITE_LABEL"),
                                                         tag("TAG_IP_CFG"), unnamed, tag("TAG_DEV_LABEL")}));
    // TAG_IP_CFG is a group without stored members.
    EXPECT_EQ(printed(replies), "ERR: TAG_ERR_TAGID=1F TAG_ERR_TAGID=0F TAG_ERR_TAGID=C8 \n");
}

TEST(AgentGet, EmptyGetGetsEmptyAnswer) {
    TagStore store = storeOf(SMALL_DEVICE);
    std::vector<Datagram> replies = serve(store, get({}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (Datagram{0x01, 0x01, 0x80, 0x00, 0x00}));
}

TEST(AgentSetDel, SetStoresValuesAndSendsNothing) {
    TagStore store = storeOf(SMALL_DEVICE);
    HandleResult r = handleDatagram(
        encode(MSG_SET, 0x80,
               {tag("TAG_DEV_LABEL", "Rack 2"), tag("TAG_BUS_HOST", "bus-1"), tag("TAG_IO_GAIN", "1.5")}),
        store);
    EXPECT_TRUE(r.request);
    EXPECT_TRUE(r.replies.empty());
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_LABEL", "TAG_BUS_HOST", "TAG_IO_GAIN"}))),
              "GET: TAG_DEV_LABEL=\"Rack 2\" TAG_BUS_HOST=\"bus-1\" TAG_IO_GAIN=1.500000 \n");
}

TEST(AgentSetDel, SetRefusesTagsOfTheWrongTypeOrWithoutValue) {
    TagStore store = storeOf(SMALL_DEVICE);
    serve(store, encode(MSG_SET, 0x80,
                        {VTagFactory::createVTag(idOf("TAG_DEV_ID"), uint8_t(7)),        // dictionary: UInt32
                         VTagFactory::createVTag(idOf("TAG_DEV_LABEL"), uint32_t(5)),    // dictionary: String
                         VTagFactory::createVTag(idOf("TAG_DEV_CFG")),                   // no value
                         VTagFactory::createVTag(uint8_t(200), uint8_t(1)),              // no such id
                         VTagFactory::createVTag(idOf("TAG_DEV_STATE"), uint8_t(3))}));  // the good one
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_ID", "TAG_DEV_LABEL", "TAG_DEV_STATE"}))),
              "GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" TAG_DEV_STATE=03 \n");
    EXPECT_EQ(store.find(idOf("TAG_DEV_CFG")), nullptr);
    EXPECT_EQ(store.find(200), nullptr);
}

TEST(AgentSetDel, FloatSentAsTypeTwoIsKeptAsTypeSix) {
    TagStore store;
    serve(store, encode(MSG_SET, 0x80, {VTagFactory::createVTag(idOf("TAG_IO_GAIN"), 2.5f, true)}));
    std::vector<Datagram> replies = serve(store, get({"TAG_IO_GAIN"}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (Datagram{0x01, 0x01, 0x80, 0x00, 0x01, 0x33, 0x06, 0x40, 0x20, 0x00, 0x00}));
}

TEST(AgentSetDel, DelForgetsTagsSoGetReportsThem) {
    TagStore store = storeOf(SMALL_DEVICE);
    EXPECT_TRUE(serve(store, encode(MSG_DEL, 0x80, {tag("TAG_DEV_LABEL"), tag("TAG_BUS_HOST")})).empty());
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_LABEL"}))), "ERR: TAG_ERR_TAGID=09 \n");
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_CFG"}))), "GET: TAG_DEV_STATE=01 TAG_DEV_ID=0000002A \n");
}

TEST(AgentSetDel, RepAndOtherMessageIdsChangeNothingAndGetNoReply) {
    TagStore store = storeOf(SMALL_DEVICE);
    for (uint8_t msgId : {uint8_t(MSG_REP), uint8_t(MSG_ERR), uint8_t(MSG_EVT), uint8_t(9)}) {
        HandleResult r = handleDatagram(encode(msgId, 0x80, {tag("TAG_DEV_LABEL", "changed")}), store);
        EXPECT_TRUE(r.request) << int(msgId);
        EXPECT_TRUE(r.replies.empty()) << int(msgId);
    }
    EXPECT_EQ(textOf(store.find(idOf("TAG_DEV_LABEL"))), "Rack 1");
}

TEST(AgentInput, GarbageEmptyAndOversizedDatagramsGetNoReply) {
    TagStore store = storeOf(SMALL_DEVICE);
    Datagram good = get({"TAG_DEV_ID"});
    Datagram truncated(good.begin(), good.end() - 1);
    Datagram trailing = good;
    trailing.push_back(0);
    // A well-formed GET too long for one datagram: 5 + 510 * 2 bytes.
    std::vector<VTag*> many;
    for (int i = 0; i < 510; ++i) many.push_back(tag("TAG_DEV_CFG"));
    Datagram oversized = encode(MSG_GET, 0x80, many);
    ASSERT_EQ(oversized.size(), 1025u);
    for (const Datagram& d : {Datagram{}, Datagram{0xFF, 0x00, 0x13}, truncated, trailing, oversized}) {
        HandleResult r = handleDatagram(d, store);
        EXPECT_FALSE(r.request) << d.size();
        EXPECT_TRUE(r.replies.empty()) << d.size();
    }
    // One tag fewer, 1023 bytes: a request like any other.
    many.clear();
    for (int i = 0; i < 509; ++i) many.push_back(tag("TAG_DEV_CFG"));
    Datagram largest = encode(MSG_GET, 0x80, many);
    EXPECT_EQ(largest.size(), 1023u);
    HandleResult r = handleDatagram(largest, store);
    EXPECT_TRUE(r.request);
    EXPECT_FALSE(r.replies.empty());
}

// Every reply datagram fits, decodes and carries the sequence number; only
// the last is flagged; every segment but the last is full (the next tag
// would not have fitted).
void expectWellSegmented(const std::vector<Datagram>& replies, uint8_t sequenceNumber) {
    ASSERT_FALSE(replies.empty());
    for (size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        EXPECT_LE(replies[i].size(), DATAGRAM_SIZE);
        std::unique_ptr<VMsg> segment = decode(replies[i]);
        ASSERT_TRUE(segment);
        ASSERT_GT(segment->tagCount(), 0u);
        bool last = i + 1 == replies.size();
        EXPECT_EQ(segment->sequence, uint8_t(sequenceNumber | (last ? 0x80 : 0)));
        if (!last) {
            std::unique_ptr<VMsg> next = decode(replies[i + 1]);
            ASSERT_TRUE(next);
            EXPECT_GT(replies[i].size() + tagWireSize(*next->getTag()), DATAGRAM_SIZE);
        }
    }
}

TEST(AgentSegments, LongReplyIsSplitIntoWholeTagsInOrder) {
    TagStore store;
    std::vector<const char*> names;
    std::string text;
    for (const TagEntry& e : allTags()) {
        if (e.kind != TagKind::String) continue;
        names.push_back(e.name);
        text += std::string(e.name) + "=" + std::string(300, char('a' + names.size() % 26)) + "\n";
    }
    ASSERT_TRUE(loadTagText(text, store).empty());
    // Three 304-byte tags fill a segment: 52 tags make 18 segments.
    std::vector<Datagram> replies = serve(store, get(names, 0x85));
    EXPECT_EQ(replies.size(), 18u);
    expectWellSegmented(replies, 0x05);

    VMsg whole(MSG_GET);
    for (const Datagram& d : replies) whole.addSegment(decode(d).get());
    ASSERT_EQ(whole.tagCount(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const VTag* t = whole.getTag();
        EXPECT_EQ(t->tagId, idOf(names[i]));
        EXPECT_EQ(textOf(t), std::string(300, char('a' + (i + 1) % 26))) << names[i];
    }
}

TEST(AgentSegments, ReplyBeyondSixtyFourDatagramsIsRefused) {
    // Every String tag of the site group at 1000 bytes: one group name asks
    // for about 4 KiB, so a request repeating it 16 times asks for 64 KiB.
    TagStore store;
    std::string text;
    for (const char* name : {"TAG_SITE_ID", "TAG_SITE_LABEL", "TAG_SITE_NMS_ADDRESS", "TAG_SITE_SVP_ADDRESS"})
        text += std::string(name) + "=" + std::string(1000, 'x') + "\n";
    ASSERT_TRUE(loadTagText(text, store).empty());
    EXPECT_EQ(serve(store, get(std::vector<const char*>(16, "TAG_SITE_CFG"))).size(), 64u);

    std::vector<Datagram> replies = serve(store, get(std::vector<const char*>(17, "TAG_SITE_CFG")));
    EXPECT_EQ(printed(replies), "ERR: TAG_ERR_MSGID=01 \n");
}

TEST(AgentSegments, ReplyOfExactlyOneDatagramIsNotSplitButOneByteMoreIs) {
    // Header 5, each text tag 4 + its length: 5 + 504 + 515 = 1024.
    TagStore store =
        storeOf("TAG_DEV_LABEL=" + std::string(500, 'x') + "\nTAG_SITE_LABEL=" + std::string(511, 'y'));
    std::vector<Datagram> replies = serve(store, get({"TAG_DEV_LABEL", "TAG_SITE_LABEL"}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].size(), 1024u);
    expectWellSegmented(replies, 0);

    store = storeOf("TAG_DEV_LABEL=" + std::string(500, 'x') + "\nTAG_SITE_LABEL=" + std::string(512, 'y'));
    replies = serve(store, get({"TAG_DEV_LABEL", "TAG_SITE_LABEL"}));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].size(), 509u);
    EXPECT_EQ(replies[1].size(), 521u);
    expectWellSegmented(replies, 0);
}

TEST(AgentSegments, LongErrorReplyIsSplitToo) {
    TagStore store;
    std::vector<VTag*> asked;
    for (int i = 0; i < 400; ++i) asked.push_back(VTagFactory::createVTag(uint8_t(182 + i % 74)));
    std::vector<Datagram> replies = serve(store, encode(MSG_GET, 0x80 | 0x7F, asked));
    // Three bytes per TAG_ERR_TAGID: 339 fill 1022 bytes, 61 remain.
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].size(), 1022u);
    EXPECT_EQ(replies[1].size(), 188u);
    expectWellSegmented(replies, 0x7F);
    std::unique_ptr<VMsg> first = decode(replies[0]);
    EXPECT_EQ(first->msgId, MSG_ERR);
    const VTag* t = first->getTag();
    EXPECT_EQ(t->tagId, idOf("TAG_ERR_TAGID"));
    EXPECT_EQ(static_cast<const VTagUInt8*>(t)->getValue(), 182);
}

TEST(AgentSegments, SequenceNumberIsTheRequestsLowSevenBits) {
    TagStore store = storeOf(SMALL_DEVICE);
    for (uint8_t sequence : {0x85, 0x05, 0x00, 0xFF}) {
        std::vector<Datagram> replies = serve(store, get({"TAG_DEV_ID"}, sequence));
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0][2], uint8_t((sequence & 0x7F) | 0x80)) << int(sequence);
    }
}

TEST(AgentDataFile, GoodLinesUseTheClientsConversions) {
    TagStore store;
    EXPECT_TRUE(loadTagText("# a comment\n"
                            "\n"
                            "   \t\n"
                            "  TAG_DEV_ID=2A  \n"
                            "tag_dev_label=Rack 1\r\n"
                            "TAG_IO_GAIN=1.5\n"
                            "TAG_DEV_STATE=1FF\n"
                            "TAG_NET_INPORT=1F90\n"
                            "TAG_SITE_LABEL=\n"
                            "TAG_SITE_ID=a=b\n"
                            "TAG_SITE_ID=c=d",
                            store)
                    .empty());
    EXPECT_EQ(store.size(), 7u);
    EXPECT_EQ(printed(serve(store, get({"TAG_DEV_ID", "TAG_DEV_LABEL", "TAG_IO_GAIN", "TAG_DEV_STATE",
                                        "TAG_NET_INPORT", "TAG_SITE_LABEL", "TAG_SITE_ID"}))),
              "GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" TAG_IO_GAIN=1.500000 TAG_DEV_STATE=FF "
              "TAG_NET_INPORT=1F90 TAG_SITE_LABEL=\"\" TAG_SITE_ID=\"c=d\" \n");
    EXPECT_EQ(store.find(idOf("TAG_IO_GAIN"))->type, uint32_t(VTAG_FLOAT));
}

TEST(AgentDataFile, BadLinesAreReportedWithTheirNumbers) {
    TagStore store;
    std::vector<LineProblem> problems = loadTagText(
        "TAG_DEV_ID=1\n"
        "FOO=1\n"
        "# TAG_BUS_HOST\n"
        "TAG_DEV_CFG=1\n"
        "TAG_DEV_LABEL\n"
        "=5\n"
        "TAG_DEV_LABEL=" +
            std::string(1016, 'x') +
            "\n"
            "TAG_SITE_LABEL=" +
            std::string(1015, 'x') + "\n",
        store);
    ASSERT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[0].line, 2u);
    EXPECT_EQ(problems[0].reason, "unknown tag name 'FOO'");
    EXPECT_EQ(problems[1].line, 4u);
    EXPECT_EQ(problems[1].reason, "TAG_DEV_CFG takes no value");
    EXPECT_EQ(problems[2].line, 5u);
    EXPECT_EQ(problems[2].reason, "missing '=' in 'TAG_DEV_LABEL'");
    EXPECT_EQ(problems[3].line, 6u);
    EXPECT_EQ(problems[3].reason, "unknown tag name ''");
    EXPECT_EQ(problems[4].line, 7u);
    EXPECT_EQ(problems[4].reason, "TAG_DEV_LABEL: value too long for one datagram");
    // The good lines are still stored; the largest text that fits is taken.
    EXPECT_NE(store.find(idOf("TAG_DEV_ID")), nullptr);
    EXPECT_NE(store.find(idOf("TAG_SITE_LABEL")), nullptr);
}

TEST(AgentDataFile, NulByteInALineIsReported) {
    TagStore store;
    std::vector<LineProblem> problems = loadTagText(std::string("TAG_DEV_ID\0junk=2A\n", 19), store);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 1u);
    EXPECT_EQ(problems[0].reason, "NUL byte in line");
}

class AgentDataFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/test_agent.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string dir;
};

TEST_F(AgentDataFileOnDisk, ComplaintsNameTheFileAndLine) {
    TagStore store;
    std::string good = write("good.tags", "TAG_DEV_ID=2A\n");
    EXPECT_TRUE(loadTagFile(good, store).empty());
    EXPECT_EQ(store.size(), 1u);

    std::string bad = write("bad.tags", "TAG_DEV_ID=2A\n\nFOO=1\nTAG_DEV_CFG\n");
    EXPECT_EQ(loadTagFile(bad, store), (std::vector<std::string>{bad + ":3: unknown tag name 'FOO'",
                                                                 bad + ":4: missing '=' in 'TAG_DEV_CFG'"}));
}

TEST_F(AgentDataFileOnDisk, UnreadableFileIsOneComplaint) {
    TagStore store;
    EXPECT_EQ(loadTagFile(dir + "/absent.tags", store),
              std::vector<std::string>{dir + "/absent.tags: No such file or directory"});
    EXPECT_EQ(loadTagFile(dir, store), std::vector<std::string>{dir + ": Is a directory"});
}

TEST_F(AgentDataFileOnDisk, FileOverOneMebibyteIsRefusedUnread) {
    TagStore store;
    std::string comment = "# " + std::string(1021, 'c') + "\n";  // 1 KiB a line
    std::string text;
    for (int i = 0; i < 1024; ++i) text += comment;
    EXPECT_TRUE(loadTagFile(write("full.tags", text), store).empty());
    std::string over = write("over.tags", text + "TAG_DEV_ID=2A\n");
    EXPECT_EQ(loadTagFile(over, store),
              std::vector<std::string>{over + ": larger than 1 MiB; 182 tags never need that much"});
    EXPECT_EQ(store.size(), 0u);
}

TEST(AgentDemoDevice, SeedLoadsWithoutComplaintAndHoldsTheDevice) {
    TagStore store;
    EXPECT_TRUE(loadTagText(demoDeviceText(), store).empty());
    for (const char* name :
         {"TAG_DEV_ID",          "TAG_DEV_LABEL",       "TAG_DEV_TYPE",          "TAG_DEV_STATE",
          "TAG_DEV_NDISCINPUT",  "TAG_DEV_NDISCOUTPUT", "TAG_DEV_NANALOGINPUT",  "TAG_DEV_NANALOGOUTPUT",
          "TAG_SITE_ID",         "TAG_SITE_LABEL",      "TAG_SITE_NMS_ADDRESS",  "TAG_IO_SAMPLED_VALUE",
          "TAG_IO_GAIN",         "TAG_IO_OFFSET",       "TAG_AI_ALARM_LOW_WARN", "TAG_AI_ALARM_HIGH_ERR",
          "TAG_AI_DISPLAY_UNIT", "TAG_NET_IF_NAME",     "TAG_NET_IF_ADDRESS",    "TAG_NET_IF_NETMASK",
          "TAG_NET_IF_GATEWAY",  "TAG_VERSION",         "TAG_DATETIME_DATE",     "TAG_DATETIME_TIME"})
        EXPECT_NE(store.find(idOf(name)), nullptr) << name;
    TagStore seeded;
    loadDemoDevice(seeded);
    EXPECT_EQ(seeded.size(), store.size());
    // Every group of the device answers in one datagram.
    for (const char* group :
         {"TAG_DEV_CFG", "TAG_SITE_CFG", "TAG_AI_CFG", "TAG_NET_IF_CFG", "TAG_DATETIME_CFG"}) {
        std::vector<Datagram> replies = serve(seeded, get({group}));
        ASSERT_EQ(replies.size(), 1u) << group;
        EXPECT_EQ(replies[0][1], MSG_GET) << group;
    }
}

TEST(AgentDemoDevice, ClockRefreshSetsHeldDateAndTimeOnly) {
    TagStore store;
    loadDemoDevice(store);
    refreshDemoClock(store, 951868798);  // 2000-02-29 23:59:58 UTC
    EXPECT_EQ(printed(serve(store, get({"TAG_DATETIME_CFG"}))),
              "GET: TAG_DATETIME_DATE=\"2000-02-29\" TAG_DATETIME_TIME=\"23:59:58\" \n");
    store.erase(idOf("TAG_DATETIME_DATE"));
    refreshDemoClock(store, 0);
    EXPECT_EQ(store.find(idOf("TAG_DATETIME_DATE")), nullptr);
    EXPECT_EQ(textOf(store.find(idOf("TAG_DATETIME_TIME"))), "00:00:00");
}

bool parse(std::vector<std::string> args, Options& options, std::string& error) {
    args.insert(args.begin(), "tagagent");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return parseOptions(int(args.size()), argv.data(), options, error);
}

TEST(AgentOptions, ShortAndLongFormsSetEveryOption) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({}, o, error));
    EXPECT_EQ(o.address, "127.0.0.1");
    EXPECT_EQ(o.port, 60000);
    EXPECT_EQ(o.timeLimit, 0u);
    EXPECT_EQ(o.requestLimit, 0u);

    Options s;
    ASSERT_TRUE(parse({"-a", "127.0.0.2", "-p", "0", "-f", "x.tags", "-t", "60", "-n", "3", "-vv"}, s, error))
        << error;
    EXPECT_EQ(s.address, "127.0.0.2");
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(s.dataFile, "x.tags");
    EXPECT_EQ(s.timeLimit, 60u);
    EXPECT_EQ(s.requestLimit, 3u);
    EXPECT_EQ(s.verbosity, 2);

    Options l;
    ASSERT_TRUE(parse({"--address=127.0.0.3", "--port", "65535", "--file=y.tags", "--time=1", "--requests",
                       "1", "--verbose", "--help"},
                      l, error))
        << error;
    EXPECT_EQ(l.address, "127.0.0.3");
    EXPECT_EQ(l.port, 65535);
    EXPECT_EQ(l.dataFile, "y.tags");
    EXPECT_EQ(l.timeLimit, 1u);
    EXPECT_EQ(l.requestLimit, 1u);
    EXPECT_EQ(l.verbosity, 1);
    EXPECT_TRUE(l.help);
}

TEST(AgentOptions, BadOptionsAndNumbersAreRefusedWithAReason) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-p", "65536"}, "bad port '65536'"},
        {{"-p", "-1"}, "bad port '-1'"},
        {{"-p", "80x"}, "bad port '80x'"},
        {{"--port="}, "bad port ''"},
        {{"-t", "0"}, "bad time '0'"},
        {{"-t", " 5"}, "bad time ' 5'"},
        {{"-n", "abc"}, "bad request count 'abc'"},
        {{"-a", "localhost"}, "bad address 'localhost'"},
        {{"-vx"}, "unknown option '-x'"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-p"}, "option '-p' needs a value"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const auto& [args, expected] : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
        EXPECT_EQ(error, expected) << args[0];
    }
}

TEST(AgentOptions, FleetOptionsAndTheirBounds) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--devices", "10000", "--targets-file", "t.txt", "--loss", "0.05", "--delay", "20:5",
                       "--budget", "10:2048"},
                      o, error))
        << error;
    EXPECT_EQ(o.devices, 10000u);
    EXPECT_EQ(o.targetsFile, "t.txt");
    EXPECT_DOUBLE_EQ(o.loss, 0.05);
    EXPECT_EQ(o.delayMs, 20u);
    EXPECT_EQ(o.jitterMs, 5u);
    EXPECT_EQ(o.budget.replies, 10u);
    EXPECT_EQ(o.budget.bytes, 2048u);
    Options d;
    ASSERT_TRUE(parse({"--delay", "7", "--budget", "0", "--loss", "1"}, d, error)) << error;
    EXPECT_EQ(d.delayMs, 7u);
    EXPECT_EQ(d.jitterMs, 0u);
    EXPECT_TRUE(d.budget.unlimited());
    EXPECT_EQ(Options().budget.replies, 200u);
    EXPECT_EQ(Options().budget.bytes, 65536u);

    for (const auto& [args, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--devices", "0"}, "bad device count '0'"},
             {{"--devices", "16777215"}, "bad device count '16777215'"},
             {{"--loss", "1.5"}, "bad loss '1.5'"},
             {{"--loss", "nan"}, "bad loss 'nan'"},
             {{"--loss", "-0"}, "bad loss '-0'"},
             {{"--delay", "5:"}, "bad delay '5:'"},
             {{"--delay", "60001"}, "bad delay '60001'"},
             {{"--budget", "200"}, "bad budget '200'"},
             {{"--budget", "1:4294967296"}, "bad budget '1:4294967296'"},
         }) {
        Options bad;
        EXPECT_FALSE(parse(args, bad, error)) << args[1];
        EXPECT_EQ(error, expected);
    }
}

TEST(AgentStoreLayers, ADeviceReadsThroughToSharedValuesAndHidesWhatItChanges) {
    auto shared = std::make_shared<TagStore>(storeOf(SMALL_DEVICE));
    TagStore device(shared);
    EXPECT_EQ(device.size(), 9u);
    EXPECT_TRUE(device.put(std::unique_ptr<VTag>(tag("TAG_DEV_LABEL", "Mine"))));
    EXPECT_TRUE(device.put(std::unique_ptr<VTag>(tag("TAG_SITE_ID", "S9"))));  // the base lacks it
    EXPECT_TRUE(device.erase(idOf("TAG_DEV_STATE")));
    EXPECT_FALSE(device.erase(idOf("TAG_DEV_STATE")));
    EXPECT_EQ(printed(serve(device, get({"TAG_DEV_CFG", "TAG_SITE_ID"}))),
              "GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Mine\" TAG_SITE_ID=\"S9\" \n");
    EXPECT_EQ(device.size(), 9u);
    // The shared values are untouched, and their later changes show through.
    EXPECT_EQ(textOf(shared->find(idOf("TAG_DEV_LABEL"))), "Rack 1");
    EXPECT_NE(shared->find(idOf("TAG_DEV_STATE")), nullptr);
    shared->put(std::unique_ptr<VTag>(tag("TAG_NET_IF_NAME", "eth1")));
    EXPECT_EQ(textOf(device.find(idOf("TAG_NET_IF_NAME"))), "eth1");
    // Put back after an erase, a value reads again.
    device.put(std::unique_ptr<VTag>(tag("TAG_DEV_STATE", "7")));
    EXPECT_EQ(printed(serve(device, get({"TAG_DEV_STATE"}))), "GET: TAG_DEV_STATE=07 \n");
}

TEST(AgentFleet, DevicesTakeConsecutiveAddressesWithinTheirNetwork) {
    std::vector<sockaddr_storage> a;
    std::string error;
    ASSERT_TRUE(fleetAddresses("127.0.0.1", 10000, 0, a, error)) << error;
    ASSERT_EQ(a.size(), 10000u);
    EXPECT_EQ(endpointText(a.back()), "127.0.39.16:0");
    EXPECT_TRUE(fleetAddresses("127.255.255.253", 2, 0, a, error));
    EXPECT_FALSE(fleetAddresses("127.255.255.253", 3, 0, a, error));
    EXPECT_EQ(error, "3 devices from 127.255.255.253 would leave its /8 network");
    EXPECT_FALSE(fleetAddresses("126.255.255.255", 2, 0, a, error));
    // IPv6: one address, a port each.
    ASSERT_TRUE(fleetAddresses("::1", 3, 65533, a, error)) << error;
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(endpointText(a[0]), "[::1]:65533");
    EXPECT_EQ(endpointText(a[2]), "[::1]:65535");
    EXPECT_FALSE(fleetAddresses("::1", 4, 65533, a, error));
    EXPECT_EQ(error, "4 devices from port 65533 would pass port 65535");
    ASSERT_TRUE(fleetAddresses("::1", 2, 0, a, error));
    EXPECT_EQ(endpointText(a[1]), "[::1]:0");
    EXPECT_FALSE(fleetAddresses("::1::2", 1, 0, a, error));
    EXPECT_EQ(error, "bad address '::1::2'");

    auto shared = std::make_shared<TagStore>();
    loadDemoDevice(*shared);
    TagStore twelfth = fleetDeviceStore(shared, 12);
    EXPECT_EQ(printed(serve(twelfth, get({"TAG_DEV_ID", "TAG_DEV_LABEL", "TAG_DEV_TYPE"}))),
              "GET: TAG_DEV_ID=0000000C TAG_DEV_LABEL=\"Demo rack controller 12\" TAG_DEV_TYPE=03 \n");
    TagStore unlabelled = fleetDeviceStore(std::make_shared<TagStore>(), 3);
    EXPECT_EQ(textOf(unlabelled.find(idOf("TAG_DEV_LABEL"))), "Device 3");
}

// Planned only: nothing is bound or sent. A fleet is refused anywhere but
// loopback; one device may serve any address.
TEST(AgentFleet, AFleetStaysOnLoopbackAndSharesOneSocketOnIPv4) {
    const struct {
        const char* address;
        unsigned long count;
        bool planned, shared;
        const char* last;  // the last device's endpoint, as planned
    } cases[] = {
        {"127.0.0.1", 1000000, true, true, "127.15.66.64:7000"},
        {"127.255.255.254", 1, true, true, "127.255.255.254:7000"},
        {"::1", 3, true, false, "[::1]:7002"},
        {"0.0.0.0", 2, false, false, ""},
        {"128.0.0.1", 2, false, false, ""},
        {"::2", 2, false, false, ""},
        {"::ffff:127.0.0.1", 2, false, false, ""},
    };
    for (const auto& c : cases) {
        Fleet fleet;
        std::string error;
        EXPECT_EQ(fleet.plan(c.address, c.count, 7000, true, error), c.planned) << c.address;
        if (!c.planned) {
            EXPECT_EQ(error, "fleet address '" + std::string(c.address) +
                                 "' is not on loopback (127.0.0.0/8 or ::1)");
            continue;
        }
        EXPECT_EQ(fleet.shared(), c.shared) << c.address;
        EXPECT_EQ(fleet.size(), c.count) << c.address;
        EXPECT_EQ(endpointText(fleet.endpoint(c.count - 1)), c.last) << c.address;
    }
    Fleet one;
    std::string error;
    EXPECT_TRUE(one.plan("0.0.0.0", 1, 7000, false, error)) << error;
    EXPECT_FALSE(one.shared());
}

TEST(AgentReplyBudget, EachAddressGetsItsBurstThenItsRate) {
    using namespace std::chrono_literals;
    const ReplyBudget::Clock::time_point t0{};
    const uint32_t a = 1, b = 2;
    ReplyBudget budget;
    const BudgetLimits limits{200, 65536};
    int served = 0;
    while (budget.allows(a, t0, limits) && served < 1000) {
        budget.charge(a, 1, 11, t0, limits);
        ++served;
    }
    EXPECT_EQ(served, 200);
    EXPECT_TRUE(budget.allows(b, t0, limits));  // another address has its own
    EXPECT_FALSE(budget.allows(a, t0 + 4ms, limits));
    EXPECT_TRUE(budget.allows(a, t0 + 5ms, limits));  // 200 a second: one more each 5 ms

    // Bytes: one large reply may take the bucket below empty; then a wait.
    budget.charge(b, 64, 65000, t0, limits);
    EXPECT_TRUE(budget.allows(b, t0, limits));
    budget.charge(b, 1, 1000, t0, limits);
    EXPECT_FALSE(budget.allows(b, t0 + 7ms, limits));
    EXPECT_TRUE(budget.allows(b, t0 + 8ms, limits));

    const BudgetLimits repliesOnly{5, 0};
    ReplyBudget small;
    for (int i = 0; i < 5; ++i) small.charge(a, 1, 100000, t0, repliesOnly);
    EXPECT_FALSE(small.allows(a, t0, repliesOnly));
    const BudgetLimits none{0, 0};
    for (int i = 0; i < 5; ++i) small.charge(a, 1000, 100000, t0, none);
    EXPECT_TRUE(small.allows(a, t0, none));
}

TEST(AgentReplyBudget, AddressesAreBoundedAndForgottenOnceRefilled) {
    using namespace std::chrono_literals;
    const ReplyBudget::Clock::time_point t0{};
    const BudgetLimits limits{200, 65536};
    ReplyBudget budget;
    for (uint32_t a = 0; a < ReplyBudget::MAX_ADDRESSES; ++a) budget.charge(a, 1, 11, t0, limits);
    EXPECT_FALSE(budget.allows(ReplyBudget::MAX_ADDRESSES, t0, limits));
    budget.forgetIdle(t0 + 4ms, limits);
    EXPECT_EQ(budget.addresses(), ReplyBudget::MAX_ADDRESSES);
    budget.forgetIdle(t0 + 5ms, limits);
    EXPECT_EQ(budget.addresses(), 0u);
    EXPECT_TRUE(budget.allows(ReplyBudget::MAX_ADDRESSES, t0 + 5ms, limits));
}

}  // namespace
