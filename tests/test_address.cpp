// The engine's one reader of address text: what each form becomes, the
// fault each refused text is named by, and the prefix arithmetic of blocks.
// Nothing here sends, and every address is a loopback one all the same.
#include <gtest/gtest.h>

#include <string>

#include "tagaddress.h"

namespace {

using tagaddress::Fault;
using tagaddress::Kind;
using tagaddress::Rules;

// The forms the tree's callers ask for.
constexpr Rules CALL{};  // the one-call API
constexpr Rules TARGETS{.ranges = true, .names = tagaddress::Names::Dns};
constexpr Rules LISTEN{.needPort = true, .portZero = true, .emptyHost = true};

std::string kindName(Kind kind) { return kind == Kind::Name ? "name" : kind == Kind::Ipv4 ? "v4" : "v6"; }

TEST(Address, EachAcceptedFormGivesItsParts) {
    struct Case {
        std::string text;
        Rules rules;
        std::string kind, host;
        int port, prefix;  // -1: none written
        bool bracketed;
    } cases[] = {
        {"127.10.0.1", CALL, "v4", "127.10.0.1", -1, -1, false},
        {"dev_1.localhost:61000", TARGETS, "name", "dev_1.localhost", 61000, -1, false},
        {"h:65535", CALL, "name", "h", 65535, -1, false},
        {"h:00080", CALL, "name", "h", 80, -1, false},
        {"[::1]:60001", CALL, "v6", "::1", 60001, -1, true},
        {"[::1]", CALL, "v6", "::1", -1, -1, true},
        {"::1", CALL, "v6", "::1", -1, -1, false},
        {"::ffff:127.10.0.1", TARGETS, "v6", "::ffff:127.10.0.1", -1, -1, false},
        {"127.1.2.0/30", TARGETS, "v4", "127.1.2.0", -1, 30, false},
        {"127.1.2.7/31:5", TARGETS, "v4", "127.1.2.7", 5, 31, false},
        {"::ffff:127.0.0.0/120:7", TARGETS, "v6", "::ffff:127.0.0.0", 7, 120, false},
        {"[::ffff:127.0.0.0]/112", TARGETS, "v6", "::ffff:127.0.0.0", -1, 112, true},
        {"127.0.0.0/8", TARGETS, "v4", "127.0.0.0", -1, 8, false},
        {"::1/128", TARGETS, "v6", "::1", -1, 128, false},
        {":9727", LISTEN, "name", "", 9727, -1, false},
        {"127.0.0.1:0", LISTEN, "v4", "127.0.0.1", 0, -1, false},
        {"[::1]:0", LISTEN, "v6", "::1", 0, -1, true},
        // Without ranges a '/' is part of a name; the one-call API takes any
        // name the resolver may know, bar control bytes.
        {"a/b", CALL, "name", "a/b", -1, -1, false},
        {"local host", CALL, "name", "local host", -1, -1, false},
        {std::string(253, 'a') + ":1", TARGETS, "name", std::string(253, 'a'), 1, -1, false},
    };
    for (const Case& c : cases) {
        tagaddress::Parsed p = tagaddress::parse(c.text, c.rules);
        ASSERT_EQ(p.fault, Fault::None) << c.text << ": " << p.part;
        EXPECT_EQ(kindName(p.kind), c.kind) << c.text;
        EXPECT_EQ(p.host, c.host) << c.text;
        EXPECT_EQ(p.port ? int(*p.port) : -1, c.port) << c.text;
        EXPECT_EQ(p.prefix ? int(*p.prefix) : -1, c.prefix) << c.text;
        EXPECT_EQ(p.bracketed, c.bracketed) << c.text;
        if (p.kind != Kind::Name) {
            EXPECT_EQ(tagaddress::ipText(p.ip), c.host) << c.text;
        }
    }
}

TEST(Address, EachRefusedFormIsNamedByItsFault) {
    struct Case {
        std::string text;
        Rules rules;
        Fault fault;
        std::string part;
    } cases[] = {
        {"", CALL, Fault::NoHost, ""},
        {":60000", CALL, Fault::NoHost, ""},
        {"[::1", CALL, Fault::NoCloseBracket, "[::1"},
        {"[::1]x", CALL, Fault::BadPort, "x"},
        {"[::1]:", CALL, Fault::BadPort, ""},
        {"h:0", CALL, Fault::BadPort, "0"},
        {"h:65536", CALL, Fault::BadPort, "65536"},
        {"h:+5", CALL, Fault::BadPort, "+5"},
        {"h:99999999999999999999", CALL, Fault::BadPort, "99999999999999999999"},
        // The port is read before the host: its fault is named first.
        {"a;b:0", TARGETS, Fault::BadPort, "0"},
        {"[127.0.0.1]:1", CALL, Fault::NotIpv6, "127.0.0.1"},
        {"[]:1", CALL, Fault::NotIpv6, ""},
        {"x::1", CALL, Fault::NotIpv6, "x::1"},
        {"::1:60000x", CALL, Fault::NotIpv6, "::1:60000x"},
        {std::string("[::1\0]:5", 8), CALL, Fault::NotIpv6, std::string("::1\0", 4)},
        {"127.0.0.0/33", TARGETS, Fault::BadPrefix, "33"},
        {"::1/129", TARGETS, Fault::BadPrefix, "129"},
        {"::1/1280", TARGETS, Fault::BadPrefix, "1280"},
        {"127.0.0.0/", TARGETS, Fault::BadPrefix, ""},
        {"127.0.0.0/+8", TARGETS, Fault::BadPrefix, "+8"},
        {"host/24", TARGETS, Fault::NotAddress, "host"},
        {"[::1/128", TARGETS, Fault::NotAddress, "[::1"},
        {"127.0.0.0/24:0", TARGETS, Fault::BadPort, "0"},
        {"a;b:1", TARGETS, Fault::BadName, "a;b"},
        {"a/b", TARGETS, Fault::NotAddress, "a"},
        {std::string(254, 'a'), TARGETS, Fault::BadName, std::string(254, 'a')},
        {"local\thost", CALL, Fault::BadName, "local\thost"},
        {"del\x7f", CALL, Fault::BadName, "del\x7f"},
        // A NUL would end the name the resolver reads.
        {std::string("127.0.0.1\0x", 11), CALL, Fault::BadName, std::string("127.0.0.1\0x", 11)},
        {"127.0.0.1", LISTEN, Fault::NoPort, "127.0.0.1"},
        {"::1:80", LISTEN, Fault::NoPort, "::1:80"},
        {"[::1]", LISTEN, Fault::NoPort, "[::1]"},
    };
    for (const Case& c : cases) {
        tagaddress::Parsed p = tagaddress::parse(c.text, c.rules);
        EXPECT_EQ(p.fault, c.fault) << c.text;
        EXPECT_EQ(p.part, c.part) << c.text;
    }
}

tagaddress::Ip ip(const char* text) {
    tagaddress::Ip address;
    EXPECT_TRUE(tagaddress::parseIp(text, address)) << text;
    return address;
}

TEST(Address, MaskingClearsOnlyTheBitsAfterThePrefix) {
    struct Case {
        const char* base;
        unsigned prefix;
        const char* masked;
    } cases[] = {
        {"127.1.2.7", 30, "127.1.2.4"},
        {"127.1.2.4", 30, "127.1.2.4"},
        {"127.1.2.7", 32, "127.1.2.7"},
        {"127.255.255.255", 8, "127.0.0.0"},
        {"127.255.1.1", 9, "127.128.0.0"},
        {"::ffff:127.0.0.255", 121, "::ffff:127.0.0.128"},
        {"::ffff:127.0.1.2", 112, "::ffff:127.0.0.0"},
        {"::ffff:127.255.1.1", 105, "::ffff:127.128.0.0"},
    };
    for (const Case& c : cases) {
        tagaddress::Network n{ip(c.base), c.prefix};
        EXPECT_EQ(tagaddress::ipText(tagaddress::masked(n).base), c.masked) << c.base << "/" << c.prefix;
        EXPECT_EQ(tagaddress::hostBitsClear(n), std::string(c.base) == c.masked) << c.base << "/" << c.prefix;
    }
}

TEST(Address, ABlockHoldsTheAddressesOfItsFamilyAndPrefix) {
    struct Case {
        const char* base;
        unsigned prefix;
        const char* address;
        bool held;
    } cases[] = {
        {"127.0.0.0", 8, "127.255.1.1", true},
        {"127.1.0.0", 16, "127.2.0.0", false},
        {"127.0.0.0", 8, "127.255.255.255", true},
        // A mapped block and a plain IPv4 address are of different families.
        {"::ffff:127.0.0.0", 104, "127.0.0.1", false},
        {"127.0.0.0", 8, "::ffff:127.0.0.1", false},
        {"127.0.0.0", 8, "::1", false},
        {"::ffff:127.0.0.0", 105, "::ffff:127.127.255.1", true},
        {"::ffff:127.0.0.0", 105, "::ffff:127.128.0.0", false},
        {"127.0.0.1", 32, "127.0.0.1", true},
        {"127.0.0.1", 32, "127.0.0.2", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tagaddress::contains({ip(c.base), c.prefix}, ip(c.address)), c.held)
            << c.base << "/" << c.prefix << " " << c.address;
}

TEST(Address, TheNthAddressCountsFromTheBlocksFirstWithCarries) {
    struct Case {
        const char* base;
        unsigned prefix;
        uint64_t index;
        const char* address;
    } cases[] = {
        {"127.1.2.7", 30, 1, "127.1.2.5"},
        {"127.0.0.0", 24, 255, "127.0.0.255"},
        {"127.0.0.200", 16, 256, "127.0.1.0"},
        {"127.0.0.0", 8, 0x1FF, "127.0.1.255"},
        {"127.0.0.0", 8, 0xFFFFFF, "127.255.255.255"},
        {"::ffff:127.0.0.0", 112, 65535, "::ffff:127.0.255.255"},
        {"::ffff:127.0.0.255", 120, 1, "::ffff:127.0.0.1"},
        {"::ffff:127.0.0.0", 104, 0x10001, "::ffff:127.1.0.1"},
        {"::ffff:127.0.0.0", 104, 0xFFFFFF, "::ffff:127.255.255.255"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tagaddress::ipText(tagaddress::nth({ip(c.base), c.prefix}, c.index)), c.address)
            << c.base << "/" << c.prefix << " #" << c.index;
}

}  // namespace
