// tagpoll end to end: the real program against a simulated fleet in a real
// tagagent, scripted peers and ports with nothing behind them, all on
// 127.0.0.0/8 at ports chosen at run time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "agent_process.h"
#include "bound_socket.h"
#include "run_program.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

RunResult tagpoll(const std::vector<std::string>& args) { return runWrapped(TAGPOLL_PATH, args); }

// A UDP socket on 127.0.0.1 that reads nothing, or (closed) a port that had
// one and has nothing now.
using Socket = BoundSocket;

uint16_t closedPort() { return Socket().port; }

TEST(TagpollE2E, FleetWithLossAnswersEveryDeviceWithItsOwnValues) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "200", "--targets-file", fleet, "--loss", "0.1"});
    RunResult r =
        tagpoll({"-f", fleet, "-t", "0.2", "-r", "7", "-o", "json", "GET:", "TAG_DEV_ID", "tag_dev_label"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> targets = splitLines(readFile(fleet));
    ASSERT_EQ(targets.size(), 200u);
    std::map<std::string, json> byTarget;
    int retried = 0;
    for (const std::string& line : splitLines(r.out)) {
        json j = json::parse(line);
        retried += j["attempts"].get<int>() > 1;
        byTarget[j["target"].get<std::string>()] = j;
    }
    ASSERT_EQ(byTarget.size(), 200u);
    for (size_t i = 0; i < targets.size(); ++i) {
        const json& j = byTarget[targets[i]];
        EXPECT_EQ(j["status"], "answered");
        EXPECT_EQ(j["tags"][0]["value"], i + 1) << targets[i];
        EXPECT_EQ(j["tags"][1]["value"], "Demo rack controller " + std::to_string(i + 1));
    }
    EXPECT_GT(retried, 0);  // about 20 of 200 lose their first request
}

TEST(TagpollE2E, VerifiedSetReachesEveryDeviceOfALossyFleet) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "200", "--targets-file", fleet, "--loss", "0.3"});
    // A budget of 6 × 1 s: under valgrind on a busy machine tagpoll reads
    // replies late, its round trips grow with it, and 1.2 s, then 3 s, left a
    // device short of rounds. Waits follow the round trips seen, so a quick
    // run still ends in a fraction of a second.
    RunResult r = tagpoll({"--verify", "-f", fleet, "-t", "1", "-r", "14", "-o", "json",
                           "SET:", "TAG_DEV_LABEL=configured", "TAG_DEV_ID=2A"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> statuses;
    int rounds = 0;
    for (const std::string& line : splitLines(r.out)) {
        json j = json::parse(line);
        ++statuses[j["status"].get<std::string>()];
        rounds = std::max(rounds, j["attempts"].get<int>());
    }
    EXPECT_EQ(statuses, (std::map<std::string, int>{{"verified", 200}}));
    EXPECT_GT(rounds, 1);  // at 30 % loss some rounds lose the SET or its read-back
    // Read back independently: every device holds what was written.
    RunResult check = tagpoll({"-f", fleet, "-t", "1", "-r", "14", "GET:", "TAG_DEV_LABEL", "TAG_DEV_ID"});
    std::vector<std::string> lines = splitLines(check.out);
    ASSERT_EQ(lines.size(), 200u);
    for (const std::string& line : lines)
        EXPECT_EQ(line.substr(line.find('\t') + 1), "GET: TAG_DEV_LABEL=\"configured\" TAG_DEV_ID=0000002A ");
}

TEST(TagpollE2E, VerifyNamesWhatADeviceHoldsInsteadOfTheWrite) {
    // A device that keeps its label: the SET takes sequence 0, its read-back 1.
    auto keeper = [] {
        auto peer = std::make_unique<UdpPeer>();
        peer->answer(
            {send(segment(1, 0x81, {VTagFactory::createVTag(9, "b"), VTagFactory::createVTag(8, 0x2Au)}))});
        return peer;
    };
    auto peer = keeper();
    std::string t = "127.0.0.1:" + std::to_string(peer->port());
    RunResult line = tagpoll(
        {"--verify", "--target", t, "-t", "0.3", "-r", "0", "SET:", "TAG_DEV_LABEL=a", "TAG_DEV_ID=2A"});
    peer->finish();
    EXPECT_EQ(line.out, t + "\tERR: SET_MISMATCH TAG_DEV_LABEL WROTE=\"a\" READ=\"b\"\n");
    EXPECT_EQ(line.status, 1);

    peer = keeper();
    t = "127.0.0.1:" + std::to_string(peer->port());
    RunResult js = tagpoll({"--verify", "--target", t, "-t", "0.3", "-r", "0", "-o", "json",
                            "SET:", "TAG_DEV_LABEL=a", "TAG_DEV_ID=2A"});
    peer->finish();
    json j = json::parse(js.out);
    EXPECT_EQ(j["status"], "mismatch");
    EXPECT_EQ(j["mismatches"], json::parse(R"([{"name":"TAG_DEV_LABEL","id":9,"wrote":"a","read":"b"}])"));
    EXPECT_EQ(js.status, 1);
}

TEST(TagpollE2E, VerifyRefusesWhatCannotBeWrittenBeforeSending) {
    Socket target;
    std::string t = "127.0.0.1:" + std::to_string(target.port);
    RunResult group = tagpoll({"--verify", "--target", t, "SET:", "TAG_DEV_CFG"});
    EXPECT_EQ(group.status, 2);
    EXPECT_NE(group.err.find("tagpoll: --verify: TAG_DEV_CFG is a group tag: it can be read, not written"),
              std::string::npos)
        << group.err;
    RunResult get = tagpoll({"--verify", "--target", t, "GET:", "TAG_DEV_ID"});
    EXPECT_EQ(get.status, 2);
    char buf[64];
    EXPECT_LT(recv(target.fd, buf, sizeof buf, MSG_DONTWAIT), 0) << "nothing was sent";
}

TEST(TagpollE2E, LateReplyInTwoSegmentsIsTakenWhole) {
    // Attempt 1 (sequence 0) answered while attempt 2 is out: 3 tags, then 2
    // and last. Attempt 2 goes at 0.6 s and waits until 1.2 s: the reply at
    // 0.8 s keeps 0.4 s of margin for a tagpoll slowed by valgrind.
    UdpPeer peer;
    auto u32 = [](uint8_t id, uint32_t v) { return VTagFactory::createVTag(id, v); };
    peer.answer({pause(800ms), send(segment(1, 0x00, {u32(8, 1), u32(10, 2), u32(11, 3)})),
                 send(segment(1, 0x80, {u32(12, 4), u32(13, 5)}))});
    std::string t = "127.0.0.1:" + std::to_string(peer.port());
    RunResult r = tagpoll({"--target", t, "-t", "0.6", "-r", "1", "-o", "json", "GET:", "TAG_DEV_CFG"});
    peer.finish();
    json j = json::parse(r.out);
    EXPECT_EQ(j["status"], "answered");
    EXPECT_EQ(j["attempts"], 2);
    EXPECT_EQ(j["tags"].size(), 5u);
    // Timed from the send of the attempt it answers, the first.
    EXPECT_GE(j["round_trip_seconds"].get<double>(), 0.79);
}

TEST(TagpollE2E, StopSignalPrintsWhatArrivedAndCancelsTheRest) {
    for (int signal : {SIGINT, SIGTERM}) {
        UdpPeer peer;
        peer.answer({send(segment(1, 0x80, {VTagFactory::createVTag(8, 7u)}))});
        Socket silent;
        TempDir dir;
        std::string answered = "127.0.0.1:" + std::to_string(peer.port());
        std::string quiet = "127.0.0.1:" + std::to_string(silent.port);
        std::string output = dir.path + "/out.csv";
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, STDOUT_FILENO);
            execl(TAGPOLL_PATH, TAGPOLL_PATH, "--target", answered.c_str(), "--target", quiet.c_str(), "-t",
                  "30", "-o", "csv", "GET:", "TAG_DEV_ID", nullptr);
            _exit(127);
        }
        peer.finish();  // the request came and the answer went
        std::this_thread::sleep_for(300ms);
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << signal << " " << status;
        std::vector<std::string> lines = splitLines(readFile(output));
        ASSERT_EQ(lines.size(), 3u) << signal;
        EXPECT_EQ(lines[0], "target,address,status,attempts,round_trip_seconds,message");
        EXPECT_TRUE(lines[1].starts_with(answered + "," + answered + ",answered,1,")) << lines[1];
        // The silent one was sent again as soon as the answer showed how
        // short the round trip is, not after -t: cancelled with its
        // attempts counted alike in both columns.
        std::string prefix = quiet + "," + quiet + ",cancelled,";
        ASSERT_TRUE(lines[2].starts_with(prefix)) << lines[2];
        std::string attempts =
            lines[2].substr(prefix.size(), lines[2].find(',', prefix.size()) - prefix.size());
        EXPECT_GT(std::stoi(attempts), 1) << lines[2];
        EXPECT_EQ(lines[2], prefix + attempts + ",,ERR: RX_CANCELLED ATTEMPTS=" + attempts);
    }
}

