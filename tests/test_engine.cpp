// The many-exchange engine against scripted peers on 127.0.0.1, driven with
// a clock the test moves: time-outs and pacing happen when the test says.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <vector>

#include <map>

#include "bound_socket.h"
#include "peer_key.h"
#include "sequence_table.h"
#include "socket_address.h"
#include "tagengine.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;
using tagengine::Clock;
using tagengine::Status;

VTag* u32(uint8_t id, uint32_t v) { return VTagFactory::createVTag(id, v); }
VTag* none(uint8_t id) { return VTagFactory::createVTag(id); }

std::shared_ptr<const VMsg> getRequest() {
    auto m = std::make_shared<VMsg>(1);
    m->addTag(none(5));
    return m;
}

// A UDP socket that never answers, on a free port of the given address.
struct Silent : BoundSocket {
    using BoundSocket::BoundSocket;
    // The sequence bytes of what arrived so far.
    std::vector<uint8_t> sequences() const {
        std::vector<uint8_t> seen;
        uint8_t buf[2048];
        while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 2) seen.push_back(buf[2]);
        return seen;
    }
};

struct Harness {
    explicit Harness(tagengine::Options o = {}) : engine(o), t0(Clock::now()) {}

    uint64_t submit(uint16_t port, std::chrono::milliseconds timeout = 1000ms, int retries = 0,
                    tagengine::Observer observe = nullptr, std::chrono::milliseconds budget = 0ms) {
        tagengine::Exchange x;
        x.budget = budget;
        x.observe = std::move(observe);
        x.target = "t" + std::to_string(port);
        x.host = "127.0.0.1";
        x.port = port;
        x.request = getRequest();
        x.attemptTimeout = timeout;
        x.retries = retries;
        x.replyAsDatagram = replyAsDatagram;
        x.done = [this](tagengine::Result&& r) { results.emplace(r.id, std::move(r)); };
        return engine.submit(std::move(x), t0);
    }
    // Runs the engine at time t0+at, after waiting up to wait for something
    // to read.
    Clock::time_point step(std::chrono::milliseconds at, std::chrono::milliseconds wait = 0ms) {
        pollfd p{engine.fds()[0], POLLIN, 0};
        int ready = poll(&p, 1, int(wait.count()));
        std::vector<int> fds;
        if (ready > 0) fds.push_back(p.fd);
        return engine.process(fds, t0 + at);
    }
    // A verified write of tag 8 = 7 to the port, each round's read-back
    // waiting 1 s at most.
    uint64_t submitWrite(uint16_t port, int retries, std::chrono::milliseconds at = 0ms,
                         std::chrono::milliseconds budget = 0ms) {
        tagengine::Exchange x;
        x.host = "127.0.0.1";
        x.port = port;
        auto set = std::make_shared<VMsg>(MSG_SET);
        set->addTag(u32(8, 7));
        x.request = set;
        x.attemptTimeout = 1000ms;
        x.retries = retries;
        x.budget = budget;
        x.done = [this](tagengine::Result&& r) { results.emplace(r.id, std::move(r)); };
        return engine.submitWrite(std::move(x), t0 + at);
    }
    // Steps at one time until the engine wants a later one: when.
    Clock::time_point settle(std::chrono::milliseconds at) {
        Clock::time_point wake = step(at);
        for (int i = 0; i < 3 && wake <= t0 + at; ++i) wake = step(at);
        return wake;
    }
    // Steps at the same time until the exchange ended or 5 s passed.
    void until(uint64_t id, std::chrono::milliseconds at) {
        for (int i = 0; i < 100 && !results.count(id); ++i) step(at, 50ms);
    }
    uint16_t localPort() {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(engine.fds()[0], reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    tagengine::Engine engine;
    Clock::time_point t0;
    std::map<uint64_t, tagengine::Result> results;
    bool replyAsDatagram = false;  // of the exchanges submitted
};

std::string tagIds(const tagengine::Result& r) {
    std::string ids;
    if (!r.reply) return "no reply";
    r.reply->gotoFirst();
    while (VTag* t = r.reply->getTag()) ids += std::to_string(t->tagId) + " ";
    return ids;
}

// Lookup answers in the order a resolver may give them: the address every
// program reaches, as endpointText shows it.
TEST(ChooseAddress, PrefersIpv4ThenIpv6AndUnmapsMappedAddresses) {
    struct Answer {
        int family;
        const char* text;
    };
    struct Case {
        std::vector<Answer> answers;
        const char* chosen;  // "" when none
    } cases[] = {
        {{{AF_INET6, "::1"}, {AF_INET, "127.0.2.7"}, {AF_INET, "127.0.2.8"}}, "127.0.2.7:60001"},
        {{{AF_INET6, "::1"}, {AF_INET6, "::ffff:127.0.2.8"}}, "[::1]:60001"},
        {{{AF_INET6, "::ffff:127.0.2.9"}}, "127.0.2.9:60001"},
        {{}, ""},
    };
    for (const Case& c : cases) {
        std::vector<sockaddr_storage> addresses;
        std::vector<addrinfo> list(c.answers.size());
        for (const Answer& answer : c.answers) addresses.push_back(socketAddress(answer.text));
        for (size_t i = 0; i < c.answers.size(); ++i) {
            ASSERT_EQ(addresses[i].ss_family, c.answers[i].family) << c.answers[i].text;
            list[i].ai_family = c.answers[i].family;
            list[i].ai_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
            list[i].ai_addrlen = c.answers[i].family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            if (i > 0) list[i - 1].ai_next = &list[i];
        }
        sockaddr_storage to{};
        bool found = tagengine::chooseAddress(list.empty() ? nullptr : &list[0], 60001, to);
        EXPECT_EQ(found ? tagengine::endpointText(to) : "", c.chosen);
        // endpointText shows a mapped address unmapped: the family says what is sent to.
        if (found) {
            EXPECT_EQ(to.ss_family, c.chosen[0] == '[' ? AF_INET6 : AF_INET) << c.chosen;
        }
    }
}

TEST(Engine, MergesSegmentsOfItsSequenceAndDropsStraysAndOversized) {
    UdpPeer peer;
    Bytes oversized(1025, 0);
    Bytes tooLongValid = segment(1, 0x80, {u32(99, 1)});
    peer.answer({send(segment(1, 0x00, {u32(8, 1)})),
                 send(segment(1, 0x85, {u32(40, 1)})),  // stray sequence 5
                 send(oversized), send(Bytes{1, 2, 3}), send(segment(1, 0x80, {u32(9, 2), u32(10, 3)}))});
    Harness h;
    uint64_t id = h.submit(peer.port());
    h.until(id, 0ms);
    peer.finish();
    ASSERT_TRUE(h.results.count(id));
    const auto& r = h.results[id];
    EXPECT_EQ(r.status, Status::Answered);
    EXPECT_EQ(tagIds(r), "8 9 10 ");
    EXPECT_EQ(r.attempts, 1);
    EXPECT_EQ(h.engine.stats().truncated, 1u);
    EXPECT_EQ(h.engine.stats().dropped, 2u);
}

TEST(Engine, ErrorMessageIsAnErrorReply) {
    UdpPeer peer;
    peer.answer({send(segment(2, 0x80, {u32(8, 1)}))});
    Harness h;
    uint64_t id = h.submit(peer.port());
    h.until(id, 0ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::ErrorReply);
}

TEST(Engine, ReplyFromAnotherAddressIsNotTaken) {
    UdpPeer peer;
    peer.answer({pause(300ms), send(segment(1, 0x80, {u32(9, 2)}))});
    Harness h;
    uint64_t id = h.submit(peer.port());
    h.step(0ms);
    // The same reply, from 127.0.0.2, before the target's own.
    Silent other("127.0.0.2");
    Bytes forged = segment(1, 0x80, {u32(8, 1)});
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(h.localPort());
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    sendto(other.fd, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    h.until(id, 0ms);
    peer.finish();
    EXPECT_EQ(tagIds(h.results[id]), "9 ");
    EXPECT_EQ(h.engine.stats().dropped, 1u);
}

TEST(Engine, MergedReplyPastTheBoundFails) {
    // 129 segments of 509 tags without the last flag: 65661 tags.
    std::vector<VTag*> tags;
    for (int i = 0; i < 509; ++i) tags.push_back(none(5));
    UdpPeer peer;
    peer.answer({send(segment(1, 0x00, tags), 129)});
    Harness h({.receiveBuffer = 8 << 20});
    uint64_t id = h.submit(peer.port(), 5000ms);
    h.until(id, 0ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::ReplyTooLong);
}

TEST(Engine, ClosedPortIsRefusedAtOnce) {
    uint16_t closed;
    {
        Silent gone;
        closed = gone.port;
    }
    Harness h;
    uint64_t id = h.submit(closed, 60000ms, 5);
    h.until(id, 0ms);  // the clock never moves: only the kernel's report can end it
    EXPECT_EQ(h.results[id].status, Status::Refused);
    EXPECT_EQ(h.results[id].attempts, 1);
}

TEST(Engine, RetriesWithFreshSequencesThenTimesOut) {
    Silent target;
    Harness h;
    uint64_t id = h.submit(target.port, 1000ms, 2);
    Clock::time_point wake = h.step(0ms);
    EXPECT_EQ(wake, h.t0 + 1000ms);  // the first attempt waits the time-out exactly
    h.step(999ms);
    std::vector<uint8_t> seen = target.sequences();
    EXPECT_EQ(seen.size(), 1u);
    wake = h.step(1000ms);
    // The second attempt waits between 1 and 2 s (doubled, jittered, never below the base).
    EXPECT_GE(wake, h.t0 + 2000ms);
    EXPECT_LE(wake, h.t0 + 3000ms);
    h.step(3000ms);
    h.step(8000ms);
    for (uint8_t b : target.sequences()) seen.push_back(b);
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x80, 0x81, 0x82}));
    ASSERT_TRUE(h.results.count(id));
    EXPECT_EQ(h.results[id].status, Status::TimedOut);
    EXPECT_EQ(h.results[id].attempts, 3);
}

