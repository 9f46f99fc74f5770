// The engine's datagrams by batches: a refusal, a truncated datagram, a full
// socket or a refused send in the middle of a batch, each against real
// loopback sockets. sendmmsg is this binary's own, so that a test can make
// the kernel take part of a batch, or refuse it, when it wants.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

#include "bound_socket.h"
#include "tagengine.h"
#include "udp_endpoint.h"

namespace {

// One sendmmsg call's fate: with error 0, the first count messages go to the
// kernel (fewer if it takes fewer); else the call fails with error.
struct Fate {
    unsigned count;
    int error;
};
std::deque<Fate> fates;
// The destination ports of every datagram the kernel took, in order.
std::vector<uint16_t> sentTo;

}  // namespace

extern "C" int sendmmsg(int fd, mmsghdr* messages, unsigned count, int flags) {
    using Real = int (*)(int, mmsghdr*, unsigned, int);
    static auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "sendmmsg"));
    if (!fates.empty()) {
        Fate f = fates.front();
        fates.pop_front();
        if (f.error) {
            errno = f.error;
            return -1;
        }
        count = std::min(count, f.count);
    }
    int n = real(fd, messages, count, flags);
    for (int i = 0; i < n; ++i)
        sentTo.push_back(ntohs(static_cast<sockaddr_in*>(messages[i].msg_hdr.msg_name)->sin_port));
    return n;
}

namespace {

using namespace std::chrono_literals;
using tagengine::UdpEndpoint;

sockaddr_storage loopback(uint16_t port) {
    sockaddr_storage s{};
    auto* a = reinterpret_cast<sockaddr_in*>(&s);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return s;
}

uint16_t portOf(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A port with nothing behind it: bound, then closed.
uint16_t closedPort() {
    BoundSocket gone;
    return gone.port;
}

std::vector<std::vector<uint8_t>> drain(int fd) {
    std::vector<std::vector<uint8_t>> got;
    uint8_t buffer[2048];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) break;
        got.emplace_back(buffer, buffer + n);
    }
    return got;
}

TEST(UdpBatch, ARefusedPortMidBatchStopsNeitherTheBatchNorItsReport) {
    fates.clear();
    UdpEndpoint endpoint(AF_INET, 1 << 20);
    BoundSocket live;
    sockaddr_storage to = loopback(live.port), refused = loopback(closedPort());
    std::vector<uint8_t> a{1}, b{2, 2}, c{3}, d{4};
    std::vector<UdpEndpoint::Outgoing> batch{{a, &to}, {b, &refused}, {c, &to}, {d, &to}};
    UdpEndpoint::SendOutcome outcome;
    int error = 0;
    EXPECT_EQ(endpoint.sendBatch(batch, outcome, error), 4u);
    EXPECT_EQ(outcome, UdpEndpoint::SendOutcome::Sent);
    EXPECT_EQ(drain(live.fd), (std::vector<std::vector<uint8_t>>{a, c, d}));
    std::vector<std::vector<uint8_t>> refusals;
    pollfd p{endpoint.fd(), POLLIN, 0};
    poll(&p, 1, 1000);
    endpoint.receiveErrors([&](const UdpEndpoint::Refusal& r) {
        EXPECT_EQ(memcmp(&r.to, &refused, sizeof(sockaddr_in)), 0);
        refusals.emplace_back(r.request.begin(), r.request.end());
    });
    EXPECT_EQ(refusals, (std::vector<std::vector<uint8_t>>{b}));
    // Reading goes on after the refusal as before it.
    BoundSocket other;
    sockaddr_storage self = loopback(portOf(endpoint.fd()));
    sendto(other.fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof(sockaddr_in));
    poll(&p, 1, 1000);
    EXPECT_EQ(endpoint.receive(256, [](const UdpEndpoint::Datagram&) {}), 1u);
}

