// The probe's inputs (query string, budget, allowed networks) and its flow
// over a scripted transport: what is asked, asked again, and reported.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "allow_list.h"
#include "missing_tags.h"
#include "options.h"
#include "probe.h"
#include "probe_log.h"
#include "query.h"
#include "socket_address.h"

namespace {

using exporter::ProbeQuery;

struct QueryCase {
    const char* raw;
    const char* reason;  // empty: accepted
    const char* host = "";
    uint16_t port = 0;
    std::vector<std::string> modules = {};
    bool debug = false;
};

TEST(ProbeQuery, AcceptsAndRefusesAsTabled) {
    const QueryCase cases[] = {
        {"target=127.10.0.1", "", "127.10.0.1", 0, {"device"}},
        {"target=dev-1.localhost:6000&module=io&module=ai&module=io",
         "",
         "dev-1.localhost",
         6000,
         {"io", "ai"}},
        {"module=a%62c&target=127.0.0.1%3A7&&", "", "127.0.0.1", 7, {"abc"}},
        {"", "target parameter is missing"},
        {"module=io", "target parameter is missing"},
        {"target=a&target=b", "more than one target parameter"},
        {"target=a&debug=true", "", "a", 0, {"device"}, true},
        {"debug=false&target=a", "", "a", 0, {"device"}, false},
        {"target=a&debug=1", "debug must be true or false"},
        {"target=a&debug", "debug must be true or false"},
        {"target=a&verbose=true", "unknown query parameter \"verbose\""},
        {"target=a%2", "malformed percent escape in the query"},
        {"target=a%zz", "malformed percent escape in the query"},
        {"target=a&module=", "empty module parameter"},
        {"target=", "target must be HOST[:PORT] with an IPv4 address or a host name, or [IPV6]:PORT"},
        {"target=a+b", "target must be HOST[:PORT] with an IPv4 address or a host name, or [IPV6]:PORT"},
        {"target=a/b", "target must be HOST[:PORT] with an IPv4 address or a host name, or [IPV6]:PORT"},
        {"target=%5Ba::%00::%5D:7", "target must be an IPv6 address, bare or as [IPV6]:PORT"},
        {"target=a:0", "target port must be a number from 1 to 65535"},
        {"target=a:65536", "target port must be a number from 1 to 65535"},
        {"target=a:", "target port must be a number from 1 to 65535"},
        {"target=a:1x", "target port must be a number from 1 to 65535"},
        {"target=a&module=1&module=2&module=3", "more than 2 modules in one probe"},
    };
    exporter::QueryLimits limits;
    limits.maxModules = 2;
    for (const QueryCase& c : cases) {
        ProbeQuery query;
        std::string reason;
        bool ok = exporter::parseProbeQuery(c.raw, limits, query, reason);
        EXPECT_EQ(ok, *c.reason == '\0') << c.raw;
        if (!ok) {
            EXPECT_EQ(reason, c.reason) << c.raw;
            continue;
        }
        EXPECT_EQ(query.host, c.host) << c.raw;
        EXPECT_EQ(query.port, c.port) << c.raw;
        EXPECT_EQ(query.modules, c.modules) << c.raw;
        EXPECT_EQ(query.debug, c.debug) << c.raw;
    }
    ProbeQuery query;
    std::string reason;
    limits.maxLength = 16;
    EXPECT_FALSE(exporter::parseProbeQuery("target=127.0.0.10", limits, query, reason));
    EXPECT_EQ(reason, "query longer than 16 bytes");
}

TEST(ProbeBudget, ScrapeTimeoutLessMarginCappedByModule) {
    struct Case {
        std::optional<double> header;
        double margin, module, budget;
    };
    const Case cases[] = {
        {std::nullopt, 0.5, 5, 5},  // no header: the module's time-out
        {10, 0.5, 5, 5},            // the module caps a long scrape time-out
        {3, 0.5, 5, 2.5},           // less the margin
        {0.4, 0.5, 5, 0.2},         // a margin as long as the time-out leaves half
        {2, 0, 5, 2},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(exporter::probeBudget(c.header, c.margin, c.module).count(), c.budget)
            << c.header.value_or(-1);
}

TEST(AllowList, MatchesNetworksAndRefusesMalformedOnes) {
    exporter::AllowList list;
    std::string reason;
    ASSERT_TRUE(list.parse("127.1.0.0/16,127.0.0.1,127.0.2.128/25", reason)) << reason;
    auto allows = [&](const char* text) {
        in_addr address{};
        inet_pton(AF_INET, text, &address);
        return list.allows(address);
    };
    EXPECT_TRUE(allows("127.1.255.3"));
    EXPECT_FALSE(allows("127.2.0.1"));
    EXPECT_TRUE(allows("127.0.0.1"));
    EXPECT_FALSE(allows("127.0.0.2"));
    EXPECT_TRUE(allows("127.0.2.200"));
    EXPECT_FALSE(allows("127.0.2.127"));
    for (const char* bad :
         {"127.0.0.1/8", "127.0.0.0/33", "127.0.0.0/", "host", "127.0.0.0/8,", "127.2.3.4/8x"})
        EXPECT_FALSE(list.parse(bad, reason)) << bad;
    ASSERT_TRUE(list.parse("", reason));
    EXPECT_TRUE(allows("127.2.0.1"));  // refused by the list before
}

// Each address judged against a list of both families; a mapped IPv6
// address reaches an IPv4 host, so only the IPv4 networks may let it pass.
TEST(AllowList, JudgesBothFamiliesAndMappedAddressesAsIpv4) {
    struct Case {
        const char* list;
        const char* address;
        bool allowed;
    } cases[] = {
        {"::1/128,127.1.0.0/16", "::1", true},
        {"::1/128,127.1.0.0/16", "127.2.0.1", false},
        {"::1,127.1.0.0/16", "::1", true},
        {"::ffff:127.0.0.1,127.1.0.0/16", "::1", false},
        {"::1/128,127.1.0.0/16", "::ffff:127.1.8.7", true},
        {"::1/128,127.1.0.0/16", "::ffff:127.2.0.1", false},
        {"::1/128,127.1.0.0/16", "127.1.2.3", true},
        // An IPv6 network that spells the IPv4 ones holds neither.
        {"::ffff:127.0.0.0/104", "::ffff:127.0.0.1", false},
        {"::ffff:127.0.0.0/104", "127.0.0.1", false},
        {"127.0.0.0/8", "::1", false},
    };
    for (const Case& c : cases) {
        exporter::AllowList list;
        std::string reason;
        ASSERT_TRUE(list.parse(c.list, reason)) << c.list << ": " << reason;
        EXPECT_EQ(list.allows(socketAddress(c.address)), c.allowed) << c.list << " / " << c.address;
    }
    exporter::AllowList list;
    std::string reason;
    for (const char* bad : {"::1/120", "::1/129", "::ffff:127.0.0.0/95", "[::1]", "::1/", "0:0:::1"})
        EXPECT_FALSE(list.parse(bad, reason)) << bad;
}

// Answers each exchange with the next scripted result, recording what was asked.
struct ScriptedTransport : exporter::Transport {
    std::deque<tagengine::Result> script;
    std::vector<tagengine::Exchange> asked;
    void submit(tagengine::Exchange exchange) override { asked.push_back(std::move(exchange)); }
    void answerNext() {
        // Taken out first: the callback may submit again and grow the list.
        tagengine::Callback done = std::move(asked.back().done);
        tagengine::Result result = std::move(script.front());
        script.pop_front();
        done(std::move(result));
    }
};

std::vector<uint8_t> tagIds(const VMsg& msg) {
    std::vector<uint8_t> ids;
    auto& cursor = const_cast<VMsg&>(msg);
    cursor.gotoFirst();
    while (const VTag* tag = cursor.getTag()) ids.push_back(tag->tagId);
    return ids;
}

tagengine::Result resultOf(tagengine::Status status, VMsg* reply, int attempts) {
    tagengine::Result result;
    result.status = status;
    result.reply.reset(reply);
    result.attempts = attempts;
    return result;
}

exporter::ProbePlan planOf(std::vector<uint8_t> tags) {
    exporter::ProbePlan plan;
    plan.tags = std::move(tags);
    plan.port = 60001;
    plan.retries = 2;
    plan.budget = exporter::Seconds(7);
    return plan;
}

sockaddr_storage loopback() {
    sockaddr_storage storage{};
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_port = htons(60001);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return storage;
}

TEST(Probe, TagsNotHeldAreAskedAgainWithoutThem) {
    ScriptedTransport transport;
    auto* notHeld = new VMsg(2);  // ERR naming TAG_DEV_ID_OLD (67)
    notHeld->addTag(new VTagUInt8(2, 67));
    transport.script.push_back(resultOf(tagengine::Status::ErrorReply, notHeld, 1));
    auto* answer = new VMsg(1);
    answer->addTag(new VTagUInt32(8, 7));
    transport.script.push_back(resultOf(tagengine::Status::Answered, answer, 2));

    std::optional<exporter::ProbeOutcome> outcome;
    exporter::runProbe(transport, "dev:60001", loopback(), planOf({8, 67}),
                       [&](exporter::ProbeOutcome&& o) { outcome = std::move(o); });
    ASSERT_EQ(transport.asked.size(), 1U);
    const tagengine::Exchange& first = transport.asked[0];
    EXPECT_EQ(first.host, "127.0.0.1");
    EXPECT_EQ(first.port, 60001);
    EXPECT_EQ(first.request->msgId, 1);
    EXPECT_EQ(tagIds(*first.request), (std::vector<uint8_t>{8, 67}));
    EXPECT_EQ(first.retries, 2);
    // Three doubling attempts (t + 2t + 4t) fit in the 7 s budget.
    EXPECT_NEAR(std::chrono::duration<double>(first.attemptTimeout).count(), 1.0, 0.01);
    const tagengine::Clock::time_point deadline = first.deadline;  // asked grows: the reference goes stale
    transport.answerNext();
    ASSERT_FALSE(outcome);
    ASSERT_EQ(transport.asked.size(), 2U);
    EXPECT_EQ(tagIds(*transport.asked[1].request), (std::vector<uint8_t>{8}));
    EXPECT_EQ(transport.asked[1].deadline, deadline);
    transport.answerNext();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->success);
    EXPECT_EQ(outcome->attempts, 3);
    EXPECT_NE(outcome->text.find("\ntag_dev_id 7\n"), std::string::npos) << outcome->text;
    EXPECT_NE(outcome->text.find("\ntag_probe_success 1\n"), std::string::npos);
}

TEST(Probe, TheTagsNotHeldAreReportedForTheNextProbe) {
    ScriptedTransport transport;
    auto* notHeld = new VMsg(2);  // ERR naming TAG_DEV_ID_OLD (67), and 99, which was not asked
    notHeld->addTag(new VTagUInt8(2, 67));
    notHeld->addTag(new VTagUInt8(2, 99));
    transport.script.push_back(resultOf(tagengine::Status::ErrorReply, notHeld, 1));
    transport.script.push_back(resultOf(tagengine::Status::Answered, new VMsg(1), 1));
    std::optional<exporter::ProbeOutcome> outcome;
    exporter::runProbe(transport, "dev", loopback(), planOf({8, 67}),
                       [&](exporter::ProbeOutcome&& o) { outcome = std::move(o); });
    transport.answerNext();
    transport.answerNext();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->notHeld, (std::vector<uint8_t>{67}));
}