// More exchanges to one address than it has sequences: the first 128 hold
// them all, and when they time out together each must still get a retry
// out rather than wait for a sequence that no one will let go.
TEST(Engine, ExchangesHoldingEverySequenceOfAnAddressStillRetry) {
    Silent target;
    Harness h;
    std::vector<uint64_t> ids;
    for (int i = 0; i < 130; ++i) ids.push_back(h.submit(target.port, 100ms, 1));
    for (int ms = 0; ms <= 2000; ms += 50) h.step(std::chrono::milliseconds(ms));
    std::map<Status, size_t> ended;
    int attempts = 0;
    for (uint64_t id : ids)
        if (h.results.count(id)) {
            ++ended[h.results[id].status];
            attempts += h.results[id].attempts;
        }
    EXPECT_EQ(ended, (std::map<Status, size_t>{{Status::TimedOut, 130}}));
    EXPECT_EQ(attempts, 260);
    EXPECT_EQ(h.engine.pending(), 0u);
}

TEST(Engine, LateWholeReplyToAnEarlierAttemptCounts) {
    UdpPeer peer;
    peer.answer({pause(200ms), send(segment(1, 0x80, {u32(8, 7)}))});  // answers attempt 1 (sequence 0)
    Harness h;
    uint64_t id = h.submit(peer.port(), 100ms, 8);
    // Five more attempts go out by the fake clock before the reply to the
    // first comes (waits of 100 ms doubled, capped at 400 ms).
    for (auto at : {0ms, 100ms, 300ms, 700ms, 1100ms, 1500ms}) h.step(at);
    h.until(id, 1500ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::Answered);
    EXPECT_EQ(h.results[id].attempts, 6);
}

// Round trips by the fake clock: what the engine is given as now when a
// reply is read, less what it was given when the attempt went out.
struct Answering {
    UdpPeer peer;
    explicit Answering() { peer.answer({send(segment(1, 0x80, {u32(8, 7)}))}); }
};

TEST(Engine, FurtherAttemptsWaitByTheEstimateNotTheTimeOut) {
    Answering a, b;
    Silent unheard;
    Harness h;
    uint64_t first = h.submit(a.peer.port(), 1000ms, 0);
    h.step(0ms);
    h.until(first, 10ms);  // a: 10 ms, so 30 ms
    uint64_t second = h.submit(b.peer.port(), 1000ms, 0);
    h.step(20ms);
    h.until(second, 120ms);  // b: 100 ms, so 300 ms; the fleet 126.25 ms
    ASSERT_EQ(h.results[first].status, Status::Answered);
    ASSERT_EQ(h.results[second].status, Status::Answered);
    a.peer.finish();

    // a again, now silent: its own estimate, then doubled from it; the last
    // attempt waits the whole time-out, there being no deadline.
    uint64_t again = h.submit(a.peer.port(), 1000ms, 2);
    EXPECT_EQ(h.step(200ms), h.t0 + 230ms);
    Clock::time_point wake = h.step(230ms);
    EXPECT_GE(wake, h.t0 + 260ms);
    EXPECT_LE(wake, h.t0 + 290ms);
    auto third = std::chrono::duration_cast<std::chrono::milliseconds>(wake - h.t0) + 1ms;
    EXPECT_EQ(h.step(third), h.t0 + third + 1000ms);
    h.step(third + 999ms);
    EXPECT_FALSE(h.results.count(again));
    h.step(third + 1000ms);
    EXPECT_EQ(h.results[again].status, Status::TimedOut);
    EXPECT_EQ(h.results[again].attempts, 3);
    EXPECT_EQ(a.peer.drain().size(), 3u);

    // A target never heard from waits the fleet's estimate.
    h.submit(unheard.port, 1000ms, 1);
    EXPECT_EQ(h.step(2000ms), h.t0 + 2000ms + 126250us);
}

