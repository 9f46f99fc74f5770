// Line end to end: one exchange at a time over a connected, blocking socket,
// against the scripted peer, a responder of the test's own, a silent port, a
// closed one and the real tagagent (IPv4, ::1 and a host name).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "agent_process.h"
#include "bound_socket.h"
#include "tagengine.h"
#include "udp_peer.h"

using namespace tagengine;
using namespace std::chrono_literals;

namespace {

VTag* u32(uint8_t id, uint32_t v) { return VTagFactory::createVTag(id, v); }

Exchange to(const std::string& target, Duration attemptTimeout, int retries) {
    Exchange e = exchangeTo(target);
    e.request = getRequest({8});
    e.attemptTimeout = attemptTimeout;
    e.retries = retries;
    return e;
}

Exchange to(uint16_t port, Duration attemptTimeout, int retries) {
    return to("127.0.0.1:" + std::to_string(port), attemptTimeout, retries);
}

std::string tagIds(const Result& r) {
    std::string ids;
    if (!r.reply) return "no reply";
    r.reply->gotoFirst();
    while (VTag* t = r.reply->getTag()) ids += std::to_string(t->tagId) + " ";
    return ids;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(Line, LateReplyToAnEarlierAttemptCounts) {
    UdpPeer peer;
    // After the first attempt's wait (nothing learnt yet: 100 ms), within
    // the second's.
    peer.answer({pause(150ms), send(segment(1, 0x80, {u32(8, 7)}))});
    Line line;
    Result r = line.run(to(peer.port(), 100ms, 2));
    peer.finish();
    ASSERT_EQ(r.status, Status::Answered) << statusName(r.status);
    EXPECT_EQ(r.attempts, 2);
    EXPECT_EQ(tagIds(r), "8 ");
}

TEST(Line, AReplyToAnEarlierExchangeNeverAnswersTheNext) {
    UdpPeer peer;
    // The first exchange's reply (sequence 0) comes once it has given up,
    // ahead of the second's (sequence 1).
    peer.answer(
        {pause(80ms), send(segment(1, 0x80, {u32(8, 7)})), pause(50ms), send(segment(1, 0x81, {u32(9, 2)}))});
    Line line;
    Result first = line.run(to(peer.port(), 50ms, 0));
    EXPECT_EQ(first.status, Status::TimedOut);
    Result second = line.run(to(peer.port(), 1s, 0));
    peer.finish();
    ASSERT_EQ(second.status, Status::Answered) << statusName(second.status);
    EXPECT_EQ(tagIds(second), "9 ");
}

TEST(Line, MergesTheSegmentsOfItsAttemptAndDropsTheRest) {
    UdpPeer peer;
    Bytes request = encode(*getRequest({8}));           // sequence byte 0x80: the first attempt's
    peer.answer({send(segment(1, 0x00, {u32(8, 1)})),   // first segment, more to come
                 send(Bytes(1025, 0)),                  // longer than any datagram of ours
                 send(Bytes{1, 2, 3}),                  // undecodable
                 send(segment(1, 0x85, {u32(40, 1)})),  // a sequence never sent
                 send(request),                         // the request come back
                 send(segment(1, 0x80, {u32(9, 2), u32(10, 3)}))});
    Line line;
    Result r = line.run(to(peer.port(), 1s, 0));
    peer.finish();
    ASSERT_EQ(r.status, Status::Answered) << statusName(r.status);
    EXPECT_EQ(tagIds(r), "8 9 10 ");
    EXPECT_EQ(r.segments, 2u);
    EXPECT_EQ(r.attempts, 1);
}

// The reply rules are the engine's: a reply whole in one datagram handed as
// its bytes when the exchange asks, the bounds the line's options set.
TEST(Line, TakesRepliesByTheEnginesRules) {
    const Bytes whole = segment(1, 0x80, {u32(8, 7)});
    const std::string kib(1000, 'x');
    const PeerStep endless = send(segment(1, 0x00, {VTagFactory::createVTag(9, kib.c_str())}), 40);
    const struct {
        const char* what;
        std::vector<PeerStep> script;
        bool asDatagram;
        Options options;
        Status status;
        Bytes datagram;  // expected; empty when a message is
        const char* tags;
        const char* detail;
    } cases[] = {
        {"whole, as its bytes", {send(whole)}, true, {}, Status::Answered, whole, "no reply", ""},
        {"whole, decoded", {send(whole)}, false, {}, Status::Answered, {}, "8 ", ""},
        {"segments, merged",
         {send(segment(1, 0x00, {u32(8, 1)})), send(segment(1, 0x80, {u32(9, 2)}))},
         true,
         {},
         Status::Answered,
         {},
         "8 9 ",
         ""},
        {"past the bytes of a reply",
         {endless},
         false,
         {.maxReplyBytes = 20000},
         Status::ReplyTooLong,
         {},
         "no reply",
         "more bytes than one reply may carry"},
        {"past the memory held",
         {endless},
         false,
         {.maxHeldBytes = 20000},
         Status::ReplyTooLong,
         {},
         "no reply",
         "replies in progress hold all the memory allowed them"},
    };
    for (const auto& c : cases) {
        UdpPeer peer;
        peer.answer(c.script);
        Line line(c.options);
        Exchange e = to(peer.port(), 2s, 0);
        e.replyAsDatagram = c.asDatagram;
        Result r = line.run(e);
        peer.finish();
        EXPECT_EQ(r.status, c.status) << c.what << ": " << statusName(r.status);
        EXPECT_EQ(r.replyDatagram, c.datagram) << c.what;
        EXPECT_EQ(tagIds(r), c.tags) << c.what;
        EXPECT_EQ(r.detail, c.detail) << c.what;
    }
}

TEST(Line, ErrorMessageIsAnErrorReply) {
    UdpPeer peer;
    peer.answer({send(segment(2, 0x80, {u32(8, 1)}))});
    Line line;
    Result r = line.run(to(peer.port(), 1s, 0));
    peer.finish();
    EXPECT_EQ(r.status, Status::ErrorReply) << statusName(r.status);
    EXPECT_EQ(tagIds(r), "8 ");
}

TEST(Line, SilentTargetTimesOutAfterEveryAttemptWithFreshSequences) {
    BoundSocket silent;
    Line line;
    auto start = Clock::now();
    Result r = line.run(to(silent.port, 50ms, 2));
    EXPECT_EQ(r.status, Status::TimedOut);
    EXPECT_EQ(r.attempts, 3);
    EXPECT_GE(secondsSince(start), 0.15);
    std::vector<uint8_t> sequences;
    uint8_t buf[2048];
    while (recv(silent.fd, buf, sizeof buf, MSG_DONTWAIT) > 2) sequences.push_back(buf[2]);
    EXPECT_EQ(sequences, (std::vector<uint8_t>{0x80, 0x81, 0x82}));
}

TEST(Line, ClosedPortIsRefusedAtOnceAndTheLineGoesOnElsewhere) {
    uint16_t closed;
    {
        BoundSocket gone;
        closed = gone.port;
    }
    AgentProcess agent;
    Line line;
    for (int round = 0; round < 2; ++round) {
        Exchange e = to(closed, 10s, 2);
        e.deadline = Clock::now() + 5s;  // only the kernel's report ends it in time
        auto start = Clock::now();
        Result r = line.run(e);
        EXPECT_EQ(r.status, Status::Refused) << statusName(r.status);
        EXPECT_EQ(r.attempts, 1);
        EXPECT_LT(secondsSince(start), 2.0);
        EXPECT_EQ(line.run(to(agent.port, 1s, 0)).status, Status::Answered);
    }
}

TEST(Line, WaitsByTheRoundTripsItLearnt) {
    // Answers the first request, loses the second, answers the rest.
    BoundSocket device;
    std::thread responder([&] {
        uint8_t buf[2048];
        for (int n = 0; n < 3; ++n) {
            sockaddr_storage from{};
            socklen_t size = sizeof from;
            ssize_t got = recvfrom(device.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (got < 5 || n == 1) continue;
            Bytes reply = segment(1, buf[2], {u32(8, 42)});
            sendto(device.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    });
    Line line;
    EXPECT_EQ(line.run(to(device.port, 2s, 2)).status, Status::Answered);
    auto start = Clock::now();
    Result r = line.run(to(device.port, 2s, 2));
    responder.join();
    EXPECT_EQ(r.status, Status::Answered) << statusName(r.status);
    EXPECT_EQ(r.attempts, 2);
    // A loopback round trip learnt: the lost attempt waited milliseconds,
    // not the 2 s of a target never heard from.
    EXPECT_LT(secondsSince(start), 1.0);
}

namespace {

std::atomic<bool> signalled{false};
void onSignal(int) { signalled = true; }

}  // namespace

// How the caller is told to stop: a signal to the waiting thread, or a flag
// another thread sets (a signal handled elsewhere), seen at the next look.
class LineInterrupted : public testing::TestWithParam<bool> {};

TEST_P(LineInterrupted, EndsTheWaitCancelledPromptly) {
    bool bySignal = GetParam();
    struct sigaction action {};
    action.sa_handler = onSignal;  // no SA_RESTART: the wait is interrupted
    struct sigaction saved {};
    sigaction(SIGUSR1, &action, &saved);
    signalled = false;
    BoundSocket silent;
    Line line;
    pthread_t waiting = pthread_self();
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        if (bySignal)
            pthread_kill(waiting, SIGUSR1);
        else
            signalled = true;
    });
    auto start = Clock::now();
    int looks = 0;
    Result r = line.run(to(silent.port, 10s, 0), [&] {
        ++looks;
        return signalled.load();
    });
    stopper.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(r.status, Status::Cancelled) << statusName(r.status);
    EXPECT_EQ(r.attempts, 1);
    EXPECT_GE(looks, 1);
    EXPECT_LT(secondsSince(start), 1.0);
}

INSTANTIATE_TEST_SUITE_P(SignalOrFlag, LineInterrupted, testing::Bool());

TEST(Line, ReadsIpv6LoopbackAndAHostNameOnOneLine) {
    int probe = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 loop{};
    loop.sin6_family = AF_INET6;
    loop.sin6_addr = in6addr_loopback;
    bool v6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loop), sizeof loop) == 0;
    if (probe >= 0) close(probe);
    if (!v6) GTEST_SKIP() << "no ::1 on this machine";
    AgentProcess six({"-a", "::1"});
    AgentProcess four;
    Line line;
    // From one family to the other and back: the socket follows the target.
    for (const std::string& target :
         {"[::1]:" + std::to_string(six.port), "localhost:" + std::to_string(four.port),
          "[::1]:" + std::to_string(six.port)}) {
        Result r = line.run(to(target, 1s, 1));
        ASSERT_EQ(r.status, Status::Answered) << target << ": " << statusName(r.status) << " " << r.detail;
        EXPECT_EQ(tagIds(r), "8 ") << target;
        EXPECT_EQ(r.target, target);
    }
}