TEST(TagpollE2E, AliveShowsOnlyWhatRepliedAndSummaryCountsEveryStatus) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "3", "--targets-file", fleet});
    Socket silent;
    std::string file = readFile(fleet) + "127.0.0.1:" + std::to_string(closedPort()) +
                       "\n127.0.0.1:" + std::to_string(silent.port) + "\n";
    RunResult r = tagpoll({"--alive", "--summary", "-f", dir.write("all.txt", file), "-t", "0.3", "-r", "0",
                           "GET:", "TAG_DEV_ID"});
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> lines = splitLines(r.out);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> devices = splitLines(readFile(fleet));
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(lines[i], devices[i] + "\tGET: TAG_DEV_ID=0000000" + std::to_string(i + 1) + " ");
    EXPECT_EQ(splitLines(r.err).back(), "tagpoll: 5 targets: 3 answered, 1 timed_out, 1 refused");
}

// An empty label: no resolver can put the name in a query, so the lookup
// fails on this machine and sends nothing.
TEST(TagpollE2E, DeadSilentAndUnknownTargetsEachSayWhatHappened) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "3", "--targets-file", fleet});
    Socket silent;
    std::string closed = "127.0.0.1:" + std::to_string(closedPort());
    std::string file = readFile(fleet) + closed + "\n127.0.0.1:" + std::to_string(silent.port) +
                       "\nno-such-host..invalid:7\n";
    RunResult r = tagpoll({"-f", dir.write("all.txt", file), "-t", "0.3", "-r", "1", "GET:", "TAG_DEV_ID"});
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> lines = splitLines(r.out);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> fleetTargets = splitLines(readFile(fleet));
    std::vector<std::string> expected{
        closed + "\tERR: RX_REFUSED ATTEMPTS=1",
        "127.0.0.1:" + std::to_string(silent.port) + "\tERR: RX_TIMEOUT ATTEMPTS=2",
        "no-such-host..invalid:7\tERR: TX_HOST_UNKNOWN HOST=no-such-host..invalid"};
    for (size_t i = 0; i < 3; ++i)
        expected.push_back(fleetTargets[i] + "\tGET: TAG_DEV_ID=0000000" + std::to_string(i + 1) + " ");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