// Exchanges sent before anything was heard wait the time-out; the first
// replies bring the attempts still waiting to the fleet's estimate.
TEST(Engine, FirstRepliesShortenTheWaitsOfAttemptsInFlight) {
    Answering a;
    Silent unheard;
    Harness h;
    uint64_t lost = h.submit(unheard.port, 2000ms, 1);
    uint64_t answered = h.submit(a.peer.port(), 2000ms, 0);
    EXPECT_EQ(h.step(0ms), h.t0 + 2000ms);
    h.until(answered, 10ms);
    ASSERT_EQ(h.results[answered].status, Status::Answered);
    // The fleet's 30 ms from the reply that taught it, not from the send.
    EXPECT_EQ(h.step(10ms), h.t0 + 40ms);
    h.step(39ms);
    EXPECT_EQ(unheard.sequences(), (std::vector<uint8_t>{0x80}));
    h.step(40ms);
    EXPECT_EQ(unheard.sequences(), (std::vector<uint8_t>{0x81}));
    EXPECT_FALSE(h.results.count(lost));
}

// A peer answering by hand: every request waiting at the socket gets a
// one-segment reply with the request's sequence, when the test says.
size_t answerWaiting(const BoundSocket& peer) {
    size_t answered = 0;
    uint8_t request[2048];
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    while (recvfrom(peer.fd, request, sizeof request, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                    &length) > 2) {
        Bytes reply = segment(1, uint8_t(0x80 | (request[2] & 0x7f)), {u32(8, 7)});
        sendto(peer.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        ++answered;
        length = sizeof from;
    }
    return answered;
}

// Waits (really) for datagrams sent on loopback to be queued where they go.
void letLoopbackDeliver() { usleep(50 * 1000); }

// Behind a poller slow to read, replies pile up in its socket, and one read
// takes a batch of 256: those not read yet came in time, and are read
// before any attempt is called lost.
TEST(Engine, RepliesWaitingUnreadAreReadBeforeAnAttemptIsCalledLost) {
    Answering teacher;
    Harness h;
    uint64_t first = h.submit(teacher.peer.port(), 1000ms, 0);
    h.step(0ms);
    h.until(first, 10ms);  // the fleet: 10 ms, so 30 ms
    BoundSocket late;
    BoundSocket quick[3];
    std::vector<uint64_t> ids;
    for (int i = 0; i < 20; ++i) ids.push_back(h.submit(late.port, 1000ms, 1));
    h.step(100ms);  // due at 130 ms
    for (const BoundSocket& q : quick)
        for (int i = 0; i < 90; ++i) ids.push_back(h.submit(q.port, 1000ms, 1));
    h.step(125ms);
    letLoopbackDeliver();
    // The later requests' replies first, then the late target's: 290 in all.
    size_t answered = 0;
    for (const BoundSocket& q : quick) answered += answerWaiting(q);
    answered += answerWaiting(late);
    ASSERT_EQ(answered, 290u);
    letLoopbackDeliver();
    for (int i = 0; i < 5; ++i) h.step(140ms, 10ms);
    size_t attempts = 0;
    for (uint64_t id : ids) {
        ASSERT_TRUE(h.results.count(id));
        EXPECT_EQ(h.results[id].status, Status::Answered);
        attempts += size_t(h.results[id].attempts);
    }
    EXPECT_EQ(attempts, 290u);
    EXPECT_EQ(answerWaiting(late), 0u);
}

// Attempts sent together are answered over time, behind a busy device or a
// poller slow to read: the first replies are quick, the last slow. While
// replies to its burst still come an attempt is not lost: its wait runs by
// the estimate now held, from the latest of them.
TEST(Engine, AttemptsWaitWhileTheirBurstIsStillAnswered) {
    BoundSocket quick, slower;
    Silent lost;
    Harness h;
    uint64_t a = h.submit(quick.port, 1000ms, 1);
    uint64_t b = h.submit(slower.port, 1000ms, 1);
    uint64_t c = h.submit(lost.port, 1000ms, 1);
    h.step(0ms);
    letLoopbackDeliver();
    ASSERT_EQ(answerWaiting(quick), 1u);
    h.step(10ms, 50ms);  // the fleet: 10 ms, so 30 ms; the others cut to 40 ms
    ASSERT_EQ(h.results[a].status, Status::Answered);
    ASSERT_EQ(answerWaiting(slower), 1u);
    h.step(39ms, 50ms);  // 10 and 39 ms: 13.625 ms, variation 11 ms, so 57.625 ms
    ASSERT_EQ(h.results[b].status, Status::Answered);
    ASSERT_EQ(h.results[b].attempts, 1);
    // Not at 40 ms (the cut), nor at 57.625 ms from its send: 57.625 ms from
    // the reply at 39 ms.
    EXPECT_EQ(h.step(40ms), h.t0 + 96625us);
    h.step(96ms);
    EXPECT_EQ(lost.sequences(), (std::vector<uint8_t>{0x80}));
    h.step(97ms);
    letLoopbackDeliver();
    EXPECT_EQ(lost.sequences(), (std::vector<uint8_t>{0x81}));
    EXPECT_FALSE(h.results.count(c));
}

// Replies read together share the reader's lateness: one sample of the
// fleet's estimate, not one each, lest equal samples make its margin nothing.
TEST(Engine, RepliesReadTogetherAreOneSampleOfTheFleet) {
    BoundSocket answering[3];
    BoundSocket silent;
    Harness h;
    for (const BoundSocket& p : answering) h.submit(p.port, 1000ms, 1);
    h.submit(silent.port, 1000ms, 1);
    h.step(0ms);
    letLoopbackDeliver();
    for (const BoundSocket& p : answering) ASSERT_EQ(answerWaiting(p), 1u);
    letLoopbackDeliver();
    // 10 ms once: 30 ms from the reply (three samples of 10 ms: 21.25 ms).
    EXPECT_EQ(h.step(10ms, 50ms), h.t0 + 40ms);
    EXPECT_EQ(h.results.size(), 3u);
}

TEST(Engine, OverallDeadlineEndsAnExchangeWithAttemptsLeft) {
    Silent target;
    Harness h;
    tagengine::Exchange x;
    x.host = "127.0.0.1";
    x.port = target.port;
    x.request = getRequest();
    x.attemptTimeout = 1000ms;
    x.retries = 10;
    x.deadline = h.t0 + 1500ms;
    x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
    uint64_t id = h.engine.submit(std::move(x), h.t0);
    h.step(0ms);
    h.step(1000ms);
    EXPECT_LE(h.step(1001ms), h.t0 + 1500ms);
    h.step(1500ms);
    EXPECT_EQ(h.results[id].status, Status::TimedOut);
    EXPECT_EQ(h.results[id].attempts, 2);
}

TEST(Engine, BudgetRunsFromTheFirstSendNotFromSubmit) {
    Silent target;
    Harness h;
    uint64_t id = h.submit(target.port, 1000ms, 10, nullptr, 2500ms);
    h.step(500ms);   // first sent now, as if pacing had held it
    h.step(1500ms);  // the second attempt
    h.step(2999ms);
    EXPECT_FALSE(h.results.count(id));
    h.step(3000ms);
    ASSERT_TRUE(h.results.count(id));
    EXPECT_EQ(h.results[id].status, Status::TimedOut);
    EXPECT_GE(h.results[id].attempts, 2);
    EXPECT_LE(h.results[id].attempts, 3);
}

// The last attempt waits for as long as the exchange may run, not its
// doubled turn (1 to 2 s here): a busy device's late reply still counts.
TEST(Engine, LastAttemptWaitsUntilTheBudgetEnds) {
    Silent target;
    Harness h;
    uint64_t id = h.submit(target.port, 1000ms, 1, nullptr, 3500ms);
    EXPECT_EQ(h.step(0ms), h.t0 + 1000ms);
    EXPECT_EQ(h.step(1000ms), h.t0 + 3500ms);
    h.step(3499ms);
    EXPECT_FALSE(h.results.count(id));
    h.step(3500ms);
    ASSERT_TRUE(h.results.count(id));
    EXPECT_EQ(h.results[id].status, Status::TimedOut);
    EXPECT_EQ(h.results[id].attempts, 2);
}

TEST(Engine, PacingHoldsInFlightAndRate) {
    Silent target;
    Harness h({.maxInFlight = 3, .requestsPerSecond = 100});
    for (int i = 0; i < 5; ++i) h.submit(target.port, 10000ms);
    Clock::time_point wake = h.step(0ms);
    EXPECT_EQ(target.sequences().size(), 1u);  // a burst of one token
    EXPECT_EQ(wake, h.t0 + 10ms);
    h.step(10ms);
    h.step(20ms);
    h.step(30ms);
    EXPECT_EQ(target.sequences().size(), 2u);  // then the in-flight limit: 3
    EXPECT_EQ(h.engine.pending(), 5u);
}

TEST(Engine, CallbacksMayCancelAndSubmit) {
    uint16_t closed;
    {
        Silent gone;
        closed = gone.port;
    }
    Silent target;
    Harness h;
    uint64_t silentId = h.submit(target.port, 10000ms);
    uint64_t refusedId = 0, later = 0;
    tagengine::Exchange x;
    x.host = "127.0.0.1";
    x.port = closed;
    x.request = getRequest();
    x.done = [&](tagengine::Result&& r) {
        h.results.emplace(r.id, std::move(r));
        EXPECT_TRUE(h.engine.cancel(silentId));
        later = h.submit(target.port, 10000ms);
    };
    refusedId = h.engine.submit(std::move(x), h.t0);
    h.until(refusedId, 0ms);
    h.until(silentId, 0ms);
    EXPECT_EQ(h.results[silentId].status, Status::Cancelled);
    EXPECT_FALSE(h.engine.cancel(silentId));
    EXPECT_EQ(h.engine.pending(), 1u);  // the one submitted from the callback
    EXPECT_NE(later, 0u);
}

// Told to stop, the engine sends nothing more: neither what waits for its
// turn nor a retry that falls due, while a reply still counts.
TEST(Engine, HeldSendingSendsNothingMoreButTakesReplies) {
    Silent device;
    UdpPeer answering;
    answering.answer({pause(50ms), send(segment(1, 0x80, {u32(5, 1)}))});
    Harness h({.requestsPerSecond = 10});  // one datagram each 100 ms
    uint64_t answered = h.submit(answering.port(), 1000ms);
    uint64_t retried = h.submit(device.port, 100ms, 3);
    uint64_t waiting = h.submit(device.port, 100ms, 3);
    h.step(0ms);
    h.step(100ms);  // the second one's first attempt
    h.engine.holdSending();
    for (int i = 0; i < 10 && !h.results.count(answered); ++i) h.step(150ms, 50ms);
    h.step(400ms);  // the retry and the third one would have gone by now
    answering.finish();
    EXPECT_EQ(device.sequences().size(), 1u);
    EXPECT_EQ(h.results[answered].status, Status::Answered);
    EXPECT_FALSE(h.results.count(retried));
    h.engine.cancelAll();
    h.step(500ms);
    EXPECT_EQ(h.results[retried].status, Status::Cancelled);
    EXPECT_EQ(h.results[waiting].status, Status::Cancelled);
    EXPECT_EQ(h.engine.pending(), 0u);
}

TEST(Engine, UnresolvableAndUnencodableEndAtTheNextProcess) {
    Harness h;
    tagengine::Exchange x;
    x.host = "no-such-host..invalid";  // an empty label: refused before any query is sent
    x.request = getRequest();
    x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
    uint64_t id = h.engine.submit(x, h.t0);
    auto big = std::make_shared<VMsg>(1);
    for (int i = 0; i < 600; ++i) big->addTag(none(5));
    x.host = "127.0.0.1";
    x.request = big;
    uint64_t bigId = h.engine.submit(x, h.t0);
    EXPECT_TRUE(h.results.empty());
    h.step(0ms);
    EXPECT_EQ(h.results[id].status, Status::Unresolvable);
    EXPECT_EQ(h.results[bigId].status, Status::SendFailed);
}

TEST(Engine, RequestsWithoutReplyAreSentOnce) {
    Silent target;
    Harness h;
    tagengine::Exchange x;
    x.host = "127.0.0.1";
    x.port = target.port;
    auto set = std::make_shared<VMsg>(0);
    set->addTag(u32(8, 1));
    x.request = set;
    x.retries = 5;
    x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
    uint64_t id = h.engine.submit(std::move(x), h.t0);
    h.step(0ms);
    h.step(60000ms);
    EXPECT_EQ(h.results[id].status, Status::Sent);
    EXPECT_EQ(target.sequences().size(), 1u);
}

TEST(Engine, LateSegmentedReplyToAnEarlierAttemptIsTakenWhole) {
    // Attempt 1 (sequence 0) is answered in two segments while attempt 2 is out.
    UdpPeer peer;
    peer.answer({pause(150ms), send(segment(1, 0x00, {u32(8, 1), u32(10, 2), u32(11, 3)})),
                 send(segment(1, 0x80, {u32(12, 4), u32(13, 5)}))});
    Harness h;
    uint64_t id = h.submit(peer.port(), 100ms, 3);
    h.step(0ms);
    h.step(100ms);
    h.until(id, 150ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::Answered);
    EXPECT_EQ(tagIds(h.results[id]), "8 10 11 12 13 ");
    EXPECT_EQ(h.results[id].attempts, 2);
}

// Each step, in order, with the attempt it belongs to: a segment of a late
// reply names the attempt it answers, not the latest.
TEST(Engine, AnObserverIsToldOfEveryStep) {
    UdpPeer peer;
    peer.answer({pause(150ms), send(segment(1, 0x00, {u32(8, 1)})), send(segment(1, 0x80, {u32(12, 4)}))});
    Harness h;
    std::vector<std::string> steps;
    auto observe = [&](const tagengine::Event& e) {
        using Kind = tagengine::Event::Kind;
        const char* kind = e.kind == Kind::Sent ? "sent" : e.kind == Kind::Segment ? "segment" : "timed out";
        steps.push_back(
            std::string(kind) + " " + std::to_string(e.attempt) + " seq " + std::to_string(e.sequence) + " " +
            std::to_string(e.bytes) + (e.last ? " last" : "") + " at " +
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(e.at - h.t0).count()));
    };
    uint64_t id = h.submit(peer.port(), 100ms, 3, observe);
    h.step(0ms);
    h.step(100ms);
    h.until(id, 150ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::Answered);
    EXPECT_EQ(steps, (std::vector<std::string>{"sent 1 seq 0 7 at 0", "timed out 1 seq 0 0 at 100",
                                               "sent 2 seq 1 7 at 100", "segment 1 seq 0 11 at 150",
                                               "segment 1 seq 0 11 last at 150"}));
}