TEST(MissingTags, RemembersPerKeyForAWhileWithinItsBound) {
    using namespace std::chrono_literals;
    exporter::MissingTags missing(2, 60s);
    auto t0 = exporter::MissingTags::Clock::now();
    std::string a = exporter::MissingTags::keyOf("dev:1", {"device"});
    std::string b = exporter::MissingTags::keyOf("dev:1", {"device", "ai"});
    EXPECT_EQ(a, "dev:1? device");
    missing.learn(a, {67, 68}, t0);
    missing.learn(a, {68, 14}, t0 + 10s);
    struct Case {
        std::string key;
        std::vector<uint8_t> asked, kept;
        exporter::MissingTags::Clock::duration at;
    };
    const Case cases[] = {
        {a, {8, 67, 14, 9, 68}, {8, 9}, 59s},  // both learnings, for the first one's minute
        {b, {8, 67}, {8, 67}, 1s},             // another set of modules is another key
        {a, {67, 68}, {67, 68}, 1s},           // all of them: asked all the same
        {a, {8, 67}, {8, 67}, 60s},            // forgotten after a while
    };
    for (const Case& c : cases)
        EXPECT_EQ(missing.reduce(c.key, c.asked, t0 + c.at), c.kept) << c.key << " " << c.at.count();
    EXPECT_EQ(missing.size(), 0U);  // the expired entry went when it was looked up
    missing.learn(a, {67}, t0);
    missing.learn(b, {67}, t0 + 1s);
    missing.learn("c", {67}, t0 + 2s);  // full: the oldest, a, goes
    EXPECT_EQ(missing.size(), 2U);
    EXPECT_EQ(missing.reduce(a, {8, 67}, t0 + 3s), (std::vector<uint8_t>{8, 67}));
    EXPECT_EQ(missing.reduce(b, {8, 67}, t0 + 3s), (std::vector<uint8_t>{8}));
    missing.forgetAll();
    EXPECT_EQ(missing.reduce(b, {8, 67}, t0 + 3s), (std::vector<uint8_t>{8, 67}));
}