TEST(TagpollE2E, ReplyFromAnotherAddressIsNotTaken) {
    Socket target;              // receives the request and never answers itself
    Socket other("127.0.0.2");  // answers it in its place
    std::thread forger([&] {
        uint8_t buf[1024];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(target.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 3) return;
        Bytes reply = segment(1, buf[2], {VTagFactory::createVTag(8, uint32_t(1))});
        sendto(other.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    });
    std::string t = "127.0.0.1:" + std::to_string(target.port);
    RunResult r = tagpoll({"--target", t, "-t", "0.5", "-r", "0", "GET:", "TAG_DEV_ID"});
    forger.join();
    EXPECT_EQ(r.out, t + "\tERR: RX_TIMEOUT ATTEMPTS=1\n");
    EXPECT_EQ(r.status, 1);
}

TEST(TagpollE2E, JsonKeepsEveryValueWholeAndTyped) {
    UdpPeer peer;
    std::string longText(300, 'x');
    longText += "\"q\"\t\\";
    const char notUtf8[] = {'a', char(0xFF), 'b', 0};
    peer.answer({send(segment(
        1, 0x80,
        {VTagFactory::createVTag(9, longText.c_str()), VTagFactory::createVTag(21, notUtf8),
         VTagFactory::createVTag(49, std::nanf(""), false), VTagFactory::createVTag(50, -INFINITY, false),
         VTagFactory::createVTag(51, 0.1f, true),  // a float sent as type 2
         VTagFactory::createVTag(6, uint8_t(255)), VTagFactory::createVTag(200, uint16_t(7)),
         VTagFactory::createVTag(8, uint32_t(4294967295u)), VTagFactory::createVTag(5)}))});
    RunResult r = tagpoll(
        {"--target", "127.0.0.1:" + std::to_string(peer.port()), "-o", "json", "GET:", "TAG_DEV_CFG"});
    peer.finish();
    EXPECT_EQ(r.status, 0);
    json j = json::parse(r.out);
    EXPECT_EQ(j["status"], "answered");
    EXPECT_EQ(j["attempts"], 1);
    EXPECT_TRUE(j["round_trip_seconds"].is_number());
    EXPECT_EQ(j["message_type"], "GET");
    const json& tags = j["tags"];
    ASSERT_EQ(tags.size(), 9u);
    EXPECT_EQ(tags[0], (json{{"name", "TAG_DEV_LABEL"}, {"id", 9}, {"type", 1}, {"value", longText}}));
    EXPECT_EQ(tags[1]["value"],
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(tags[1]["value_hex"], "61ff62");
    EXPECT_EQ(tags[2]["value"], "nan");
    EXPECT_EQ(tags[3]["value"], "-inf");
    EXPECT_EQ(tags[4]["type"], 2);
    EXPECT_EQ(tags[4]["value"], 0.1);
    EXPECT_EQ(tags[5]["value"], 255);
    EXPECT_EQ(tags[6], json::parse(R"({"name":null,"id":200,"type":3,"value":7})"));
    EXPECT_EQ(tags[7]["value"], 4294967295u);
    EXPECT_EQ(tags[8]["value"], nullptr);
}

// Line and CSV print a reply read where it lies, without a message decoded:
// every value kind, a text cleaned and cut, a float by the dictionary, an id
// without a name, a byte not UTF-8 escaped, each as tagclient prints them.
TEST(TagpollE2E, LineAndCsvPrintEveryValueKindAsTheClientDoes) {
    std::string longText(200, 'x');
    longText[3] = '\t';
    longText[4] = '"';
    longText[5] = '\x01';
    const char notUtf8[] = {'a', char(0xFF), 'b', ',', 0};
    const std::string reply =
        "GET: TAG_DEV_LABEL=\"xxx '\\x01" + std::string(121, 'x') +
        "\" TAG_IO_LABEL=\"a\\xffb,\" TAG_IO_OFFSET=-inf TAG_IO_GAIN=0.100000 TAG_DEV_STATE=FF "
        "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=200 TAG_DEV_ID=FFFFFFFF TAG_NET_INPORT=EA60 TAG_DEV_CFG ";
    std::string quotesDoubled;
    for (char ch : reply) quotesDoubled += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    const struct {
        const char* format;
        std::string out;  // after the target's label
    } cases[] = {
        {"line", "\t" + reply + "\n"},
        {"csv", ",ADDRESS,answered,1,RTT,\"" + quotesDoubled + "\"\n"},
    };
    for (const auto& c : cases) {
        UdpPeer peer;
        peer.answer({send(
            segment(1, 0x80,
                    {VTagFactory::createVTag(9, longText.c_str()), VTagFactory::createVTag(21, notUtf8),
                     VTagFactory::createVTag(50, -INFINITY, false),
                     VTagFactory::createVTag(51, 0.1f, true),  // a float sent as type 2
                     VTagFactory::createVTag(6, uint8_t(255)), VTagFactory::createVTag(200, uint16_t(7)),
                     VTagFactory::createVTag(8, uint32_t(4294967295u)),
                     VTagFactory::createVTag(109, uint16_t(60000)), VTagFactory::createVTag(5)}))});
        std::string label = "127.0.0.1:" + std::to_string(peer.port());
        RunResult r = tagpoll({"--target", label, "-o", c.format, "GET:", "TAG_DEV_CFG"});
        peer.finish();
        EXPECT_EQ(r.status, 0) << c.format;
        std::string out = r.out;
        if (std::string(c.format) == "csv") {
            // The header, then the round trip replaced: it is whatever it was.
            std::string header = "target,address,status,attempts,round_trip_seconds,message\n";
            ASSERT_EQ(out.substr(0, header.size()), header);
            out = out.substr(header.size());
            size_t rtt = out.find(",answered,1,") + 12;
            out.replace(rtt, out.find(',', rtt) - rtt, "RTT");
            out.replace(label.size() + 1, label.size(), "ADDRESS");
        }
        EXPECT_EQ(out, label + c.out) << c.format;
    }
}

TEST(TagpollE2E, ReplyPastTheBoundIsTheClientsError) {
    std::vector<VTag*> tags;
    for (int i = 0; i < 509; ++i) tags.push_back(VTagFactory::createVTag(5));
    UdpPeer peer;
    peer.answer({send(segment(1, 0x00, tags), 129)});
    std::string t = "127.0.0.1:" + std::to_string(peer.port());
    RunResult r = tagpoll({"--target", t, "-t", "10", "-o", "csv", "GET:", "TAG_DEV_CFG"});
    peer.finish();
    EXPECT_EQ(r.out, "target,address,status,attempts,round_trip_seconds,message\n" + t + "," + t +
                         ",reply_too_long,1,,ERR: RX_REPLY_TOO_LONG LIMIT=65535\n");
    EXPECT_EQ(r.status, 1);
}

TEST(TagpollE2E, SetIsSentOnceToATargetNamedTwice) {
    Socket target;
    std::string t = "127.0.0.1:" + std::to_string(target.port);
    // Named twice: polled once, with a note.
    RunResult r = tagpoll({"--target", t, "--target", t, "-r", "5", "SET:", "TAG_DEV_LABEL=new"});
    EXPECT_EQ(r.out, t + "\tSent 12 bytes\n");
    EXPECT_EQ(r.err, "tagpoll: --target:2: " + t + " duplicates --target:1, polled once\n");
    EXPECT_EQ(r.status, 0);
    uint8_t buf[64];
    EXPECT_EQ(recv(target.fd, buf, sizeof buf, MSG_DONTWAIT), 12);
    EXPECT_LT(recv(target.fd, buf, sizeof buf, MSG_DONTWAIT), 0);
}

TEST(TagpollE2E, BadInputStopsBeforeAnythingIsSent) {
    TempDir dir;
    Socket target;
    std::string good = "127.0.0.1:" + std::to_string(target.port) + "\n";
    std::string badLine = dir.write("bad.txt", good + "# fine\n127.0.0.1:99999\n");
    std::string wide = dir.write("wide.txt", good + "127.0.0.0/8\n");
    std::string empty = dir.write("empty.txt", "# nothing here\n\n");
    std::string fine = dir.write("fine.txt", good);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-f", badLine, "GET:", "TAG_DEV_ID"}, "tagpoll: " + badLine + ":3: bad port \"99999\" (1-65535)\n"},
        {{"-f", wide, "GET:", "TAG_DEV_ID"},
         "tagpoll: " + wide + ":2: range too wide: 16777216 addresses, at most 65536 (/16)\n"},
        {{"-f", empty, "GET:", "TAG_DEV_ID"}, "tagpoll: no targets to poll\n"},
        {{"-f", dir.path + "/missing", "GET:", "TAG_DEV_ID"},
         "tagpoll: cannot read " + dir.path + "/missing: No such file or directory\n"},
        // A folder is no empty list; a file without line ends is read no
        // further than one line's bound, however long it is.
        {{"-f", dir.path, "GET:", "TAG_DEV_ID"}, "tagpoll: " + dir.path + ": cannot be read\n"},
        {{"-f", "/dev/zero", "GET:", "TAG_DEV_ID"},
         "tagpoll: /dev/zero:1: line longer than 4096 characters\n"},
        {{"-f", fine, "GET:", "TAG_NOPE", "TAG_DEV_ID", "TAG_NADA"},
         "tagpoll: ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=TAG_NOPE TAG_ERR_TAGID=TAG_NADA\n"
         "Try 'tagpoll --help' for more information.\n"},
        {{"-f", fine, "PUT:", "TAG_DEV_ID"},
         "tagpoll: ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=PUT:\nTry 'tagpoll --help' for more "
         "information.\n"},
        {{"-f", fine},
         "tagpoll: no message: give a message-type word (GET:, SET:, DEL:, REP:) and tag words\n"
         "Try 'tagpoll --help' for more information.\n"},
        {{"GET:", "TAG_DEV_ID"},
         "tagpoll: no targets: give -f FILE, -f - or --target HOST[:PORT]\n"
         "Try 'tagpoll --help' for more information.\n"},
        {{"-f", fine, "-t", "0", "GET:"},
         "tagpoll: bad --timeout \"0\": seconds from 0.001 to 3600\n"
         "Try 'tagpoll --help' for more information.\n"},
        {{"-f", fine, "-o", "xml", "GET:"},
         "tagpoll: bad --format \"xml\": line, json or csv\n"
         "Try 'tagpoll --help' for more information.\n"},
        {{"-f", fine, "--shard", "2/2", "GET:"},
         "tagpoll: bad --shard \"2/2\": N from 1 to 1000000, I from 0 to N-1\n"
         "Try 'tagpoll --help' for more information.\n"},
        {{"-f", fine, "--shard", "1", "GET:"},
         "tagpoll: bad --shard \"1\": I/N, e.g. 0/4\nTry 'tagpoll --help' for more information.\n"},
    };
    // Not under valgrind: these paths end before the engine starts, and the
    // fuzz target and the unit tests cover the reader's memory.
    for (const auto& [args, err] : cases) {
        RunResult r = runProgram(TAGPOLL_PATH, args);
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
    uint8_t buf[64];
    EXPECT_LT(recv(target.fd, buf, sizeof buf, MSG_DONTWAIT), 0) << "a request went out";
    EXPECT_EQ(tagpoll({"--help"}).status, 0);
    EXPECT_EQ(tagpoll({"--version"}).out, "tagpoll " TAGPOLL_VERSION "\n");
}

// Each poller of a split takes its part; together they poll what one
// unsharded run polls, each device once, and a shard left empty by a small
// fleet is no failure.
TEST(TagpollE2E, ShardsOfAFleetTogetherPollEveryDeviceOnce) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "60", "--targets-file", fleet});
    // Every device must answer in every run: -t is only the ceiling of a
    // wait, kept long enough for a loaded machine under valgrind.
    RunResult whole = tagpoll({"-f", fleet, "-t", "2", "GET:", "TAG_DEV_ID", "TAG_DEV_LABEL"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::vector<std::string> expected = splitLines(whole.out);
    ASSERT_EQ(expected.size(), 60u);
    std::sort(expected.begin(), expected.end());
    for (int count : {2, 7}) {
        std::vector<std::string> joined;
        for (int index = 0; index < count; ++index) {
            std::string shard = std::to_string(index) + "/" + std::to_string(count);
            RunResult part =
                tagpoll({"-f", fleet, "--shard", shard, "-t", "2", "GET:", "TAG_DEV_ID", "TAG_DEV_LABEL"});
            EXPECT_EQ(part.status, 0) << shard << ": " << part.err;
            std::vector<std::string> lines = splitLines(part.out);
            EXPECT_LT(lines.size(), 60u) << shard << " polled the whole fleet";
            joined.insert(joined.end(), lines.begin(), lines.end());
        }
        std::sort(joined.begin(), joined.end());
        EXPECT_EQ(joined, expected) << count << " shards";
    }
}

// Two spellings of one address (127.0.0.9 and 127.9) are two lines of a
// file but one device: they fall in one shard, so no two pollers of a split
// ever talk to one device.
TEST(TagpollE2E, EverySpellingOfADeviceFallsInOneShard) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "20", "--targets-file", fleet});
    std::string respelled;
    for (const std::string& t : splitLines(readFile(fleet))) {
        // 127.A.B.C:P as 127.N:P, N the last three bytes as one number.
        size_t colon = t.find(':');
        in_addr a{};
        ASSERT_EQ(inet_pton(AF_INET, t.substr(0, colon).c_str(), &a), 1) << t;
        respelled += "127." + std::to_string(ntohl(a.s_addr) & 0xFFFFFF) + t.substr(colon) + "\n";
    }
    std::string again = dir.write("again.txt", respelled);
    std::map<std::string, std::vector<int>> shardsOf;  // a device's reply -> the shards that polled it
    for (int index = 0; index < 3; ++index) {
        RunResult r = tagpoll({"-f", fleet, "-f", again, "--shard", std::to_string(index) + "/3", "-t", "0.5",
                               "GET:", "TAG_DEV_ID"});
        EXPECT_EQ(r.status, 0) << r.err;
        for (const std::string& line : splitLines(r.out))
            shardsOf[line.substr(line.find('\t'))].push_back(index);
    }
    ASSERT_EQ(shardsOf.size(), 20u);
    for (const auto& [reply, shards] : shardsOf) {
        ASSERT_EQ(shards.size(), 2u) << reply;
        EXPECT_EQ(shards[0], shards[1]) << reply;
    }
    // One device, two shards: one polls it, the other holds nothing, exits 0
    // and says so.
    std::string one = splitLines(readFile(fleet)).front();
    std::string outs;
    for (int index = 0; index < 2; ++index) {
        RunResult r =
            tagpoll({"--target", one, "--shard", std::to_string(index) + "/2", "GET:", "TAG_DEV_ID"});
        EXPECT_EQ(r.status, 0) << r.err;
        if (r.out.empty()) {
            EXPECT_EQ(r.err, "tagpoll: shard " + std::to_string(index) + "/2 holds none of the 1 targets\n");
        }
        outs += r.out;
    }
    EXPECT_EQ(outs, one + "\tGET: TAG_DEV_ID=00000001 \n");
}