TEST(Engine, SegmentsOfTwoAttemptsAreNeverMixed) {
    // A first segment for attempt 1, then a last one for attempt 2 (sequence 1):
    // attempt 2's reply is whole on its own; attempt 1's part stays out of it.
    UdpPeer peer;
    peer.answer({pause(150ms), send(segment(1, 0x00, {u32(8, 1)})), send(segment(1, 0x81, {u32(9, 2)}))});
    Harness h;
    uint64_t id = h.submit(peer.port(), 100ms, 3);
    h.step(0ms);
    h.step(100ms);
    h.until(id, 150ms);
    peer.finish();
    EXPECT_EQ(tagIds(h.results[id]), "9 ");
}

// A reply whole in one datagram comes as its bytes, exactly as sent, when
// asked for; one of several segments is still merged into a message.
TEST(Engine, ReplyInOneDatagramIsHandedAsItsBytesWhenAsked) {
    const Bytes answer = segment(1, 0x80, {u32(8, 0x01020304), none(9)});
    const Bytes error = segment(2, 0x80, {u32(2, 7)});
    const struct {
        const char* what;
        std::vector<PeerStep> script;
        Status status;
        Bytes datagram;    // expected; empty when a message is
        const char* tags;  // of the merged message
    } cases[] = {
        {"one segment", {send(answer)}, Status::Answered, answer, "no reply"},
        {"an error", {send(error)}, Status::ErrorReply, error, "no reply"},
        {"two segments",
         {send(segment(1, 0x00, {u32(8, 1)})), send(segment(1, 0x80, {u32(9, 2)}))},
         Status::Answered,
         {},
         "8 9 "},
    };
    for (const auto& c : cases) {
        UdpPeer peer;
        peer.answer(c.script);
        Harness h;
        h.replyAsDatagram = true;
        uint64_t id = h.submit(peer.port());
        h.until(id, 0ms);
        peer.finish();
        ASSERT_TRUE(h.results.count(id)) << c.what;
        const tagengine::Result& r = h.results[id];
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.replyDatagram, c.datagram) << c.what;
        EXPECT_EQ(tagIds(r), c.tags) << c.what;
        EXPECT_EQ(r.segments, c.script.size()) << c.what;
    }
}

