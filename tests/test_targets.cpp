// The targets-file reader: what each line becomes, and the FILE:LINE
// reason that stops a run at the first bad line.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <sstream>

#include "targets.h"

namespace {

using tagpoll::TargetList;

struct Outcome {
    bool ok;
    std::string text;  // the labels joined by spaces, or the error
};

Outcome read(const std::string& file) {
    TargetList list(60000);
    std::istringstream in(file);
    if (!list.readStream(in, "fleet.txt")) return {false, list.error()};
    std::string labels;
    for (const auto& t : list.targets()) labels += (labels.empty() ? "" : " ") + t.label();
    return {true, labels};
}

TEST(Targets, GoodLinesBecomeTargets) {
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1\n", "127.0.0.1:60000"},
        {"  dev_1.localhost:61000  # rack 1\r\n", "dev_1.localhost:61000"},
        {"# only a comment\n\n   \n127.0.0.1:1\n127.0.0.1:65535", "127.0.0.1:1 127.0.0.1:65535"},
        {"127.1.2.0/30", "127.1.2.1:60000 127.1.2.2:60000"},
        {"127.1.2.7/31:5", "127.1.2.6:5 127.1.2.7:5"},
        {"127.1.2.9/32", "127.1.2.9:60000"},
        {"127.1.2.9/29",
         "127.1.2.9:60000 127.1.2.10:60000 127.1.2.11:60000 127.1.2.12:60000 127.1.2.13:60000 "
         "127.1.2.14:60000"},
        {"", ""},
    };
    for (const auto& [file, labels] : cases) {
        Outcome o = read(file);
        EXPECT_TRUE(o.ok) << file << ": " << o.text;
        EXPECT_EQ(o.text, labels) << file;
    }
}

TEST(Targets, Ipv6FormsBecomeTargetsInOneSpelling) {
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "[::1]:60000"},
        {"[::1]", "[::1]:60000"},
        {"[::1]:61000  # lab", "[::1]:61000"},
        {"0:0:0:0:0:0:0:1", "[::1]:60000"},
        {"::FFFF:7F00:2", "127.0.0.2:60000"},
        {"[::1]:1\n[::1]:65535", "[::1]:1 [::1]:65535"},
        // An IPv4-mapped address is the IPv4 device it stands for.
        {"::ffff:127.10.0.1", "127.10.0.1:60000"},
        {"[::ffff:127.10.0.1]:5", "127.10.0.1:5"},
        // A mapped range is an IPv6 block: its last address is no broadcast.
        {"::ffff:127.0.0.0/126", "127.0.0.1:60000 127.0.0.2:60000 127.0.0.3:60000"},
        {"::ffff:127.0.0.7/127:5", "127.0.0.6:5 127.0.0.7:5"},
        {"::1/128", "[::1]:60000"},
        {"[::ffff:127.0.1.0]/126:7", "127.0.1.1:7 127.0.1.2:7 127.0.1.3:7"},
    };
    for (const auto& [file, labels] : cases) {
        Outcome o = read(file);
        EXPECT_TRUE(o.ok) << file << ": " << o.text;
        EXPECT_EQ(o.text, labels) << file;
    }
}

// An address is read once, with the list, and kept for the engine as the
// address it sends to (a mapped one unmapped); a name is left to be looked
// up, as is a numeric form that is not an address's one spelling.
TEST(Targets, AnAddressIsKeptReadAndANameIsNot) {
    const struct {
        const char* line;
        std::string kept;  // the family and address kept; "" for none
    } cases[] = {
        {"127.0.0.1:7", "v4 127.0.0.1"},
        {"[::1]:8", "v6 ::1"},
        {"::ffff:127.0.0.2", "v4 127.0.0.2"},
        {"127.0.0.4/30:9", "v4 127.0.0.5"},
        {"[::1]/128:5", "v6 ::1"},
        {"localhost:7", ""},
        {"127.1:7", ""},
    };
    for (const auto& c : cases) {
        TargetList list(60000);
        ASSERT_TRUE(list.addEntry(c.line, "-", 1)) << c.line << ": " << list.error();
        const tagpoll::Target& t = list.targets().front();
        std::string kept;
        if (t.ip.family != 0) kept = (t.ip.family == AF_INET ? "v4 " : "v6 ") + tagaddress::ipText(t.ip);
        EXPECT_EQ(kept, c.kept) << c.line;
    }
}

