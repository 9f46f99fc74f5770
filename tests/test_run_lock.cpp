// apply's lock: which bytes of the lock file stand for which targets, and a
// run holding some of them seen from another process. No datagram is sent.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_lock.h"
#include "temp_dir.h"

namespace {

using tagconf::lockRanges;
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

sockaddr_storage v4(uint32_t address, uint16_t port) {
    sockaddr_storage s{};
    auto& a = reinterpret_cast<sockaddr_in&>(s);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return s;
}

sockaddr_storage v6(const char* text, uint16_t port) {
    sockaddr_storage s{};
    auto& a = reinterpret_cast<sockaddr_in6&>(s);
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    a.sin6_port = htons(port);
    return s;
}

constexpr uint32_t LOOPBACK = 0x7F000001;  // 127.0.0.1
constexpr uint64_t PORT_60000 = uint64_t(60000) << 32;

TEST(RunLock, ConsecutiveAddressesOnOnePortAreOneRange) {
    struct Case {
        const char* name;
        std::vector<sockaddr_storage> addresses;
        Ranges ranges;
    };
    std::vector<sockaddr_storage> fleet, reversed;
    for (uint32_t i = 0; i < 300; ++i) fleet.push_back(v4(LOOPBACK + i, 60000));
    reversed.assign(fleet.rbegin(), fleet.rend());
    std::vector<Case> cases = {
        {"a fleet", fleet, {{PORT_60000 | LOOPBACK, PORT_60000 | (LOOPBACK + 299)}}},
        {"in any order, named twice", reversed, {{PORT_60000 | LOOPBACK, PORT_60000 | (LOOPBACK + 299)}}},
        {"two ports of one address",
         {v4(LOOPBACK, 60001), v4(LOOPBACK, 60000)},
         {{PORT_60000 | LOOPBACK, PORT_60000 | LOOPBACK},
          {(uint64_t(60001) << 32) | LOOPBACK, (uint64_t(60001) << 32) | LOOPBACK}}},
        {"a gap",
         {v4(LOOPBACK, 60000), v4(LOOPBACK + 2, 60000)},
         {{PORT_60000 | LOOPBACK, PORT_60000 | LOOPBACK},
          {PORT_60000 | (LOOPBACK + 2), PORT_60000 | (LOOPBACK + 2)}}},
        {"unresolved hosts take none", {sockaddr_storage{}}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(lockRanges(c.addresses), c.ranges) << c.name;
    fleet.push_back(fleet.front());
    EXPECT_EQ(lockRanges(fleet).size(), 1u);
}

TEST(RunLock, Ipv6TargetsLieApartFromEveryIpv4One) {
    Ranges one = lockRanges({v6("::1", 60000)}), other = lockRanges({v6("::1", 60001)});
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_GE(one[0].first, uint64_t(1) << 48);
    EXPECT_LT(one[0].first, (uint64_t(1) << 48) + (uint64_t(1) << 40));
    EXPECT_NE(one, other);
}

// Many scattered targets: at most MAX_LOCK_RANGES ranges, still covering
// every target, ascending and apart.
TEST(RunLock, ScatteredTargetsAreCoarsenedButAllCovered) {
    std::vector<sockaddr_storage> scattered;
    for (uint32_t i = 0; i < 3000; ++i) scattered.push_back(v4(LOOPBACK + i * 2 + (i % 7) * 10000, 60000));
    Ranges ranges = lockRanges(scattered);
    EXPECT_EQ(ranges.size(), tagconf::MAX_LOCK_RANGES);
    for (size_t i = 1; i < ranges.size(); ++i) EXPECT_GT(ranges[i].first, ranges[i - 1].second + 1);
    for (const sockaddr_storage& a : scattered) {
        uint64_t key = PORT_60000 | ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr);
        auto in = std::find_if(ranges.begin(), ranges.end(),
                               [&](const auto& r) { return r.first <= key && key <= r.second; });
        EXPECT_NE(in, ranges.end()) << key;
    }
}

// A child process holds the first fleet; this one then waits in vain for an
// overlapping fleet, naming the child, and takes a disjoint one at once.
TEST(RunLock, OverlappingTargetsWaitAndNameTheHolderDisjointOnesDoNot) {
    TempDir dir;
    std::string path = dir.path + "/tagconf.lock";
    std::vector<sockaddr_storage> held{v4(LOOPBACK, 60000), v4(LOOPBACK + 1, 60000)};
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    if (child == 0) {
        tagconf::RunLock lock;
        std::string why;
        char c = lock.take(path, held, 0, -1, why) == tagconf::RunLock::Outcome::Taken ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    std::string why;
    tagconf::RunLock overlapping;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(overlapping.take(path, {v4(LOOPBACK + 1, 60000), v4(LOOPBACK + 5, 60000)}, 0.3, -1, why),
              tagconf::RunLock::Outcome::Held);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_TRUE(why.starts_with("pid " + std::to_string(child) + " (")) << why;

    tagconf::RunLock disjoint;
    EXPECT_EQ(disjoint.take(path, {v4(LOOPBACK + 2, 60000), v4(LOOPBACK, 60001)}, 0, -1, why),
              tagconf::RunLock::Outcome::Taken)
        << why;

    // Once the holder is gone, the overlapping fleet is taken.
    (void)!write(done[1], "x", 1);
    waitpid(child, nullptr, 0);
    tagconf::RunLock after;
    EXPECT_EQ(after.take(path, {v4(LOOPBACK + 1, 60000)}, 0, -1, why), tagconf::RunLock::Outcome::Taken)
        << why;
}

TEST(RunLock, ALockFileThatIsNoRegularFileIsRefused) {
    TempDir dir;
    std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string why;
    tagconf::RunLock lock;
    EXPECT_EQ(lock.take(fifo, {v4(LOOPBACK, 60000)}, 0, -1, why), tagconf::RunLock::Outcome::Failed);
    EXPECT_EQ(why, "lock file " + fifo + " is not a regular file");
}

}  // namespace