// The room of a datagram handed back by its callback serves the next reply,
// which holds its own bytes only, never what a longer one left there.
TEST(Engine, ReplyDatagramsReusedHoldOnlyTheirOwnBytes) {
    const Bytes longer = segment(1, 0x80, {u32(8, 1), u32(9, 2), u32(10, 3), u32(11, 4)});
    const Bytes shorter = segment(1, 0x80, {u32(12, 5)});
    Harness h;
    std::vector<Bytes> seen;
    for (const Bytes& answer : {longer, shorter, longer}) {
        UdpPeer peer;
        peer.answer({send(answer)});
        tagengine::Exchange x;
        x.host = "127.0.0.1";
        x.port = peer.port();
        x.request = getRequest();
        x.replyAsDatagram = true;
        bool ended = false;
        // Read, not taken: the engine keeps the room.
        x.done = [&](tagengine::Result&& r) {
            seen.push_back(r.replyDatagram);
            ended = true;
        };
        h.engine.submit(std::move(x), h.t0);
        for (int i = 0; i < 100 && !ended; ++i) h.step(0ms, 50ms);
        peer.finish();
    }
    EXPECT_EQ(seen, (std::vector<Bytes>{longer, shorter, longer}));
}

TEST(Engine, IncompleteReplyAtTheEndIsATimeOut) {
    UdpPeer peer;
    peer.answer({send(segment(1, 0x00, {u32(8, 1)}))});
    Harness h;
    uint64_t id = h.submit(peer.port(), 100ms, 0);
    h.step(0ms);
    h.step(0ms, 200ms);
    h.step(100ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::TimedOut);
    EXPECT_EQ(h.results[id].segments, 1u);
    EXPECT_FALSE(h.results[id].reply);
}

TEST(Engine, OwnRequestReflectedIsNotAnAnswer) {
    // What a reflector on a mistyped port sends: the GET itself, sequence 0 and last.
    Bytes request = encode(*getRequest());
    request[2] = 0x80;
    UdpPeer peer;
    peer.answer({send(request)});
    Harness h;
    uint64_t id = h.submit(peer.port(), 100ms, 0);
    h.step(0ms);
    h.step(0ms, 200ms);
    h.step(100ms);
    peer.finish();
    EXPECT_EQ(h.results[id].status, Status::TimedOut);
    EXPECT_EQ(h.engine.stats().reflected, 1u);
}