TEST(Targets, FirstBadLineIsNamedWithItsReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1\n127.0.0.2:0\n", "fleet.txt:2: bad port \"0\" (1-65535)"},
        {"127.0.0.1:65536", "fleet.txt:1: bad port \"65536\" (1-65535)"},
        {"127.0.0.1:", "fleet.txt:1: bad port \"\" (1-65535)"},
        {"127.0.0.1:+5", "fleet.txt:1: bad port \"+5\" (1-65535)"},
        {"\n\n127.0.0.1 127.0.0.2", "fleet.txt:3: more than one target on a line"},
        {"::1:2:3:4:5:6:7:8:9",
         "fleet.txt:1: bad IPv6 address \"::1:2:3:4:5:6:7:8:9\" (a port goes after [ADDRESS]:)"},
        {"::1:60000x", "fleet.txt:1: bad IPv6 address \"::1:60000x\" (a port goes after [ADDRESS]:)"},
        {"[::1", "fleet.txt:1: bad target \"[::1\": no ']' after the IPv6 address"},
        {"[::1]:0", "fleet.txt:1: bad port \"0\" (1-65535)"},
        {"[::1]x", "fleet.txt:1: bad port \"x\" (1-65535)"},
        {"[127.0.0.1]:5", "fleet.txt:1: bad IPv6 address \"127.0.0.1\""},
        {"[host]", "fleet.txt:1: bad IPv6 address \"host\""},
        {"::ffff:127.0.0.0/111", "fleet.txt:1: range too wide: 131072 addresses, at most 65536 (/112)"},
        {"::ffff:127.0.0.0/104", "fleet.txt:1: range too wide: 16777216 addresses, at most 65536 (/112)"},
        {"::1/129", "fleet.txt:1: bad range \"::1/129\": prefix length must be 0-128"},
        {"::1/1280", "fleet.txt:1: bad range \"::1/1280\": prefix length must be 0-128"},
        {"::ffff:127.0.0.0/120:0", "fleet.txt:1: bad port \"0\" (1-65535)"},
        {"a;rm-rf:1", "fleet.txt:1: bad host name \"a;rm-rf\""},
        {"\x1b[2J:1", "fleet.txt:1: bad host name \"\\x1b[2J\""},
        {":80", "fleet.txt:1: bad host name \"\""},
        {"127.0.0.0/15", "fleet.txt:1: range too wide: 131072 addresses, at most 65536 (/16)"},
        {"127.0.0.0/33", "fleet.txt:1: bad range \"127.0.0.0/33\": prefix length must be 0-32"},
        {"127.0.0.0/", "fleet.txt:1: bad range \"127.0.0.0/\": prefix length must be 0-32"},
        {"host/24", "fleet.txt:1: bad range \"host/24\": not an IPv4 or IPv6 address before the '/'"},
        {"127.0.0.0/24:x", "fleet.txt:1: bad port \"x\" (1-65535)"},
    };
    for (const auto& [file, error] : cases) {
        Outcome o = read(file);
        EXPECT_FALSE(o.ok) << file;
        EXPECT_EQ(o.text, error) << file;
    }
    Outcome nul = read(std::string("127.0.0.1\0x\n", 11));
    EXPECT_EQ(nul.text, "fleet.txt:1: bad host name \"127.0.0.1\\x00x\"");
    EXPECT_FALSE(nul.ok);
    Outcome longLine = read(std::string(5000, 'a'));
    EXPECT_EQ(longLine.text, "fleet.txt:1: line longer than 4096 characters");
}

TEST(Targets, WidestRangeIsTakenWhole) {
    Outcome o = read("127.7.0.0/16\n");
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(std::count(o.text.begin(), o.text.end(), ' ') + 1, 65534);
    EXPECT_TRUE(o.text.starts_with("127.7.0.1:60000 "));
    EXPECT_TRUE(o.text.ends_with(" 127.7.255.254:60000"));
}