TEST(TagpollE2E, ProgressGoesToAStandardErrorThatIsATerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string t = "127.0.0.1:" + std::to_string(closedPort());
    pid_t pid = fork();
    if (pid == 0) {
        int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        int null = open("/dev/null", O_WRONLY);
        dup2(terminal, STDERR_FILENO);
        dup2(null, STDOUT_FILENO);
        execl(TAGPOLL_PATH, TAGPOLL_PATH, "--target", t.c_str(), "GET:", "TAG_DEV_ID", nullptr);
        _exit(127);
    }
    std::string shown;
    char c;
    while (shown.find('\n') == std::string::npos && read(master, &c, 1) == 1) shown += c;
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    // The terminal turns the newline into CR LF.
    EXPECT_EQ(shown, "\rtagpoll: 1/1 done, 0 answered\033[K\r\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

TEST(TagpollE2E, ControlBytesOfADeviceReachATerminalAsQuestionMarks) {
    UdpPeer device;
    device.answer({send(segment(1, 0x80,
                                {VTagFactory::createVTag(9,
                                                         "a\x1B]0;x\x07\x1B[2J"
                                                         "b")}))});
    RunResult r = runProgramOnTerminal(
        TAGPOLL_PATH, {"--target", "127.0.0.1:" + std::to_string(device.port()), "GET:", "TAG_DEV_LABEL"});
    device.finish();
    EXPECT_EQ(r.out,
              "127.0.0.1:" + std::to_string(device.port()) + "\tGET: TAG_DEV_LABEL=\"a?]0;x??[2Jb\" \n");
    EXPECT_EQ(r.status, 0);
}

// tagpoll --listen on a port of its choosing, with its output and errors on
// pipes: it says the port on standard error before anything arrives.
class ListeningTagpoll {
public:
    explicit ListeningTagpoll(const std::string& format) {
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execl(TAGPOLL_PATH, TAGPOLL_PATH, "--listen", "127.0.0.1:0", "-o", format.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        std::string first = readLine(err[0]);
        const std::string prefix = "tagpoll: listening on 127.0.0.1:";
        EXPECT_TRUE(first.starts_with(prefix)) << first;
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(std::stoi(first.substr(prefix.size()))));
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    }
    ~ListeningTagpoll() {
        if (pid > 0) stop();
        close(out[0]);
        close(err[0]);
    }
    ListeningTagpoll(const ListeningTagpoll&) = delete;
    ListeningTagpoll& operator=(const ListeningTagpoll&) = delete;

    void send(int fromFd, const Bytes& datagram) const {
        sendto(fromFd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    std::string readOutputLine() const { return readLine(out[0]) + "\n"; }
    // SIGTERM, then the exit status.
    int stop() {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

private:
    static std::string readLine(int fd) {
        std::string line;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    int out[2]{-1, -1}, err[2]{-1, -1};
    pid_t pid = -1;
    sockaddr_in to{};
};

TEST(TagpollE2E, ListenPrintsWhatArrivesUntilSignalled) {
    ListeningTagpoll listener("line");
    Socket sender;
    listener.send(sender.fd, segment(3, 0x80, {VTagFactory::createVTag(0)}));
    listener.send(sender.fd, Bytes{9, 9});
    std::string printed = listener.readOutputLine();
    printed += listener.readOutputLine();
    int status = listener.stop();
    std::string from = "127.0.0.1:" + std::to_string(sender.port);
    EXPECT_EQ(printed, from + "\tEVT: TAG_BUS_EVT \n" + from + "\tERR: RX_BAD_MESSAGE BYTES=2\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// tagpoll --listen with the output format given: the first line printed
// for the datagram, from a sender of its own.
std::string listenForOne(const std::string& format, const Bytes& datagram, uint16_t& senderPort) {
    ListeningTagpoll listener(format);
    BoundSocket sender;
    senderPort = sender.port;
    listener.send(sender.fd, datagram);
    if (format == "csv") listener.readOutputLine();  // the header first
    return listener.readOutputLine();
}

// A sender's text with every kind of byte a terminal acts on, and bytes
// that are not UTF-8, reaches line and CSV output escaped, clean text as it is.
TEST(TagpollE2E, ListenEscapesWhatAHostileSenderWouldHaveATerminalDo) {
    const char hostile[] =
        "a\x1b]52;c;SGVsbG8=\x07\x1b]0;x\x07\x08\x7f\xc2\x9b"
        "2J\x9b\xff K\xc3\xbc"
        "che";
    Bytes datagram = segment(3, 0x80, {VTagFactory::createVTag(9, hostile)});
    const std::string shown =
        "EVT: TAG_DEV_LABEL=\"a\\x1b]52;c;SGVsbG8=\\x07\\x1b]0;x\\x07\\x08\\x7f\\xc2\\x9b2J\\x9b\\xff "
        "K\xc3\xbc"
        "che\" ";
    uint16_t port = 0;
    std::string line = listenForOne("line", datagram, port);
    EXPECT_EQ(line, "127.0.0.1:" + std::to_string(port) + "\t" + shown + "\n");
    std::string csv = listenForOne("csv", datagram, port);
    EXPECT_EQ(csv,
              "127.0.0.1:" + std::to_string(port) +
                  ",\"EVT: "
                  "TAG_DEV_LABEL=\"\"a\\x1b]52;c;SGVsbG8=\\x07\\x1b]0;x\\x07\\x08\\x7f\\xc2\\x9b2J\\x9b\\xff "
                  "K\xc3\xbc"
                  "che\"\" \"\n");
}

}  // namespace

namespace {

// Targets go to the engine a window at a time (twice -c): a fleet many times
// the window is still polled whole, each target once.
TEST(TagpollE2E, AFleetManyTimesTheWindowIsPolledWholeEachTargetOnce) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "30", "--targets-file", fleet});
    std::vector<std::string> targets = splitLines(readFile(fleet));
    std::string file = readFile(fleet);
    std::vector<std::string> refused;
    for (int i = 0; i < 3; ++i) refused.push_back("127.0.0.1:" + std::to_string(closedPort()));
    for (const std::string& t : refused) file += t + "\n";
    RunResult r = tagpoll({"-c", "2", "--summary", "-o", "csv", "-f", dir.write("all.txt", file), "-t", "0.5",
                           "-r", "0", "GET:", "TAG_DEV_ID"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tagpoll: 33 targets: 30 answered, 3 refused\n");
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 34u) << r.out;
    EXPECT_EQ(lines[0], "target,address,status,attempts,round_trip_seconds,message");
    std::map<std::string, std::string> statusOf;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string target = lines[i].substr(0, lines[i].find(','));
        size_t at = lines[i].find(',', target.size() + 1) + 1;
        EXPECT_TRUE(statusOf.emplace(target, lines[i].substr(at, lines[i].find(',', at) - at)).second)
            << "twice: " << target;
    }
    for (const std::string& t : targets) EXPECT_EQ(statusOf[t], "answered") << t;
    for (const std::string& t : refused) EXPECT_EQ(statusOf[t], "refused") << t;
}

// Results are written in blocks, yet a line shows on a pipe as soon as the
// run waits; and a stop still ends every target with a line, those never
// handed to the engine among them.
TEST(TagpollE2E, LinesShowWhileTheRunWaitsAndAStopCancelsTargetsNotYetSent) {
    UdpPeer peer;
    peer.answer({send(segment(1, 0x80, {VTagFactory::createVTag(8, 7u)}))});
    Socket silent[4];
    std::string answered = "127.0.0.1:" + std::to_string(peer.port());
    std::vector<std::string> args{TAGPOLL_PATH, "-c", "1", "-t", "30", "--target", answered};
    for (Socket& s : silent) {
        args.push_back("--target");
        args.push_back("127.0.0.1:" + std::to_string(s.port));
    }
    args.insert(args.end(), {"GET:", "TAG_DEV_ID"});
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(TAGPOLL_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    pollfd p{out[0], POLLIN, 0};
    // The answer's line, while the next target waits out its -t of 30 s.
    while (text.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0) {
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    EXPECT_EQ(text, answered + "\tGET: TAG_DEV_ID=00000007 \n");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "still running";
    kill(pid, SIGTERM);
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), 5u) << text;
    std::sort(lines.begin() + 1, lines.end());
    std::vector<std::string> expected;
    for (Socket& s : silent) {
        // The first was sent (and is being retried), the rest never were.
        bool sent = s.port == silent[0].port;
        expected.push_back("127.0.0.1:" + std::to_string(s.port) +
                           "\tERR: RX_CANCELLED ATTEMPTS=" + (sent ? "" : "0"));
    }
    std::sort(expected.begin(), expected.end());
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(lines[i + 1].starts_with(expected[i])) << lines[i + 1];
    peer.finish();
}

}  // namespace