TEST(Probe, SilenceAndRefusalsAreFailedProbesWithoutTags) {
    for (tagengine::Status status : {tagengine::Status::TimedOut, tagengine::Status::Refused,
                                     tagengine::Status::ReplyTooLong, tagengine::Status::Cancelled}) {
        ScriptedTransport transport;
        transport.script.push_back(resultOf(status, nullptr, 3));
        std::optional<exporter::ProbeOutcome> outcome;
        exporter::runProbe(transport, "dev", loopback(), planOf({8}),
                           [&](exporter::ProbeOutcome&& o) { outcome = std::move(o); });
        transport.answerNext();
        ASSERT_TRUE(outcome);
        EXPECT_FALSE(outcome->success);
        EXPECT_EQ(outcome->text.rfind("# HELP tag_probe_success", 0), 0U) << outcome->text;
        EXPECT_NE(outcome->text.find("\ntag_probe_success 0\n"), std::string::npos);
    }
}

TEST(Probe, AnErrReplyThatRefusesTheRequestFailsTheProbe) {
    ScriptedTransport transport;
    auto* refused = new VMsg(2);  // ERR TAG_ERR_MSGID=GET: the reply would be too large
    refused->addTag(new VTagUInt8(1, 1));
    transport.script.push_back(resultOf(tagengine::Status::ErrorReply, refused, 1));
    std::optional<exporter::ProbeOutcome> outcome;
    exporter::runProbe(transport, "dev", loopback(), planOf({8, 9}),
                       [&](exporter::ProbeOutcome&& o) { outcome = std::move(o); });
    transport.answerNext();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(transport.asked.size(), 1U);
    EXPECT_FALSE(outcome->success);
}