TEST(Engine, RepliesAreBoundedByTheBytesTheyCarryAndHold) {
    std::string kib(1000, 'x');
    for (auto [perReply, held] : {std::pair<size_t, size_t>{20000, 64 << 20}, {1 << 20, 20000}}) {
        UdpPeer device;
        device.answer({send(segment(1, 0x00, {VTagFactory::createVTag(9, kib.c_str())}), 40)});
        Harness h({.maxReplyBytes = perReply, .maxHeldBytes = held});
        uint64_t id = h.submit(device.port(), 5000ms);
        h.until(id, 0ms);
        device.finish();
        EXPECT_EQ(h.results[id].status, Status::ReplyTooLong) << perReply << " " << held;
    }
}

// Verified writes against a scripted device. The SET of a round takes one
// sequence and its read-back the next: round 1 reads back as 1, round 2 as 3.
struct WriteCase {
    const char* name;
    std::vector<PeerStep> device;
    Status status;
    int rounds;
    size_t datagrams;  // the device received
    const char* mismatch;
};

VTag* text(uint8_t id, const char* s) { return VTagFactory::createVTag(id, s); }

std::string describe(const tagengine::Mismatch& m) {
    auto* wrote = dynamic_cast<const VTagString*>(m.wrote.get());
    auto* read = dynamic_cast<const VTagString*>(m.read.get());
    return std::to_string(m.wrote->tagId) + " " + std::string(wrote ? wrote->text() : "?") + " " +
           (m.read ? std::string(read ? read->text() : "?") : "absent") +
           (m.conflicting ? " (copies differ)" : "");
}

TEST(EngineWrite, EndsByWhatTheDeviceReadsBack) {
    std::vector<WriteCase> cases = {
        {"held at once", {send(segment(1, 0x81, {text(9, "a"), u32(8, 7)}))}, Status::Verified, 1, 2, ""},
        {"second round takes",
         {send(segment(1, 0x81, {text(9, "old"), u32(8, 7)})), pause(50ms),
          send(segment(1, 0x83, {text(9, "a")}))},
         Status::Verified,
         2,
         4,
         ""},
        {"kept its own value",
         {send(segment(1, 0x81, {text(9, "old"), u32(8, 7)})), pause(50ms),
          send(segment(1, 0x83, {text(9, "old")}))},
         Status::Mismatch,
         2,
         4,
         "9 a old"},
        {"answered without the tag",
         {send(segment(1, 0x81, {u32(8, 7)})), pause(50ms), send(segment(1, 0x83, {u32(8, 7)}))},
         Status::Mismatch,
         2,
         4,
         "9 a absent"},
        {"error reply", {send(segment(2, 0x81, {u32(1, 1)}))}, Status::ErrorReply, 1, 2, ""},
        // Round 1 read back another value; round 2's read-back is lost: what
        // round 1 read says nothing of the device after round 2's SET.
        {"last read-back lost",
         {send(segment(1, 0x81, {text(9, "old"), u32(8, 7)}))},
         Status::TimedOut,
         2,
         4,
         ""},
        // A reply naming the label twice, with two values, confirms neither,
        // whichever copy comes last; copies that agree are that value.
        {"copies differ",
         {send(segment(1, 0x81, {text(9, "old"), text(9, "a"), u32(8, 7)})), pause(50ms),
          send(segment(1, 0x83, {text(9, "a"), text(9, "old")}))},
         Status::Mismatch,
         2,
         4,
         "9 a old (copies differ)"},
        {"copies agree",
         {send(segment(1, 0x81, {text(9, "a"), u32(8, 7), text(9, "a")}))},
         Status::Verified,
         1,
         2,
         ""},
        {"never reads back", {}, Status::TimedOut, 2, 4, ""},
        // A reflector echoing a SET onto the read-back's sequence: the values
        // written, but nothing the device holds.
        {"own SET comes back",
         {send(segment(0, 0x81, {text(9, "a"), u32(8, 7)}))},
         Status::TimedOut,
         2,
         4,
         ""},
    };
    for (auto& c : cases) {
        UdpPeer device;
        device.answer(c.device);
        Harness h;
        tagengine::Exchange x;
        x.host = "127.0.0.1";
        x.port = device.port();
        auto set = std::make_shared<VMsg>(MSG_SET);
        set->addTag(text(9, "a"));
        set->addTag(u32(8, 7));
        x.request = set;
        x.attemptTimeout = 300ms;
        x.retries = 1;
        x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
        uint64_t id = h.engine.submitWrite(std::move(x), h.t0);
        h.step(0ms, 0ms);
        for (int i = 0; i < 20 && !h.results.count(id); ++i) h.step(i < 10 ? 0ms : 300ms, 30ms);
        h.step(1000ms, 100ms);
        std::vector<Bytes> seen = device.finish();
        for (Bytes& later : device.drain()) seen.push_back(std::move(later));
        ASSERT_TRUE(h.results.count(id)) << c.name;
        const auto& r = h.results[id];
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.attempts, c.rounds) << c.name;
        EXPECT_EQ(seen.size(), c.datagrams) << c.name;
        std::string named;
        for (const auto& m : r.mismatches) named += describe(m);
        EXPECT_EQ(named, c.mismatch) << c.name;
        EXPECT_TRUE(r.setSent) << c.name;
        // A lost last read-back leaves no earlier one to be taken for it.
        if (c.status == Status::TimedOut) {
            EXPECT_FALSE(r.reply) << c.name;
        }
        if (c.rounds == 2 && c.status != Status::TimedOut) {
            // Round 2 writes again only what did not read back as written.
            ASSERT_GE(seen.size(), 3u);
            std::unique_ptr<VMsg> again(VMsg::parseMsg(seen[2].data(), uint16_t(seen[2].size())));
            ASSERT_TRUE(again) << c.name;
            EXPECT_EQ(again->msgId, MSG_SET);
            EXPECT_EQ(again->tagCount(), 1u) << c.name;
        }
    }
}

struct DeadWriteCase {
    int retries;
    std::chrono::milliseconds budget;
    std::vector<std::chrono::milliseconds> wakes;  // after the steps at 0, then at each wake
    int rounds;
};

