// Hostile and oversized input end to end: words no user would type,
// floods of datagrams at a waiting client, and every length of random bytes
// at the agent. Each case states the exact output, not just "no crash".
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "msg_request.h"
#include "run_program.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

constexpr char FIRST_REFUSAL[] = "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=";
constexpr size_t LINE_LIMIT = 1023;

std::vector<std::string> toListener(const UdpPeer& peer, std::vector<std::string> words) {
    words.insert(words.begin(), {"-h", "127.0.0.1", "-p", std::to_string(peer.port())});
    return words;
}

TEST(BadWords, UnknownNameOf2000CharactersIsCutAtTheLineLimit) {
    UdpPeer listener;
    RunResult r = runClient(toListener(listener, {"SET:", std::string(2000, 'Q')}));
    std::string expected = FIRST_REFUSAL + std::string(LINE_LIMIT - strlen(FIRST_REFUSAL), 'Q') + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(listener.drain().empty());
}

TEST(BadWords, TenThousandUnknownWordsMakeOneLineCutAtTheLimit) {
    UdpPeer listener;
    std::vector<std::string> words{"GET:"};
    std::string full = std::string(FIRST_REFUSAL) + "W0";
    for (int i = 0; i < 10000; ++i) {
        words.push_back("W" + std::to_string(i) + "=1");
        if (i > 0) full += " TAG_ERR_TAGID=W" + std::to_string(i);
    }
    RunResult r = runClient(toListener(listener, words));
    EXPECT_EQ(r.out, full.substr(0, LINE_LIMIT) + "\n");
    EXPECT_TRUE(listener.drain().empty());
}

TEST(BadWords, TenThousandKnownWordsAreTooLongForOneDatagram) {
    UdpPeer listener;
    std::vector<std::string> words{"SET:"};
    words.insert(words.end(), 10000, "TAG_DEV_CFG");
    RunResult r = runClient(toListener(listener, words));
    EXPECT_EQ(r.out, "ERR: TX_MSG_TOO_LONG LIMIT=1024\n");
    EXPECT_TRUE(listener.drain().empty());
}

TEST(BadWords, ValueHoldingEveryByteFrom1To255GoesOutUnchanged) {
    std::string every;
    for (int b = 1; b <= 255; ++b) every.push_back(char(b));
    UdpPeer listener;
    RunResult r = runClient(toListener(listener, {"SET:", "TAG_DEV_LABEL=" + every}));
    // Header 5 bytes, tag id and type 2, text length 2, the 255 bytes.
    EXPECT_EQ(r.out, "Sent 264 bytes\n");
    std::vector<Bytes> got = listener.drain();
    ASSERT_EQ(got.size(), 1u);
    std::unique_ptr<VMsg> msg(VMsg::parseMsg(got[0].data(), uint16_t(got[0].size())));
    ASSERT_NE(msg, nullptr);
    const VTag* t = msg->getTag();
    ASSERT_EQ(t->type, VTAG_STRING);
    EXPECT_EQ(static_cast<const VTagString*>(t)->text(), every);
}

// Garbage of many shapes, none of which can decode as a matching segment:
// a wrong format byte, a truncated segment, a stray sequence, nothing.
std::vector<Bytes> floodDatagrams(size_t count) {
    std::mt19937 random(20261207);
    Bytes stray = segment(MSG_GET, 0x05, {VTagFactory::createVTag(8, uint32_t(7))});
    Bytes truncated = segment(MSG_GET, 0x80, {VTagFactory::createVTag(9, "cut short")});
    truncated.pop_back();
    std::vector<Bytes> flood;
    for (size_t i = 0; i < count; ++i) {
        switch (i % 4) {
        case 0: {
            Bytes noise(1 + random() % 200);
            for (uint8_t& b : noise) b = uint8_t(random());
            noise[0] = 0xEE;  // never the format byte
            flood.push_back(noise);
            break;
        }
        case 1: flood.push_back(stray); break;
        case 2: flood.push_back(truncated); break;
        default: flood.push_back({}); break;
        }
    }
    return flood;
}

TEST(Flood, TenThousandBadDatagramsThenTheReplyPrintsItOnce) {
    std::vector<Bytes> flood = floodDatagrams(10000);
    const size_t burst = clientWrapped() ? 15 : 50;
    std::vector<PeerStep> script;
    std::string expected = "Sent 7 bytes\n";
    for (size_t i = 0; i < flood.size(); ++i) {
        script.push_back(send(flood[i]));
        expected += "Received " + std::to_string(flood[i].size()) + " bytes\n";
        // Paced so that the client's receive buffer never overflows and
        // every datagram is seen, slower with the client under valgrind.
        if (i % burst == burst - 1) script.push_back(pause(10ms));
    }
    Bytes reply = segment(MSG_GET, 0x80, {VTagFactory::createVTag(8, uint32_t(42))});
    script.push_back(pause(100ms));
    script.push_back(send(reply));
    expected += "Received 11 bytes\nGET: TAG_DEV_ID=0000002A \n";

    UdpPeer peer;
    peer.answer(script);
    RunResult r = runClient(toListener(peer, {"GET:", "TAG_DEV_CFG"}));
    peer.finish();
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
}

TEST(AgentFlood, EveryLengthOfRandomBytesThenARealGetIsAnswered) {
    AgentProcess agent;
    ASSERT_NE(agent.port, 0) << agent.firstLine;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(uint16_t(agent.port));
    std::mt19937 random(1500);
    Bytes bytes(1500);
    for (size_t length = 0; length <= 1500; ++length) {
        for (uint8_t& b : bytes) b = uint8_t(random());
        sendto(fd, bytes.data(), length, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
        if (length % 100 == 99) std::this_thread::sleep_for(5ms);
    }
    close(fd);
    std::this_thread::sleep_for(100ms);

    RunResult r = agent.client({"GET:", "TAG_DEV_ID"});
    EXPECT_EQ(r.out, "Sent 11 bytes\nReceived 11 bytes\nGET: TAG_DEV_ID=0000002A \n");
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
