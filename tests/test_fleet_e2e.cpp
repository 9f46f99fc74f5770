// The real tagagent as a fleet and as a target of hostile traffic: many
// devices at once, lossy and slow networks, forged sources, floods.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "agent_process.h"
#include "run_program.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// GET: TAG_DEV_CFG as the client sends it.
const Bytes GET_DEV_CFG = {
    0x01,        // format
    0x01,        // GET
    0x80,        // last segment, sequence 0
    0x00, 0x01,  // one tag
    0x05, 0x00,  // TAG_DEV_CFG, no value
};

struct Endpoint {
    std::string address;
    int port;
};

// A UDP socket of the test, bound on loopback where asked.
class Udp {
public:
    explicit Udp(const char* address = "127.0.0.1", int port = 0) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int room = 1 << 20;  // the system's most: room for a few hundred replies
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        sockaddr_in at = socketAddress({address, port});
        bound = bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    }
    ~Udp() { close(fd); }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    void send(const Endpoint& to, const Bytes& bytes = GET_DEV_CFG) {
        sockaddr_in dest = socketAddress(to);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
    }
    // Reads what has arrived; with a wait, until that long passes quietly.
    // Returns how many datagrams.
    int receive(std::chrono::milliseconds quiet = 0ms) {
        int count = 0;
        uint8_t buffer[2048];
        for (;;) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) >= 0) {
                ++count;
                arrivals.push_back(Clock::now());
                char text[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                senders.push_back({text, ntohs(from.sin_port)});
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            if (quiet == 0ms || poll(&p, 1, int(quiet.count())) != 1) return count;
        }
    }

    bool bound = false;
    std::vector<Clock::time_point> arrivals;
    std::vector<Endpoint> senders;  // of each datagram received, in order

private:
    static sockaddr_in socketAddress(const Endpoint& e) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(e.port));
        inet_pton(AF_INET, e.address.c_str(), &a.sin_addr);
        return a;
    }
    int fd;
};

// Sends the GET from a forged loopback source through a raw socket; false
// without the right to open one.
bool forgeGet(const Endpoint& from, const Endpoint& to) {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) return false;
    struct {
        iphdr ip;
        udphdr udp;
        uint8_t payload[7];
    } __attribute__((packed)) packet{};
    static_assert(sizeof packet.payload == 7);
    packet.ip.version = 4;
    packet.ip.ihl = 5;
    packet.ip.ttl = 64;
    packet.ip.protocol = IPPROTO_UDP;
    packet.ip.tot_len = htons(sizeof packet);
    inet_pton(AF_INET, from.address.c_str(), &packet.ip.saddr);
    inet_pton(AF_INET, to.address.c_str(), &packet.ip.daddr);
    packet.udp.source = htons(uint16_t(from.port));
    packet.udp.dest = htons(uint16_t(to.port));
    packet.udp.len = htons(sizeof packet.udp + sizeof packet.payload);  // checksum 0: none
    memcpy(packet.payload, GET_DEV_CFG.data(), sizeof packet.payload);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = packet.ip.daddr;
    bool sent = sendto(fd, &packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest) > 0;
    close(fd);
    return sent;
}

// A private targets file path, removed afterwards.
class TargetsFile {
public:
    TargetsFile() {
        char pattern[] = "/tmp/test_fleet_e2e.XXXXXX";
        int fd = mkstemp(pattern);
        close(fd);
        path = pattern;
    }
    ~TargetsFile() { unlink(path.c_str()); }
    std::vector<Endpoint> read() const {
        std::vector<Endpoint> targets;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            size_t colon = line.rfind(':');
            targets.push_back({line.substr(0, colon), std::stoi(line.substr(colon + 1))});
        }
        return targets;
    }
    std::string path;
};

// Asks every target once from one socket, draining replies as it goes so
// that none overflows the socket; then the replies counted.
int askEachOnce(const std::vector<Endpoint>& targets, std::chrono::milliseconds quiet = 300ms) {
    Udp poller;
    int replies = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        poller.send(targets[i]);
        replies += poller.receive(i % 50 == 49 ? 1ms : 0ms);
    }
    return replies + poller.receive(quiet);
}

