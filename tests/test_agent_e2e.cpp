// The real tagagent end to end: started as a child on a free port, driven by
// the real tagclient and by raw datagrams, stopped with a signal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "agent_process.h"
#include "run_program.h"
#include "tag_vocabulary.h"

namespace {

using Agent = AgentProcess;

// A private directory for data files, removed afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/test_agent_e2e.XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string& name, const std::string& text) const {
        std::string file = path + "/" + name;
        std::ofstream(file) << text;
        return file;
    }
    std::string path;
};

void sendRaw(int port, const std::vector<uint8_t>& bytes) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

TEST(AgentServes, StartsOnAFreePortAndStopsCleanlyOnSigtermOrSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        Agent agent({"--address", "127.0.0.1"});
        ASSERT_GT(agent.port, 0) << agent.firstLine;
        EXPECT_EQ(agent.firstLine, "listening on 127.0.0.1:" + std::to_string(agent.port));
        EXPECT_EQ(agent.stop(signal), 0) << signal;
    }
}

TEST(AgentServes, GetOfSingleTagsAndGroups) {
    Agent agent;
    ASSERT_GT(agent.port, 0);
    RunResult r = agent.client({"GET:", "TAG_DEV_ID", "TAG_DEV_LABEL"});
    EXPECT_EQ(r.out,
              "Sent 15 bytes\nReceived 35 bytes\n"
              "GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Demo rack controller\" \n");
    r = agent.client({"GET:", "TAG_NET_IF_CFG", "TAG_VERSION"});
    EXPECT_EQ(
        r.out,
        "Sent 13 bytes\nReceived 63 bytes\nGET: TAG_NET_IF_NAME=\"eth0\" TAG_NET_IF_ADDRESS=\"192.0.2.10\" "
        "TAG_NET_IF_NETMASK=\"255.255.255.0\" TAG_NET_IF_GATEWAY=\"192.0.2.1\" TAG_VERSION=00010000 \n");
    r = agent.client({"GET:", "TAG_AI_CFG"});
    EXPECT_EQ(
        r.out,
        "Sent 7 bytes\nReceived 67 bytes\nGET: TAG_IO_SAMPLED_VALUE=21.500000 TAG_IO_OFFSET=0.000000 "
        "TAG_IO_GAIN=1.000000 TAG_AI_CALCULATED_VALUE=21.500000 TAG_AI_ALARM_LOW_WARN=5.000000 "
        "TAG_AI_ALARM_LOW_ERR=0.000000 TAG_AI_ALARM_HIGH_WARN=35.000000 TAG_AI_ALARM_HIGH_ERR=45.000000 "
        "TAG_AI_SAMPLE_RATE=0000000A TAG_AI_DISPLAY_UNIT=\"degC\" \n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentServes, SetThenGetShowsTheNewValueAndDelThenGetTheError) {
    Agent agent;
    ASSERT_GT(agent.port, 0);
    EXPECT_EQ(agent.client({"SET:", "TAG_DEV_LABEL=Rack 7", "TAG_DEV_STATE=1F"}).out, "Sent 18 bytes\n");
    EXPECT_EQ(agent.client({"GET:", "TAG_DEV_LABEL", "TAG_DEV_STATE"}).out,
              "Sent 12 bytes\nReceived 18 bytes\nGET: TAG_DEV_LABEL=\"Rack 7\" TAG_DEV_STATE=1F \n");
    EXPECT_EQ(agent.client({"DEL:", "TAG_DEV_LABEL"}).out, "Sent 9 bytes\n");
    EXPECT_EQ(agent.client({"GET:", "TAG_DEV_LABEL", "TAG_DEV_ID"}).out,
              "Sent 15 bytes\nReceived 8 bytes\nERR: TAG_ERR_TAGID=09 \n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentServes, ReadOnlyTagsKeepTheirValuesWhileTheRestOfTheSetIsStored) {
    Agent agent({"--read-only", "TAG_DEV_STATE,tag_dev_label"});
    ASSERT_GT(agent.port, 0);
    EXPECT_EQ(agent.client({"SET:", "TAG_DEV_LABEL=Rack 7", "TAG_DEV_STATE=1F", "TAG_DEV_TYPE=0B"}).out,
              "Sent 21 bytes\n");
    EXPECT_EQ(agent.client({"GET:", "TAG_DEV_LABEL", "TAG_DEV_STATE", "TAG_DEV_TYPE"}).out,
              "Sent 15 bytes\nReceived 35 bytes\n"
              "GET: TAG_DEV_LABEL=\"Demo rack controller\" TAG_DEV_STATE=01 TAG_DEV_TYPE=0B \n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentServes, TagNotHeldIsReportedByItsId) {
    Agent agent;
    ASSERT_GT(agent.port, 0);
    EXPECT_EQ(agent.client({"GET:", "TAG_BUS_HOST", "TAG_DEV_ID", "TAG_LOGIC_CFG"}).out,
              "Sent 17 bytes\nReceived 11 bytes\nERR: TAG_ERR_TAGID=7D TAG_ERR_TAGID=9B \n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentServes, LongReplyArrivesInSegmentsAndPrintsAsOneLine) {
    TempDir dir;
    std::string file = "# every text tag, 100 characters each\n";
    std::vector<std::string> words{"GET:"};
    std::string line = "GET: ";
    for (const TagEntry& e : allTags()) {
        if (e.kind != TagKind::String) continue;
        std::string value(100, char('a' + words.size() % 26));
        file += std::string(e.name) + "=" + value + "\n";
        words.push_back(e.name);
        line += std::string(e.name) + "=\"" + value + "\" ";
    }
    ASSERT_EQ(words.size(), 53u);
    Agent agent({"-f", dir.write("long.tags", file)});
    ASSERT_GT(agent.port, 0);
    // 52 tags of 104 bytes: nine fill a segment (941 bytes), seven remain.
    std::string received;
    for (int i = 0; i < 5; ++i) received += "Received 941 bytes\n";
    EXPECT_EQ(agent.client(words).out, "Sent 213 bytes\n" + received + "Received 733 bytes\n" + line + "\n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentServes, GarbageDatagramsDoNotStopIt) {
    Agent agent;
    ASSERT_GT(agent.port, 0);
    sendRaw(agent.port, {0xDE, 0xAD, 0xBE, 0xEF});
    sendRaw(agent.port, {});
    std::vector<uint8_t> oversized(2000, 0);
    oversized[0] = 0x01;
    oversized[1] = 0x01;
    sendRaw(agent.port, oversized);
    EXPECT_EQ(agent.client({"GET:", "TAG_DEV_ID"}).out,
              "Sent 11 bytes\nReceived 11 bytes\nGET: TAG_DEV_ID=0000002A \n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentServes, RequestLimitEndsItAfterAnsweringTheLastRequest) {
    Agent agent({"-n", "1"});
    ASSERT_GT(agent.port, 0);
    EXPECT_EQ(agent.client({"GET:", "TAG_DEV_ID"}).out,
              "Sent 11 bytes\nReceived 11 bytes\nGET: TAG_DEV_ID=0000002A \n");
    EXPECT_EQ(agent.wait(), 0);
}

TEST(AgentStartup, DataFileReplacesTheDemoDevice) {
    TempDir dir;
    Agent agent({"--file", dir.write("small.tags", "TAG_DEV_LABEL=From file\n")});
    ASSERT_GT(agent.port, 0);
    EXPECT_EQ(agent.client({"GET:", "TAG_DEV_CFG"}).out,
              "Sent 7 bytes\nReceived 18 bytes\nGET: TAG_DEV_LABEL=\"From file\" \n");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentStartup, BadDataFileStopsItWithFileAndLine) {
    TempDir dir;
    std::string file = dir.write("bad.tags", "TAG_DEV_ID=2A\n\nTAG_DEV_LABE=x\n");
    RunResult r = runProgram(TAGAGENT_PATH, {"-p", "0", "-t", "5", "-f", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tagagent: " + file + ":3: unknown tag name 'TAG_DEV_LABE'\n");

    r = runProgram(TAGAGENT_PATH, {"-p", "0", "-t", "5", "-f", dir.path + "/absent.tags"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tagagent: " + dir.path + "/absent.tags: No such file or directory\n");
}

TEST(AgentStartup, HelpGoesToStdoutAndBadOptionsExitTwo) {
    for (const char* help : {"-h", "--help"}) {
        RunResult r = runProgram(TAGAGENT_PATH, {help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_TRUE(r.out.starts_with("Usage: tagagent [OPTION]...\n")) << r.out;
        // -a ::1 serves on IPv6 too; the help must not say otherwise.
        EXPECT_NE(r.out.find("IPv4 or IPv6 address to serve on"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "") << help;
    }
    const std::vector<std::vector<std::string>> bad = {
        {"-x"},        {"--bogus"}, {"-p", "70000"},
        {"-t", "abc"}, {"stray"},   {"--read-only", "TAG_DEV_ID,TAG_NOPE"}};
    for (const auto& args : bad) {
        RunResult r = runProgram(TAGAGENT_PATH, args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err.find("\nUsage: tagagent [OPTION]...\n"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(runProgram(TAGAGENT_PATH, {"-p", "70000"}).err.starts_with("tagagent: bad port '70000'\n"));
    // A tag without a value cannot be set, so cannot be read-only either.
    EXPECT_TRUE(runProgram(TAGAGENT_PATH, {"--read-only", "TAG_DEV_CFG"})
                    .err.starts_with("tagagent: bad read-only tag 'TAG_DEV_CFG'\n"));
}

TEST(AgentStartup, PortTakenIsReportedAndExitsOne) {
    int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t length = sizeof addr;
    getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &length);
    std::string port = std::to_string(ntohs(addr.sin_port));

    RunResult r = runProgram(TAGAGENT_PATH, {"-p", port, "-t", "5"});
    close(taken);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tagagent: cannot bind 127.0.0.1:" + port + ": Address already in use\n");
}

}  // namespace