// A write to a device that never answers: each round's read-back waits the
// time-out (nothing sampled, doubling capped at it as tagpoll and tagconf
// cap it); the budget from the first SET ends it with rounds left, and the
// last round's read-back waits until the budget ends, not its turn.
TEST(EngineWrite, BudgetEndsRoundsToADeadDevice) {
    const DeadWriteCase cases[] = {
        {10, 2500ms, {1000ms, 2000ms, 2500ms}, 3},
        {1, 5000ms, {1000ms, 5000ms}, 2},
    };
    for (const DeadWriteCase& c : cases) {
        SCOPED_TRACE(c.retries);
        Silent device;
        tagengine::Options capped;
        capped.maxAttemptTimeout = 1000ms;
        Harness h(capped);
        uint64_t id = h.submitWrite(device.port, c.retries, 0ms, c.budget);
        std::chrono::milliseconds at = 0ms;
        for (auto wake : c.wakes) {
            EXPECT_EQ(h.settle(at), h.t0 + wake);
            if (wake == c.budget) break;
            at = wake;
        }
        EXPECT_FALSE(h.results.count(id));
        h.step(c.budget);
        ASSERT_TRUE(h.results.count(id));
        EXPECT_EQ(h.results[id].status, Status::TimedOut);
        EXPECT_EQ(h.results[id].attempts, c.rounds);
        EXPECT_TRUE(h.results[id].setSent);
        EXPECT_EQ(device.sequences().size(), size_t(2 * c.rounds));  // a SET and a GET per round
    }
}

// The deadline can come while a later round's SET still waits its turn:
// the device did answer, with other values, so that is what it ends as.
TEST(EngineWrite, DeadlineBeforeTheNextRoundIsSentEndsAsTheLastAnswer) {
    UdpPeer device;
    device.answer({pause(150ms), send(segment(1, 0x81, {text(9, "old")}))});
    Harness h({.requestsPerSecond = 10});  // one datagram each 100 ms
    tagengine::Exchange x;
    x.host = "127.0.0.1";
    x.port = device.port();
    auto set = std::make_shared<VMsg>(MSG_SET);
    set->addTag(text(9, "a"));
    x.request = set;
    x.attemptTimeout = 1000ms;
    x.retries = 3;
    x.deadline = h.t0 + 250ms;
    x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
    uint64_t id = h.engine.submitWrite(std::move(x), h.t0);
    h.step(0ms);    // the SET
    h.step(100ms);  // its read-back
    // The answer; round 2's SET then waits for the slot at 200 ms.
    for (int i = 0; i < 20 && h.engine.stats().received == 0; ++i) h.step(110ms, 50ms);
    h.step(250ms);
    device.finish();
    ASSERT_TRUE(h.results.count(id));
    const auto& r = h.results[id];
    EXPECT_EQ(r.status, Status::Mismatch);
    EXPECT_EQ(r.attempts, 2);
    ASSERT_EQ(r.mismatches.size(), 1u);
    EXPECT_EQ(describe(r.mismatches[0]), "9 a old");
}

TEST(EngineWrite, GroupTagIsRefusedBeforeAnythingIsSent) {
    Silent device;
    Harness h;
    tagengine::Exchange x;
    x.host = "127.0.0.1";
    x.port = device.port;
    auto set = std::make_shared<VMsg>(MSG_SET);
    set->addTag(none(5));
    x.request = set;
    x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
    uint64_t id = h.engine.submitWrite(std::move(x), h.t0);
    EXPECT_TRUE(h.results.empty());
    h.step(0ms);
    EXPECT_EQ(h.results[id].status, Status::SendFailed);
    EXPECT_EQ(h.results[id].detail, "TAG_DEV_CFG is a group tag: it can be read, not written");
    EXPECT_TRUE(device.sequences().empty());
}