TEST(UdpBatch, ATruncatedDatagramInsideABatchIsMarkedAloneAndTheBatchBoundsHold) {
    UdpEndpoint endpoint(AF_INET, 1 << 20);
    BoundSocket sender;
    sockaddr_storage to = loopback(portOf(endpoint.fd()));
    // Lengths around the protocol's 1024-byte bound, then enough short ones
    // to need more than one batch.
    std::vector<size_t> lengths{7, 1024, 1025, 1100, 7};
    for (int i = 0; i < 95; ++i) lengths.push_back(3);
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::vector<uint8_t> d(lengths[i], uint8_t(i));
        sendto(sender.fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(sockaddr_in));
    }
    struct Seen {
        size_t kept;
        bool truncated;
        uint8_t first;
    };
    std::vector<Seen> seen;
    auto take = [&](const UdpEndpoint::Datagram& d) {
        EXPECT_EQ(reinterpret_cast<const sockaddr_in&>(d.from).sin_port, htons(sender.port));
        seen.push_back({d.bytes.size(), d.truncated, d.bytes[0]});
    };
    pollfd p{endpoint.fd(), POLLIN, 0};
    poll(&p, 1, 1000);
    EXPECT_EQ(endpoint.receive(70, take), 70u);
    ASSERT_EQ(seen.size(), 70u);
    const Seen expected[] = {
        {7, false, 0}, {1024, false, 1}, {1025, true, 2}, {1025, true, 3}, {7, false, 4}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(seen[i].kept, expected[i].kept) << i;
        EXPECT_EQ(seen[i].truncated, expected[i].truncated) << i;
        EXPECT_EQ(seen[i].first, expected[i].first) << i;
    }
    EXPECT_EQ(endpoint.receive(256, take), 30u);
    ASSERT_EQ(seen.size(), 100u);
    for (size_t i = 5; i < 100; ++i) EXPECT_EQ(seen[i].first, uint8_t(i)) << i;
    EXPECT_EQ(endpoint.receive(256, take), 0u);
}

// Three exchanges to three silent sockets, the first process() meeting the
// fates given: which datagrams went out, in which calls, and how each ended.
struct EngineCase {
    const char* name;
    std::vector<Fate> fates;
    size_t sentFirst;      // datagrams out after the first process()
    bool secondFailed;     // the second exchange ended as SendFailed
    uint64_t sendRetried;  // sends put off by a full socket
};

TEST(UdpBatch, AFullSocketOrARefusedSendMidBatchKeepsEveryOtherExchangeInOrder) {
    const EngineCase cases[] = {
        // process() sends twice (before and after the callbacks): full both times.
        {"part taken, then full", {{1, 0}, {0, EAGAIN}, {0, EAGAIN}}, 1, false, 2},
        {"part taken, then ENOBUFS", {{2, 0}, {0, ENOBUFS}, {0, ENOBUFS}}, 2, false, 2},
        {"part taken, then refused", {{1, 0}, {0, EPERM}}, 2, true, 0},
        {"interrupted, then taken", {{0, EINTR}}, 3, false, 0},
    };
    for (const EngineCase& c : cases) {
        tagengine::Engine engine;
        BoundSocket peers[3];
        std::vector<tagengine::Result> results;
        auto t0 = tagengine::Clock::now();
        for (BoundSocket& peer : peers) {
            tagengine::Exchange x;
            x.target = std::to_string(peer.port);
            x.host = "127.0.0.1";
            x.port = peer.port;
            auto get = std::make_shared<VMsg>(1);
            get->addTag(VTagFactory::createVTag(5));
            x.request = get;
            x.retries = 0;
            x.done = [&](tagengine::Result&& r) { results.push_back(std::move(r)); };
            engine.submit(std::move(x), t0);
        }
        fates.assign(c.fates.begin(), c.fates.end());
        sentTo.clear();
        engine.process({}, t0);
        EXPECT_EQ(sentTo.size(), c.sentFirst) << c.name;
        EXPECT_EQ(engine.stats().sendRetried, c.sendRetried) << c.name;
        engine.process({}, t0 + 2ms);
        std::vector<uint16_t> order{peers[0].port, peers[2].port};
        if (!c.secondFailed) order.insert(order.begin() + 1, peers[1].port);
        EXPECT_EQ(sentTo, order) << c.name;
        EXPECT_EQ(engine.stats().sent, order.size()) << c.name;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(drain(peers[i].fd).size(), i == 1 && c.secondFailed ? 0u : 1u) << c.name << " " << i;
        ASSERT_EQ(results.size(), c.secondFailed ? 1u : 0u) << c.name;
        if (c.secondFailed) {
            EXPECT_EQ(results[0].target, std::to_string(peers[1].port)) << c.name;
            EXPECT_EQ(results[0].status, tagengine::Status::SendFailed) << c.name;
            EXPECT_EQ(results[0].detail, strerror(EPERM)) << c.name;
        }
        engine.cancelAll();
        engine.process({}, t0 + 3ms);
        fates.clear();
    }
}

}  // namespace