TEST(Probe, PlanJoinsModulesAndRefusesUnknownOnes) {
    exporter::Config config;
    config.modules["a"] = exporter::Module{{8, 9}, 7000, 4, 1};
    config.modules["b"] = exporter::Module{{9, 145}, 8000, 2, 3};
    ProbeQuery query;
    query.host = "h";
    query.modules = {"a", "b"};
    exporter::ProbePlan plan;
    std::string reason;
    ASSERT_TRUE(exporter::planProbe(query, config, 10.0, 0.5, plan, reason));
    EXPECT_EQ(plan.tags, (std::vector<uint8_t>{8, 9, 145}));
    EXPECT_EQ(plan.port, 7000);
    EXPECT_EQ(plan.retries, 3U);
    EXPECT_DOUBLE_EQ(plan.budget.count(), 2);
    query.port = 9;
    query.modules = {"b", "nope"};
    EXPECT_FALSE(exporter::planProbe(query, config, std::nullopt, 0.5, plan, reason));
    EXPECT_EQ(reason, "unknown module \"nope\"");
}

TEST(ExporterOptions, ConnectionFlagsAreReadAndChecked) {
    struct Case {
        std::vector<std::string> args;
        const char* error;  // empty: accepted
        unsigned long connections = 4096, perIp = 1024;
        double requestTimeout = 10;
    };
    const Case cases[] = {
        {{}, ""},
        {{"--web.max-connections=100", "--web.max-connections-per-ip", "7", "--web.request-timeout=2.5"},
         "",
         100,
         7,
         2.5},
        {{"--web.max-connections=0"}, "--web.max-connections must be a number from 1 to 1000000"},
        {{"--web.max-connections-per-ip=x"},
         "--web.max-connections-per-ip must be a number from 1 to 1000000"},
        {{"--web.request-timeout=0.05"},
         "--web.request-timeout must be a number of seconds from 0.1 to 3600"},
        {{"--web.request-timeout=inf"}, "--web.request-timeout must be a number of seconds from 0.1 to 3600"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"tag_exporter"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        exporter::Options options;
        std::string error;
        bool ok = exporter::parseOptions(int(argv.size()), argv.data(), options, error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(ok, *c.error == '\0');
        if (!ok) continue;
        EXPECT_EQ(options.maxConnections, c.connections);
        EXPECT_EQ(options.maxConnectionsPerIp, c.perIp);
        EXPECT_EQ(options.requestTimeout, c.requestTimeout);
    }
}

}  // namespace

namespace {

// However many segments a device sends, the debug log keeps the lines of
// the first up to its bound, says where it stopped and how many it left out,
// and keeps how the exchange ended.
TEST(ProbeLog, AttemptsAndSegmentsStopAtTheBoundAndTheEndIsKept) {
    auto t0 = tagengine::Clock::now();
    exporter::ProbeLog log(t0, 1000);
    log.note(t0, "request to 127.0.0.1:60000: GET: TAG_DEV_ID ");
    tagengine::Event segment;
    segment.kind = tagengine::Event::Kind::Segment;
    segment.attempt = 1;
    segment.bytes = 5;
    segment.at = t0;
    for (int i = 0; i < 1000; ++i) log.event(segment);  // 80 bytes a line: 12 fit in 1000
    tagengine::Result result;
    result.status = tagengine::Status::ReplyTooLong;
    result.attempts = 1;
    result.segments = 1000;
    log.result(t0, result);
    std::string text = log.text();
    const std::string line =
        "   0.000 s  attempt 1 (sequence 0): received a segment of 5 bytes, more to come\n";
    std::string expected = "   0.000 s  request to 127.0.0.1:60000: GET: TAG_DEV_ID \n";
    for (int i = 0; i < 12; ++i) expected += line;
    expected +=
        "   0.000 s  the log of attempts and segments stops here, at 1000 bytes: 988 more such lines were "
        "left "
        "out\n"
        "   0.000 s  exchange ended: reply_too_long, 1 attempts, 1000 segments received\n";
    EXPECT_EQ(text, expected);
}

TEST(ProbeLog, ADevicesBytesAreEscapedAndALongLineIsCut) {
    auto t0 = tagengine::Clock::now();
    exporter::ProbeLog log(t0);
    log.note(t0, "reply: GET: TAG_DEV_LABEL=\"\x1b]0;x\x07\xc2\x9b\" ");
    log.note(t0, std::string(100000, 'a'));
    std::string text = log.text();
    EXPECT_EQ(text.substr(0, 62), "   0.000 s  reply: GET: TAG_DEV_LABEL=\"\\x1b]0;x\\x07\\xc2\\x9b\" \n");
    EXPECT_EQ(text.size(), 62 + 12 + 65536 + 30 + 1);
    EXPECT_TRUE(text.ends_with("a ... (line cut at 65536 bytes)\n"));
}

}  // namespace