TEST(Fleet, EachDeviceAnswersWithItsOwnIdLabelAndStore) {
    TargetsFile targets;
    AgentProcess fleet({"--devices", "3", "--targets-file", targets.path});
    std::vector<Endpoint> t = targets.read();
    ASSERT_EQ(t.size(), 3u) << fleet.firstLine;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(t[i].address, "127.0.0." + std::to_string(i + 1));
    EXPECT_EQ(fleet.firstLine, "listening on 3 devices from 127.0.0.1:" + std::to_string(t[0].port) +
                                   " to 127.0.0.3:" + std::to_string(t[2].port));

    auto ask = [&](const Endpoint& e, std::vector<std::string> words) {
        words.insert(words.begin(), {"-h", e.address, "-p", std::to_string(e.port)});
        return runClient(words).out;
    };
    EXPECT_EQ(ask(t[0], {"SET:", "TAG_DEV_LABEL=Changed"}), "Sent 16 bytes\n");
    EXPECT_EQ(ask(t[0], {"GET:", "TAG_DEV_ID", "TAG_DEV_LABEL"}),
              "Sent 15 bytes\nReceived 22 bytes\nGET: TAG_DEV_ID=00000001 TAG_DEV_LABEL=\"Changed\" \n");
    EXPECT_EQ(
        ask(t[1], {"GET:", "TAG_DEV_ID", "TAG_DEV_LABEL", "TAG_SITE_ID"}),
        "Sent 19 bytes\nReceived 50 bytes\nGET: TAG_DEV_ID=00000002 TAG_DEV_LABEL=\"Demo rack controller 2\" "
        "TAG_SITE_ID=\"SITE-0001\" \n");
    EXPECT_EQ(fleet.stop(), 0);
}

TEST(Fleet, WhatCannotBeSetUpStopsItBeforeItsFirstLine) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--devices", "2", "--targets-file", "/nonexistent/targets.txt"},
         "tagagent: cannot write /nonexistent/targets.txt: No such file or directory\n"},
        {{"--devices", "10", "-a", "127.255.255.250"},
         "tagagent: 10 devices from 127.255.255.250 would leave its /8 network\n"},
        {{"--devices", "2", "-a", "0.0.0.0"},
         "tagagent: fleet address '0.0.0.0' is not on loopback (127.0.0.0/8 or ::1)\n"},
    };
    for (const auto& [args, err] : cases) {
        std::vector<std::string> all{"-p", "0", "-t", "5"};
        all.insert(all.end(), args.begin(), args.end());
        RunResult r = runProgram(TAGAGENT_PATH, all);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }
}

// One socket serves the whole IPv4 fleet: what names the device is the
// address a request was sent to, and the reply must leave from it, or a
// poller matching replies by sender would take none.
TEST(Fleet, OneSocketAnswersFromEachAddressAsked) {
    TargetsFile targets;
    AgentProcess fleet({"--devices", "4", "-a", "127.0.3.1", "--targets-file", targets.path});
    std::vector<Endpoint> t = targets.read();
    ASSERT_EQ(t.size(), 4u) << fleet.firstLine;
    const int port = t[0].port;
    EXPECT_EQ(t[3].address, "127.0.3.4");
    EXPECT_EQ(t[3].port, port);

    RunResult poll = runProgram(TAGPOLL_PATH, {"-f", targets.path, "-t", "1", "GET:", "TAG_DEV_ID"});
    EXPECT_EQ(poll.status, 0) << poll.err;
    std::vector<std::string> lines;
    std::istringstream out(poll.out);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected;
    for (int i = 1; i <= 4; ++i)
        expected.push_back("127.0.3." + std::to_string(i) + ":" + std::to_string(port) +
                           "\tGET: TAG_DEV_ID=0000000" + std::to_string(i) + " ");
    EXPECT_EQ(lines, expected);

    // From the last address to the first, and to a local address beyond
    // the fleet, which no device has.
    Udp poller;
    for (const char* to : {"127.0.3.4", "127.0.3.9", "127.0.3.2", "127.0.3.1"}) poller.send({to, port});
    EXPECT_EQ(poller.receive(300ms), 3);
    std::vector<std::string> senders;
    for (const Endpoint& e : poller.senders) senders.push_back(e.address + ":" + std::to_string(e.port));
    const std::string p = ":" + std::to_string(port);
    EXPECT_EQ(senders, (std::vector<std::string>{"127.0.3.4" + p, "127.0.3.2" + p, "127.0.3.1" + p}));
    EXPECT_EQ(fleet.stop(), 0);
}

TEST(Fleet, APollerAskingEveryDeviceOnceIsNeverThrottled) {
    TargetsFile targets;
    AgentProcess fleet({"--devices", "300", "--targets-file", targets.path});
    ASSERT_EQ(targets.read().size(), 300u) << fleet.firstLine;
    EXPECT_EQ(askEachOnce(targets.read()), 300);
    EXPECT_EQ(fleet.stop(), 0);
}

TEST(Fleet, LossDropsItsShareOfRequests) {
    for (auto [loss, least, most] : {std::tuple{"1", 0, 0}, {"0.5", 60, 140}}) {
        TargetsFile targets;
        AgentProcess fleet({"--devices", "200", "--targets-file", targets.path, "--loss", loss});
        int answered = askEachOnce(targets.read());
        EXPECT_GE(answered, least) << loss;
        EXPECT_LE(answered, most) << loss;
        EXPECT_EQ(fleet.stop(), 0);
    }
}

