// The engine's own indexes: what the exchanges' bookkeeping rests on.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "deadline_queue.h"
#include "engine_state.h"
#include "flat_map.h"
#include "inline_vector.h"
#include "resolve.h"

namespace {

using tagengine::Clock;
using tagengine::DeadlineQueue;

// Keys that share homes on purpose, so that erasing shifts entries back,
// some of them round the end of the table (16 slots at first).
struct FewHomes {
    size_t operator()(uint64_t key) const { return size_t(key % 4 + 13); }
};

TEST(FlatMap, EveryOtherKeyIsStillFoundAfterAnErase) {
    const std::vector<uint64_t> keys = {0, 4, 8, 3, 1, 5, 2, 7, 12};
    for (uint64_t erased : keys) {
        tagengine::FlatMap<uint64_t, int, FewHomes> map;
        for (uint64_t k : keys) *map.tryEmplace(k).first = int(k * 10);
        ASSERT_TRUE(map.erase(erased));
        EXPECT_FALSE(map.erase(erased));
        EXPECT_EQ(map.find(erased), nullptr) << erased;
        EXPECT_EQ(map.size(), keys.size() - 1);
        for (uint64_t k : keys) {
            if (k == erased) continue;
            const int* value = map.find(k);
            ASSERT_NE(value, nullptr) << "key " << k << " lost erasing " << erased;
            EXPECT_EQ(*value, int(k * 10));
        }
        EXPECT_FALSE(map.tryEmplace(4 == erased ? 8 : 4).second) << "a key still there is not new";
    }
}

TEST(FlatMap, GrowsKeepingEveryValue) {
    tagengine::FlatMap<uint64_t, uint64_t, std::hash<uint64_t>> map;
    for (uint64_t k = 1; k <= 1000; ++k) *map.tryEmplace(k).first = k + 7;
    for (uint64_t k = 1; k <= 1000; k += 2) map.erase(k);
    ASSERT_EQ(map.size(), 500u);
    for (uint64_t k = 2; k <= 1000; k += 2) ASSERT_EQ(*map.find(k), k + 7);
}

// Stale entries dropped by a compaction leave the current ones in order:
// soonest first, and at one time the lower id first.
TEST(DeadlineQueue, CompactionKeepsTheOrderOfWhatIsCurrent) {
    const Clock::time_point t0{};
    DeadlineQueue queue;
    // Ids 1..3000 at times 3000 - id ms rounded to tens: many ties.
    for (uint64_t id = 1; id <= 3000; ++id)
        queue.push({t0 + std::chrono::milliseconds((3000 - id) / 10 * 10), id, 1});
    // Only these are current; 1003 and 1007 are due at the same time.
    auto current = [](const DeadlineQueue::Entry& e) {
        return e.id % 1000 == 0 || e.id == 5 || e.id == 1003 || e.id == 1007;
    };
    queue.compactIfStale(6, current);
    ASSERT_EQ(queue.size(), 6u) << "a stale majority is dropped at once";
    std::vector<uint64_t> order;
    for (; !queue.empty(); queue.pop()) order.push_back(queue.top().id);
    EXPECT_EQ(order, (std::vector<uint64_t>{3000, 2000, 1003, 1007, 1000, 5}));

    DeadlineQueue few;
    for (uint64_t id = 1; id <= 100; ++id) few.push({t0, id, 1});
    few.compactIfStale(0, current);
    EXPECT_EQ(few.size(), 100u) << "stale entries within the slack wait for the top";
}

// Deadlines mostly in the order they fall due, some earlier, many at one
// time, pushes and pops interleaved, some dropped by a compaction: the queue
// gives them soonest first (at one time the lower id first), as a sorted
// list of the same entries does.
TEST(DeadlineQueue, GivesTheSoonestFirstHoweverTheyArePushed) {
    const Clock::time_point t0{};
    std::mt19937 rng(5);
    DeadlineQueue queue;
    std::set<std::pair<Clock::time_point, uint64_t>> expected;
    Clock::time_point latest = t0;
    uint64_t id = 0;
    int compactions = 0;
    for (int step = 0; step < 20000; ++step) {
        unsigned roll = rng() % 10;
        if (roll < 6 || expected.empty()) {
            // Mostly at or after the latest so far; now and then before it.
            auto at = roll == 0 ? latest - std::chrono::milliseconds(rng() % 50)
                                : latest + std::chrono::milliseconds(rng() % 3);
            latest = std::max(latest, at);
            queue.push({at, ++id, 1});
            expected.insert({at, id});
        } else if (roll == 9 && expected.size() > 3) {
            // The odd ids are stale: dropped at once, or skipped at the top.
            auto current = [](const DeadlineQueue::Entry& e) { return e.id % 2 == 0; };
            queue.compactIfStale(0, current);
            if (queue.size() < expected.size()) {
                std::erase_if(expected, [](const auto& e) { return e.second % 2 == 1; });
                ++compactions;
            }
            ASSERT_EQ(queue.size(), expected.size()) << "step " << step;
        } else {
            ASSERT_FALSE(queue.empty());
            ASSERT_EQ(queue.top().when, expected.begin()->first) << "step " << step;
            ASSERT_EQ(queue.top().id, expected.begin()->second) << "step " << step;
            queue.pop();
            expected.erase(expected.begin());
        }
    }
    EXPECT_EQ(queue.size(), expected.size());
    EXPECT_GT(compactions, 0);
}

TEST(InlineVector, KeepsOrderInPlaceAndPastIt) {
    tagengine::InlineVector<int, 2> v;
    for (int i = 1; i <= 5; ++i) v.push_back(i);
    v.erase(v.begin());
    v.erase(v.begin() + 2);
    EXPECT_EQ(std::vector<int>(v.begin(), v.end()), (std::vector<int>{2, 3, 5}));
    v.clear();
    v.push_back(9);
    v.push_back(8);
    v.erase(v.begin());
    EXPECT_EQ(std::vector<int>(v.begin(), v.end()), (std::vector<int>{8}));
}

// A slot reused for a new exchange never answers to the old one's id.
TEST(RecordTable, AReusedSlotAnswersOnlyToItsNewId) {
    tagengine::RecordTable records;
    tagengine::Record& first = records.add(1);
    first.bytes = {1, 2, 3};
    records.add(2);
    records.remove(1);
    tagengine::Record& third = records.add(3);
    EXPECT_EQ(&third, &first) << "the freed slot is reused";
    EXPECT_TRUE(third.bytes.empty()) << "reused as new";
    EXPECT_EQ(records.find(1), nullptr);
    EXPECT_EQ(records.find(3), &third);
    ASSERT_NE(records.find(2), nullptr);
    EXPECT_EQ(records.find(2)->id, 2u);
    EXPECT_EQ(records.size(), 2u);
}

// The quick reading of an IPv4 literal takes exactly what inet_pton takes.
TEST(DottedQuad, TakesWhatInetPtonTakes) {
    const std::vector<std::string> hosts = {
        "127.0.0.1",
        "127.0.0.0",
        "127.255.255.255",
        "127.20.30.40",
        "127.2.3.4",
        "127.256.0.1",
        "127.2.3.256",
        "0127.2.3.4",
        "127.2.3.04",
        "127.2.3.0",
        "127.2.3",
        "127.2.3.4.5",
        "127..2.3",
        ".127.2.3",
        "127.2.3.4.",
        "127.2.3.4 ",
        " 127.2.3.4",
        "127.2.3.a",
        "1127.0.0.1",
        "0x7f.0.0.1",
        "2130706433",
        "",
        "::1",
        "127.2.3.4\n",
        "999999999999.1.1.1",
    };
    for (const std::string& host : hosts) {
        in_addr quick{}, system{};
        bool taken = tagengine::dottedQuad(host, quick);
        ASSERT_EQ(taken, inet_pton(AF_INET, host.c_str(), &system) == 1) << host;
        if (taken) {
            EXPECT_EQ(quick.s_addr, system.s_addr) << host;
        }
    }
}

}  // namespace