TEST(EngineWrite, ValuesCompareByTheTagsKind) {
    struct Case {
        VTag* wrote;
        VTag* read;
        bool same;
    };
    float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Case> cases = {
        {u32(8, 1), VTagFactory::createVTag(8, uint8_t(1)), true},     // TAG_DEV_ID: width does not matter
        {u32(8, 256), VTagFactory::createVTag(8, uint8_t(0)), false},  // but the number does
        {u32(8, 1), text(8, "1"), false},                              // an integer sent as text is not it
        {text(9, "Rack"), text(9, "rack"), false},                     // texts byte for byte
        {text(9, "Rack"), new VTagString(9, "Rack\0", 5), false},
        {text(9, ""), text(9, nullptr), true},
        {VTagFactory::createVTag(50, 0.0f, false), VTagFactory::createVTag(50, -0.0f, true), false},  // bits
        {VTagFactory::createVTag(50, nan, false), VTagFactory::createVTag(50, nan, true), true},
        {VTagFactory::createVTag(50, 1.5f, false), VTagFactory::createVTag(50, 1.5f, true), true},
        {u32(8, 1), u32(10, 1), false},  // another tag
        // A value of another kind than the table's is never the one written:
        // a float's bits (type 6) for TAG_DEV_STATE (UInt8), TAG_DEV_ID (UInt32).
        {VTagFactory::createVTag(6, uint8_t(1)), new VTagUInt32(6, 1, VTAG_FLOAT), false},
        {u32(8, 0x3FC00000), VTagFactory::createVTag(8, 1.5f, false), false},
        {VTagFactory::createVTag(6, uint8_t(1)), VTagFactory::createVTag(6, uint16_t(1)), true},
        // A float tag (TAG_IO_GAIN) as any integer narrower than its 32 bits
        // is not a float; as a dictionary-typed type 2 it is.
        {VTagFactory::createVTag(50, 0.0f, false), VTagFactory::createVTag(50, uint8_t(0)), false},
        {VTagFactory::createVTag(50, 0.0f, false), VTagFactory::createVTag(50, uint16_t(0)), false},
        {VTagFactory::createVTag(50, 1.5f, true), new VTagUInt32(50, 0x3FC00000, VTAG_FLOAT), true},
        // A text tag whose class holds text but whose type code claims none.
        {text(9, ""), none(9), false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::unique_ptr<VTag> wrote(cases[i].wrote), read(cases[i].read);
        EXPECT_EQ(tagengine::sameValue(*wrote, *read), cases[i].same) << "case " << i;
    }
}

// The one rule for a tag a reply repeats, as plan and verification use it.
TEST(EngineWrite, RepeatedTagHoldsAValueOnlyWhenItsCopiesAgree) {
    struct Case {
        std::vector<VTag*> reply;
        const char* shown;  // the copy heldValue gives, or "absent"
        bool conflicting;
        bool holdsA;  // holdsValue(reply, TAG_DEV_LABEL "a")
    };
    std::vector<Case> cases = {
        {{text(9, "a")}, "a", false, true},
        {{text(9, "a"), u32(8, 1), text(9, "a")}, "a", false, true},
        {{text(9, "a"), text(9, "b")}, "b", true, false},
        {{text(9, "b"), text(9, "a")}, "a", true, false},
        {{text(9, "a"), text(9, "a"), text(9, "b")}, "b", true, false},
        {{u32(8, 1)}, "absent", false, false},
    };
    std::unique_ptr<VTag> a(text(9, "a"));
    for (size_t i = 0; i < cases.size(); ++i) {
        VMsg reply(MSG_GET);
        for (VTag* t : cases[i].reply) reply.addTag(t);
        tagengine::Held held = tagengine::heldValue(reply, 9);
        auto* shown = dynamic_cast<const VTagString*>(held.value);
        EXPECT_EQ(shown ? std::string(shown->text()) : "absent", cases[i].shown) << "case " << i;
        EXPECT_EQ(held.conflicting, cases[i].conflicting) << "case " << i;
        EXPECT_EQ(tagengine::holdsValue(reply, *a), cases[i].holdsA) << "case " << i;
    }
}

// Told to stop, a write says whether its SET had gone out: the device may
// hold what a cancelled write sent.
// A write under way goes on before what has not begun: its read-back (and
// later rounds) do not wait behind a queue of reads submitted before them.
TEST(EngineWrite, LaterRoundsGoBeforeExchangesNotYetBegun) {
    Silent device, other;
    Harness h({.maxInFlight = 1});
    tagengine::Exchange x;
    x.host = "127.0.0.1";
    x.port = device.port;
    auto set = std::make_shared<VMsg>(MSG_SET);
    set->addTag(u32(8, 1));
    x.request = set;
    x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
    h.engine.submitWrite(std::move(x), h.t0);
    uint64_t read = h.submit(other.port);
    h.step(0ms);
    letLoopbackDeliver();
    // The SET, then its read-back: the read submitted before it still waits.
    EXPECT_EQ(device.sequences(), (std::vector<uint8_t>{0x80, 0x81}));
    EXPECT_TRUE(other.sequences().empty());
    EXPECT_FALSE(h.results.count(read));
}

TEST(EngineWrite, CancelledWriteSaysWhetherItsSetWentOut) {
    Silent device;
    Harness h({.requestsPerSecond = 10});  // the second write's SET waits 100 ms
    uint64_t ids[2];
    for (uint64_t& id : ids) {
        tagengine::Exchange x;
        x.host = "127.0.0.1";
        x.port = device.port;
        auto set = std::make_shared<VMsg>(MSG_SET);
        set->addTag(text(9, "a"));
        x.request = set;
        x.done = [&](tagengine::Result&& r) { h.results.emplace(r.id, std::move(r)); };
        id = h.engine.submitWrite(std::move(x), h.t0);
    }
    h.step(0ms);
    h.engine.cancelAll();
    h.step(1ms);
    ASSERT_EQ(h.results.size(), 2u);
    EXPECT_EQ(h.results[ids[0]].status, Status::Cancelled);
    EXPECT_TRUE(h.results[ids[0]].setSent);
    EXPECT_EQ(h.results[ids[1]].status, Status::Cancelled);
    EXPECT_FALSE(h.results[ids[1]].setSent);
    EXPECT_EQ(device.sequences().size(), 1u);
}

// Literals of every form the system reads are one address; only names go to
// the resolver, and a NUL never cuts a host short.
TEST(ResolveHost, EveryNumericFormIsTheAddressItStandsFor) {
    struct Case {
        const char* host;
        const char* address;  // endpointText, or "" when refused
    };
    std::vector<Case> cases = {
        {"127.0.0.1", "127.0.0.1:4000"},
        {"127.1", "127.0.0.1:4000"},
        {"2130706433", "127.0.0.1:4000"},
        {"0x7f.0.0.1", "127.0.0.1:4000"},
        {"127.0.0.01", "127.0.0.1:4000"},
        {"::ffff:127.0.0.1", "127.0.0.1:4000"},
        {"::1", "[::1]:4000"},
        {"0:0:0:0:0:0:0:1", "[::1]:4000"},
        {"localhost", "127.0.0.1:4000"},
    };
    for (const Case& c : cases) {
        sockaddr_storage to;
        std::string why;
        bool found = tagengine::resolveHost(c.host, 4000, to, why);
        EXPECT_EQ(found ? tagengine::endpointText(to) : "", c.address) << c.host << " " << why;
    }
    sockaddr_storage to;
    std::string why;
    EXPECT_FALSE(tagengine::resolveHost(std::string("127.0.0.1\0.localhost", 19), 4000, to, why));
    EXPECT_EQ(why, "the host holds a NUL byte");
}

TEST(SequenceTable, IdleAddressesKeepCountingButTheTableStaysBounded) {
    tagengine::SequenceTable table;
    const tagengine::PeerKey one{0, 1, 0};
    ASSERT_EQ(table.allocate(one, 100), 0);
    table.release(one, 0);
    EXPECT_EQ(table.allocate(one, 101), 1) << "a small table remembers where an address's count stands";
    table.release(one, 1);
    for (uint64_t address = 2; address < 20000; ++address) {
        std::optional<uint8_t> s = table.allocate({0, address, 0}, address);
        ASSERT_TRUE(s);
        table.release({0, address, 0}, *s);
    }
    EXPECT_LE(table.addresses(), tagengine::SequenceTable::IDLE_ADDRESSES_KEPT + 1);
}

TEST(SequenceTable, AnAddressForgottenAndBackDoesNotStartAgainAtZero) {
    tagengine::SequenceTable table;
    constexpr uint64_t FULL = tagengine::SequenceTable::IDLE_ADDRESSES_KEPT + 1;
    for (uint64_t address = 1; address <= FULL; ++address) {
        ASSERT_EQ(table.allocate({0, address, 0}, address), 0);
        table.release({0, address, 0}, 0);
    }
    const tagengine::PeerKey back{0, 99999, 0};
    EXPECT_EQ(table.allocate(back, 1), 1);
    table.release(back, 1);  // forgotten: the table is full
    EXPECT_EQ(table.allocate(back, 2), 2) << "a late reply to sequence 1 must not match the next exchange";
}

// An IPv4 address and its IPv4-mapped IPv6 spelling never share a key with
// another family's address; each key holds address and port apart.
TEST(PeerKey, EachFamilyAddressAndPortHasItsOwnKey) {
    auto key = [](const char* text, uint16_t port) { return tagengine::peerKey(socketAddress(text, port)); };
    EXPECT_EQ(key("127.0.0.1", 60000), (tagengine::PeerKey{0, 0x0000FFFF7F000001ULL, 60000}));
    EXPECT_EQ(key("::1", 7), (tagengine::PeerKey{0, 1, 7}));
    EXPECT_EQ(key("::ffff:127.1.2.3", 7), (tagengine::PeerKey{0, 0x0000FFFF7F010203ULL, 7}));
    EXPECT_FALSE(key("::1", 60000) == key("127.0.0.1", 60000));
    EXPECT_FALSE(key("::1", 60000) == key("::1", 60001));
    EXPECT_FALSE(key("127.0.0.1", 60000) == key("127.0.0.2", 60000));
    EXPECT_FALSE(key("127.0.0.1", 60000) == key("127.0.0.1", 60001));
}

}  // namespace