TEST(Fleet, DelayHoldsEachAnswerWithoutHoldingTheOthers) {
    TargetsFile targets;
    AgentProcess fleet({"--devices", "10", "--targets-file", targets.path, "--delay", "400"});
    Udp poller;
    Clock::time_point sent = Clock::now();
    for (const Endpoint& t : targets.read()) poller.send(t);
    EXPECT_EQ(poller.receive(800ms), 10);
    ASSERT_EQ(poller.arrivals.size(), 10u);
    EXPECT_GE(poller.arrivals.front() - sent, 400ms);
    // One after the other they would take four seconds.
    EXPECT_LT(poller.arrivals.back() - sent, 2500ms);
    EXPECT_EQ(fleet.stop(), 0);
}

TEST(AgentLoops, DatagramFromAnAgentsPortIsNeverAnswered) {
    AgentProcess agent({"-a", "127.0.0.2"});
    ASSERT_GT(agent.port, 0) << agent.firstLine;
    // The same port on another address: as another agent (or this one,
    // forged) would send.
    Udp peer("127.0.0.1", agent.port);
    if (!peer.bound) GTEST_SKIP() << "port " << agent.port << " is taken on 127.0.0.1";
    peer.send({"127.0.0.2", agent.port});
    EXPECT_EQ(peer.receive(300ms), 0);
    Udp client;
    client.send({"127.0.0.2", agent.port});
    EXPECT_EQ(client.receive(300ms), 1);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentLoops, ForgedGetFromItsOwnAddressStartsNoLoop) {
    AgentProcess agent;
    ASSERT_GT(agent.port, 0);
    if (!forgeGet({"127.0.0.1", agent.port}, {"127.0.0.1", agent.port}))
        GTEST_SKIP() << "no raw socket: " << strerror(errno);
    std::this_thread::sleep_for(200ms);
    // Answering itself, it would be too busy to see the signal.
    EXPECT_EQ(agent.stopWithin(3s), 0);
}

// A thousand GETs from one socket, paced so that nothing overflows.
int floodOfAThousand(const Endpoint& agent) {
    Udp flooder;
    int replies = 0;
    for (int i = 0; i < 1000; ++i) {
        flooder.send(agent);
        replies += flooder.receive();
        if (i % 100 == 99) std::this_thread::sleep_for(5ms);
    }
    return replies + flooder.receive(300ms);
}

TEST(AgentBudget, OneAddressGetsItsBudgetOfRepliesAndNoMore) {
    AgentProcess agent;
    ASSERT_GT(agent.port, 0);
    int replies = floodOfAThousand({"127.0.0.1", agent.port});
    // A burst of 200, then 200 a second while the flood lasts.
    EXPECT_GE(replies, 150);
    EXPECT_LE(replies, 500);
    EXPECT_EQ(agent.stop(), 0);

    AgentProcess unlimited({"--budget", "0"});
    EXPECT_GE(floodOfAThousand({"127.0.0.1", unlimited.port}), 700);
    EXPECT_EQ(unlimited.stop(), 0);
}

TEST(AgentBudget, EachDeviceOfAFleetKeepsItsOwnBudgetForAnAddress) {
    TargetsFile targets;
    AgentProcess fleet({"--devices", "2", "--targets-file", targets.path});
    std::vector<Endpoint> t = targets.read();
    ASSERT_EQ(t.size(), 2u) << fleet.firstLine;
    EXPECT_LE(floodOfAThousand(t[0]), 500);
    // The first device's spent budget leaves the second's whole.
    EXPECT_GE(floodOfAThousand(t[1]), 150);
    EXPECT_EQ(fleet.stop(), 0);
}

TEST(AgentStop, StopSignalEndsItPromptlyUnderAFlood) {
    for (int signal : {SIGTERM, SIGINT}) {
        AgentProcess agent;
        ASSERT_GT(agent.port, 0);
        std::atomic<bool> flooding = true;
        std::thread flood([&] {
            // Faster than the agent reads: its socket is never empty.
            Udp flooder;
            for (auto end = Clock::now() + 8s; flooding && Clock::now() < end;)
                for (int i = 0; i < 100; ++i) flooder.send({"127.0.0.1", agent.port});
        });
        std::this_thread::sleep_for(300ms);
        Clock::time_point signalled = Clock::now();
        int status = agent.stopWithin(5s, signal);
        Clock::duration took = Clock::now() - signalled;
        flooding = false;
        flood.join();
        EXPECT_EQ(status, 0) << signal;
        // Far more than the loop needs, far less than the flood lasts.
        EXPECT_LT(took, 2s) << signal;
    }
}

}  // namespace
