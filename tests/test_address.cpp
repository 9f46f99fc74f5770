// The engine's one reader of address text: what each form becomes, the
// fault each refused text is named by, and the prefix arithmetic of blocks.
// Nothing here sends; documentation ranges are only parsed.
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
        {"10.0.0.1", CALL, "v4", "10.0.0.1", -1, -1, false},
        {"dev-1.example_net:61000", TARGETS, "name", "dev-1.example_net", 61000, -1, false},
        {"h:65535", CALL, "name", "h", 65535, -1, false},
        {"h:00080", CALL, "name", "h", 80, -1, false},
        {"[2001:db8::1]:60001", CALL, "v6", "2001:db8::1", 60001, -1, true},
        {"[::1]", CALL, "v6", "::1", -1, -1, true},
        {"fe80::1", CALL, "v6", "fe80::1", -1, -1, false},
        {"::ffff:10.0.0.1", TARGETS, "v6", "::ffff:10.0.0.1", -1, -1, false},
        {"10.1.2.0/30", TARGETS, "v4", "10.1.2.0", -1, 30, false},
        {"10.1.2.7/31:5", TARGETS, "v4", "10.1.2.7", 5, 31, false},
        {"fd00::/120:7", TARGETS, "v6", "fd00::", 7, 120, false},
        {"[fd00::]/112", TARGETS, "v6", "fd00::", -1, 112, true},
        {"0.0.0.0/0", TARGETS, "v4", "0.0.0.0", -1, 0, false},
        {"::/128", TARGETS, "v6", "::", -1, 128, false},
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
        {"10.0.0.0/33", TARGETS, Fault::BadPrefix, "33"},
        {"fd00::/129", TARGETS, Fault::BadPrefix, "129"},
        {"fd00::/1280", TARGETS, Fault::BadPrefix, "1280"},
        {"10.0.0.0/", TARGETS, Fault::BadPrefix, ""},
        {"10.0.0.0/+8", TARGETS, Fault::BadPrefix, "+8"},
        {"host/24", TARGETS, Fault::NotAddress, "host"},
        {"[fd00::/120", TARGETS, Fault::NotAddress, "[fd00::"},
        {"10.0.0.0/24:0", TARGETS, Fault::BadPort, "0"},
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
        {"10.1.2.7", 30, "10.1.2.4"},    {"10.1.2.4", 30, "10.1.2.4"},
        {"10.1.2.7", 32, "10.1.2.7"},    {"255.255.255.255", 0, "0.0.0.0"},
        {"10.255.1.1", 9, "10.128.0.0"}, {"2001:db8::ff", 121, "2001:db8::80"},
        {"fd00::1:2", 112, "fd00::1:0"}, {"ffff::1", 1, "8000::"},
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
        {"10.0.0.0", 8, "10.255.1.1", true},
        {"10.0.0.0", 8, "11.0.0.0", false},
        {"0.0.0.0", 0, "255.255.255.255", true},
        {"::", 0, "10.0.0.1", false},
        {"0.0.0.0", 0, "::", false},
        {"2001:db8::", 33, "2001:db8:7fff::1", true},
        {"2001:db8::", 33, "2001:db8:8000::", false},
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
        {"10.1.2.7", 30, 1, "10.1.2.5"},
        {"10.0.0.0", 24, 255, "10.0.0.255"},
        {"10.0.0.200", 16, 256, "10.0.1.0"},
        {"10.0.0.0", 8, 0x1FF, "10.0.1.255"},
        {"10.0.0.0", 8, 0xFFFFFF, "10.255.255.255"},
        {"fd00::", 112, 65535, "fd00::ffff"},
        {"fd00::ff", 120, 1, "fd00::1"},
        {"fd00::", 64, 0x100000001, "fd00::1:0:1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tagaddress::ipText(tagaddress::nth({ip(c.base), c.prefix}, c.index)), c.address)
            << c.base << "/" << c.prefix << " #" << c.index;
}

}  // namespace