TEST(Targets, WidestIpv6RangeIsTakenWholeBarItsAnycastAddress) {
    Outcome o = read("::ffff:127.1.0.0/112\n");
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(std::count(o.text.begin(), o.text.end(), ' ') + 1, 65535);
    EXPECT_TRUE(o.text.starts_with("127.1.0.1:60000 "));
    EXPECT_TRUE(o.text.ends_with(" 127.1.255.255:60000"));
}

TEST(Targets, Ipv6SpellingsOfOneAddressAreOneTarget) {
    TargetList list(60000);
    std::istringstream in("::1\n[0:0::1]:60000\n::ffff:127.10.0.1\n127.10.0.1\n");
    ASSERT_TRUE(list.readStream(in, "f"));
    EXPECT_EQ(list.targets().size(), 2u);
    EXPECT_EQ(list.warnings(),
              (std::vector<std::string>{"f:2: [::1]:60000 duplicates f:1, polled once",
                                        "f:4: 127.10.0.1:60000 duplicates f:3, polled once"}));
    EXPECT_EQ(list.targets()[0].host, "::1");
}

TEST(Targets, DuplicatesArePolledOnceAndNoted) {
    TargetList list(60000);
    std::istringstream in("127.0.0.1\nHOST:1\n127.0.0.0/30\nhost:1\n");
    ASSERT_TRUE(list.readStream(in, "f"));
    EXPECT_EQ(list.targets().size(), 3u);
    EXPECT_EQ(list.warnings(), (std::vector<std::string>{"f:3: 127.0.0.1:60000 duplicates f:1, polled once",
                                                         "f:4: host:1 duplicates f:2, polled once"}));
    EXPECT_TRUE(list.addEntry("127.0.0.9", "--target", 1));
    EXPECT_FALSE(list.addEntry("127.0.0.9:x", "--target", 2));
    EXPECT_EQ(list.error(), "--target:2: bad port \"x\" (1-65535)");
}

// Each target by its index is where it was first named, as by its label: a
// duplicate line moves no target's place, a range names its line for all.
// Duplicates are found across the index's growth, whatever the case and
// wherever the first came from: a range named again, line by line, in
// another case, adds nothing; what differs only by port is not one.
TEST(Targets, DuplicatesAreFoundAmongManyTargets) {
    TargetList list(60000);
    std::string file = "127.9.0.0/22\nDEV-A:5\n";
    for (int i = 1; i < 1023; ++i)
        file += "127.9." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
    file += "dev-a:5\ndev-a:6\n127.9.3.254:1\n";
    std::istringstream in(file);
    ASSERT_TRUE(list.readStream(in, "f"));
    EXPECT_EQ(list.targets().size(), 1022u + 3u);
    ASSERT_EQ(list.warnings().size(), 1022u + 1u);
    EXPECT_EQ(list.warnings().front(), "f:3: 127.9.0.1:60000 duplicates f:1, polled once");
    EXPECT_EQ(list.warnings().back(), "f:1025: dev-a:5 duplicates f:2, polled once");
    EXPECT_EQ(list.whereOf(tagpoll::Target{"Dev-A", 5}), "f:2");
    EXPECT_EQ(list.whereOf(tagpoll::Target{"dev-a", 7}), "");
}

TEST(Targets, EachTargetIsWhereItWasFirstNamed) {
    TargetList list(60000);
    std::istringstream in("127.0.0.1\n# rack 2\nhost:1\n127.0.0.0/30\nHOST:1\n");
    ASSERT_TRUE(list.readStream(in, "f"));
    ASSERT_TRUE(list.addEntry("127.0.0.9", "--target", 1));
    const char* expected[] = {"f:1", "f:3", "f:4", "--target:1"};
    ASSERT_EQ(list.targets().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(list.whereAt(i), expected[i]) << i;
        EXPECT_EQ(list.whereOf(list.targets()[i]), expected[i]) << i;
    }
}

}  // namespace
