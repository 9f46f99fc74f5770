// The split of a fleet into shards: a fixed hash, one key for every
// spelling of an address, and N shards that hold every target exactly once.
#include <gtest/gtest.h>

#include <map>

#include "shard.h"

namespace {

using tagpoll::Shard;
using tagpoll::Target;

TEST(Shard, ParsesIOfNAndRefusesEveryOtherForm) {
    const std::pair<const char*, std::pair<uint64_t, uint64_t>> good[] = {
        {"0/1", {0, 1}}, {"3/7", {3, 7}}, {"999999/1000000", {999999, 1000000}}};
    for (const auto& [text, expected] : good) {
        Shard s;
        std::string why;
        EXPECT_TRUE(tagpoll::parseShard(text, s, why)) << text << ": " << why;
        EXPECT_EQ(s.index, expected.first) << text;
        EXPECT_EQ(s.count, expected.second) << text;
    }
    const char* bad[] = {"",     "1",   "/",         "0/",    "/2",    "1/1",
                         "2/1",  "0/0", "-1/2",      "+0/2",  " 0/2",  "0/2 ",
                         "0/2x", "a/2", "0/1000001", "0/2/3", "0.5/2", "0/99999999999999999999"};
    for (const char* text : bad) {
        Shard s{1, 5};
        std::string why;
        EXPECT_FALSE(tagpoll::parseShard(text, s, why)) << text;
        EXPECT_EQ(s.count, 5u) << text << ": a bad form leaves the shard as it was";
        EXPECT_NE(why.find("bad --shard"), std::string::npos) << text;
    }
}

// Pinned: a change of the hash or of the key's bytes moves devices between
// the pollers of a running split, so it must show here first.
TEST(Shard, KnownTargetsHashAndSplitAsDocumented) {
    struct Case {
        Target target;
        uint64_t hash;
        uint64_t of2, of3, of7;
    };
    const Case cases[] = {
        {{"127.0.0.1", 60000}, 0x18f220a02b43d19dULL, 1, 1, 0},
        {{"127.0.0.2", 60000}, 0x23843ba031ca5118ULL, 0, 1, 4},
        {{"127.0.0.3", 60000}, 0x2dee8ea0382fdda7ULL, 1, 2, 2},
        {{"127.0.0.1", 60001}, 0x18f21fa02b43cfeaULL, 0, 0, 4},
        {{"::1", 60000}, 0xcb92051b316a9decULL, 0, 2, 3},
        {{"::ffff:127.0.0.4", 60000}, 0xf07271a0151eaffaULL, 0, 2, 3},
        {{"dev-1.localhost", 60000}, 0xb25f00b205a84da1ULL, 1, 1, 5},
        {{"dev-2.localhost", 60000}, 0x52a54a604ea6cde8ULL, 0, 0, 2},
    };
    for (const Case& c : cases) {
        std::string label = c.target.label();
        EXPECT_EQ(tagpoll::shardHash(c.target), c.hash) << label;
        for (auto [count, index] : {std::pair<uint64_t, uint64_t>{2, c.of2}, {3, c.of3}, {7, c.of7}}) {
            for (uint64_t i = 0; i < count; ++i)
                EXPECT_EQ(tagpoll::inShard(c.target, Shard{i, count}), i == index)
                    << label << " " << i << "/" << count;
        }
    }
}

TEST(Shard, EverySpellingOfOneDeviceHasOneKey) {
    const std::vector<std::vector<Target>> sameDevice = {
        {{"127.0.0.1", 7}, {"127.1", 7}, {"2130706433", 7}, {"0x7f.0.0.1", 7}, {"::ffff:127.0.0.1", 7}},
        {{"::1", 7}, {"0:0:0:0:0:0:0:1", 7}, {"0000::0001", 7}},
        {{"dev-1.localhost", 7}, {"DEV-1.LocalHost", 7}, {"dev-1.localhost.", 7}},
    };
    for (const auto& spellings : sameDevice)
        for (const Target& t : spellings)
            EXPECT_EQ(tagpoll::shardKey(t), tagpoll::shardKey(spellings.front())) << t.host;
    // The port, the family and a name that looks like an address's text
    // each tell keys apart.
    const Target different[] = {
        {"127.0.0.1", 8}, {"::7f00:1", 7}, {"127.0.0.1.localhost", 7}, {"dev-10.localhost", 7}};
    for (const Target& t : different)
        EXPECT_NE(tagpoll::shardKey(t), tagpoll::shardKey(Target{"127.0.0.1", 7})) << t.label();
    EXPECT_EQ(tagpoll::shardKey(Target{"127.0.0.1", 0x1234}), std::string("\x04\x7f\x00\x00\x01\x12\x34", 7));
}

TEST(Shard, NShardsHoldEveryTargetOfAFleetExactlyOnce) {
    std::vector<Target> fleet;
    for (int i = 1; i <= 600; ++i)
        fleet.push_back({"127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250), 60000});
    for (int i = 1; i <= 200; ++i) fleet.push_back({"::1", uint16_t(61000 + i)});
    for (int i = 1; i <= 200; ++i) fleet.push_back({"dev-" + std::to_string(i) + ".localhost", 60000});
    for (uint64_t count : {1, 2, 3, 7}) {
        std::map<std::string, int> seen;
        for (uint64_t index = 0; index < count; ++index) {
            std::vector<Target> part = tagpoll::shardTargets(fleet, Shard{index, count});
            // Near even: each shard within half of its share either way.
            EXPECT_GT(part.size(), fleet.size() / count / 2) << index << "/" << count;
            EXPECT_LT(part.size(), fleet.size() / count * 3 / 2 + 1) << index << "/" << count;
            for (const Target& t : part) ++seen[t.label()];
        }
        ASSERT_EQ(seen.size(), fleet.size()) << count;
        for (const auto& [label, times] : seen) EXPECT_EQ(times, 1) << label << " in " << count << " shards";
    }
    // In the fleet's order.
    std::vector<Target> first = tagpoll::shardTargets(fleet, Shard{0, 1});
    ASSERT_EQ(first.size(), fleet.size());
    EXPECT_EQ(first[700].label(), fleet[700].label());
}

}  // namespace
