// The generated Wireshark dissector under the real tshark, over captures that
// text2pcap makes from datagrams built here: what it shows is held against
// what tagclient prints and what the decoder accepts for the same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "msg_request.h"
#include "run_program.h"

namespace {

using Bytes = std::vector<uint8_t>;
struct Frame {
    Bytes bytes;
    bool fromAgent = false;
    double seconds = 0;
};

// "01 0a ...": bytes written as text2pcap reads them.
Bytes hex(const std::string& text) {
    std::istringstream in(text);
    Bytes bytes;
    for (unsigned b; in >> std::hex >> b;) bytes.push_back(uint8_t(b));
    return bytes;
}
const Bytes EXAMPLE = hex("01 01 80 00 02 08 02 00 00 00 2a 09 01 00 06 52 61 63 6b 20 31");  // "Rack 1"

// The IP header text2pcap puts around each datagram: the family's option,
// the client's and the agent's addresses, and the header's size.
struct Family {
    const char* option;
    std::string client, agent;
    int headerSize;
};
const Family IPV4{"-4", "127.0.0.1", "127.0.0.2", 20};
const Family IPV6{"-6", "::ffff:127.0.0.1", "::ffff:127.0.0.2", 40};

// One row of tab-separated fields per frame. The frames go between
// client:40000 and agent:agentPort, and the capture keeps 1100 bytes of each
// datagram, as a snap length can.
std::vector<std::string> fields(const std::vector<Frame>& frames, const std::vector<std::string>& names,
                                int agentPort = 60000, bool twoPass = false, const Family& family = IPV4) {
    char name[] = "/tmp/test_dissector.XXXXXX";
    std::filesystem::path dir = mkdtemp(name);
    std::ofstream dump(dir / "dump.txt");
    for (const Frame& f : frames) {
        char text[40];
        snprintf(text, sizeof text, "%c 12:00:%09.6f\n000000", f.fromAgent ? 'O' : 'I', f.seconds);
        dump << text;
        for (uint8_t b : f.bytes) snprintf(text, sizeof text, " %02x", b), dump << text;
        dump << "\n\n";
    }
    dump.close();
    auto run = [](const char* program, const std::vector<std::string>& args) {
        RunResult r = runProgram(program, args);
        EXPECT_EQ(r.status, 0) << program << ": " << r.err;
        return r;
    };
    run(TEXT2PCAP_PATH,
        {"-q", "-D", "-t", "%H:%M:%S.%f", "-i", "17", family.option, family.client + "," + family.agent, "-u",
         "40000," + std::to_string(agentPort), dir / "dump.txt", dir / "all.pcap"});
    // Ethernet, IP and UDP headers before the datagram's 1100 bytes.
    run(EDITCAP_PATH,
        {"-s", std::to_string(14 + family.headerSize + 8 + 1100), dir / "all.pcap", dir / "cut.pcap"});
    std::vector<std::string> args{"-n",     "-r", dir / "cut.pcap", "-X", "lua_script:" DISSECTOR_PATH, "-T",
                                  "fields", "-E", "aggregator=|"};
    if (twoPass) args.push_back("-2");
    for (const std::string& field : names) args.insert(args.end(), {"-e", field});
    RunResult r = run(TSHARK_PATH, args);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Lua Error"), std::string::npos) << r.out;
    std::vector<std::string> rows;
    std::istringstream out(r.out);
    for (std::string row; std::getline(out, row);) rows.push_back(row);
    EXPECT_EQ(rows.size(), frames.size());
    return rows;
}

// The line tagclient prints for the datagram as a reply.
std::string clientLine(const Bytes& wire) {
    std::unique_ptr<VMsg> m(VMsg::parseMsg(wire.data(), uint16_t(wire.size())));
    char* text = nullptr;
    size_t size = 0;
    MsgRequest printer(MSG_GET);
    printer.out = open_memstream(&text, &size);
    printer.printMsg(m.get());
    fclose(printer.out);
    std::string line(text, size);
    free(text);
    return line;
}

// Messages of every type code, float tags sent as type 2 and 6 among them,
// ids with no name too.
Bytes randomMessage(std::mt19937& rng) {
    const std::string alphabet = "azAZ09 \t\"'=:,;{}()<>#%~";
    VMsg m(uint8_t(rng() % 6));
    m.sequence = uint8_t(rng());
    for (int n = int(rng() % 9); n > 0; --n) {
        uint8_t id = uint8_t(rng());
        std::string text(rng() % 40, ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        switch (rng() % 6) {
        case 0: m.addTag(VTagFactory::createVTag(id)); break;
        case 1: m.addTag(VTagFactory::createVTag(id, text.c_str())); break;
        case 2: m.addTag(VTagFactory::createVTag(id, uint32_t(rng()))); break;
        case 3: m.addTag(VTagFactory::createVTag(id, uint16_t(rng()))); break;
        case 4: m.addTag(VTagFactory::createVTag(id, uint8_t(rng()))); break;
        default: m.addTag(VTagFactory::createVTag(id, float(int(rng() % 20001) - 10000) / 8, rng() % 2 == 0));
        }
    }
    Bytes wire(1024);
    wire.resize(m.getMsg(wire.data(), uint16_t(wire.size())));
    return wire;
}

// The summary column ("GET seq=0 last: words") is the client's line with the
// sequence byte added.
std::string asClientLine(const std::string& info) {
    std::string words = info.substr(info.find(':') + 1);
    return info.substr(0, info.find(' ')) + ": " + (words.empty() ? "" : words.substr(1) + " ") + "\n";
}

TEST(Dissector, ShowsWhatTheClientPrints) {
    // NaN with a payload, -inf, negative NaN, the largest float, an unnamed id.
    std::vector<Frame> frames{{EXAMPLE},
                              {hex("01 05 03 00 05 31 02 7f c0 00 01 32 06 ff 80 00 00 33 06 ff c0 00 00 "
                                   "34 06 7f 7f ff ff c8 03 ea 60")}};
    std::vector<std::string> rows =
        fields(frames, {"tagproto.tag.name", "tagproto.tag.type", "tagproto.tag.value", "_ws.col.Info"});
    EXPECT_EQ(rows.at(0),
              "TAG_DEV_ID|TAG_DEV_LABEL\t2|1\t0000002A|Rack 1\t"
              "GET seq=0 last: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\"");
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(asClientLine(rows[i].substr(rows[i].rfind('\t') + 1)), clientLine(frames[i].bytes));
}

TEST(Dissector, FlagsEachWayTheDecoderRefusesBytes) {
    const std::string longer = "|Longer than the 1024-byte datagram limit",
                      cut = "Tag runs past the end of the datagram";
    const std::pair<const char*, std::string> cases[] = {
        {"01 01 80 00 01 05 00", ""},
        {"01 01 80 00", "Shorter than the 5-byte header"},
        {"02 01 80 00 01 05 00", "Format byte is not 1"},
        {"01 01 00 ff ff 05 00", "Tag count needs more bytes than the datagram holds"},
        {"01 01 00 00 01 08 05 00 00 00 00", "Unknown tag type code"},
        {"01 01 00 00 01 08 02 00 00", cut},
        {"01 01 00 00 01 09 01 00 0a 61 62", cut},
        {"01 01 00 00 02 08 04 07 05", cut},
        {"01 01 00 00 01 09 01 00 03 61 00 63", "String holds a 0x00 byte"},
        {"01 01 00 00 01 05 00 00", "Bytes left over after the counted tags"},
        {"01 01 80 00 01 09 01 04 43", longer.substr(1)},  // 1100 bytes
        // Longer than the capture keeps, not cut in itself: a string, and a
        // tag count that only the datagram's real length holds.
        {"01 01 80 00 01 09 01 04 a7", "Capture holds only part of the datagram" + longer},
        {"01 01 80 02 30", "Capture holds only part of the datagram" + longer},
    };
    std::vector<Frame> frames;
    for (const auto& c : cases) frames.push_back({hex(c.first)});
    frames[10].bytes.resize(1100, 'x');
    frames[11].bytes.resize(1200, 'x');
    for (int i = 0; i < 0x230; ++i) frames[12].bytes.insert(frames[12].bytes.end(), {0x05, 0x00});
    std::vector<std::string> rows = fields(frames, {"_ws.expert.message"});
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], cases[i].second) << cases[i].first;
}

// Whatever the bytes, no Lua error (fields() checks); an error flagged
// exactly when the decoder refuses them (after a 0x00 in a string the rest
// is still read, so a later fault is flagged too), and otherwise the
// client's line.
TEST(Dissector, AgreesWithTheDecoderOnRandomAndMutatedBytes) {
    std::mt19937 rng(1414);
    std::vector<Frame> frames;
    std::vector<size_t> asBuilt;  // frames left as libvmsg made them
    while (frames.size() < 3000) {
        Bytes wire = randomMessage(rng);
        switch (rng() % 5) {
        case 0: wire[rng() % wire.size()] ^= uint8_t(1 << rng() % 8); break;
        case 1: wire.resize(1 + rng() % (wire.size() + 1), uint8_t(rng())); break;
        case 2: wire[3 + rng() % 2] = uint8_t(rng() % 4); break;
        case 3: asBuilt.push_back(frames.size()); break;
        default:
            wire.resize(1 + rng() % 40);
            for (uint8_t& b : wire) b = uint8_t(rng() % 8 ? rng() % 8 : rng());
            wire[0] = 1;
        }
        frames.push_back({wire});
    }
    std::vector<std::string> rows =
        fields(frames, {"_ws.col.Protocol", "_ws.expert.severity", "_ws.col.Info"});
    size_t refused = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::unique_ptr<VMsg> m(VMsg::parseMsg(frames[i].bytes.data(), uint16_t(frames[i].bytes.size())));
        refused += !m;
        bool flagged = rows[i].find("8388608") != std::string::npos;  // severity error
        ASSERT_EQ(rows[i].substr(0, 9) + (flagged ? "refused" : ""), m ? "TAGPROTO\t" : "TAGPROTO\trefused")
            << "frame " << i + 1;
    }
    EXPECT_GT(refused, 1000u);
    EXPECT_LT(refused, 2000u);
    for (size_t i : asBuilt)
        EXPECT_EQ(asClientLine(rows[i].substr(10)), clientLine(frames[i].bytes)) << "frame " << i + 1;
}

TEST(Dissector, LinksRequestsAndTheirReplySegments) {
    const Bytes get = hex("01 01 85 00 01 08 00"), segment = hex("01 01 05 00 01 08 04 2a"),
                last = hex("01 01 85 00 01 08 04 2b"), refusal = hex("01 02 85 00 00"),
                other = hex("01 01 86 00 00");
    std::vector<Frame> frames{{get, false, 0},        {segment, true, 0.25}, {last, true, 0.5},
                              {last, true, 0.75},     {get, false, 1},       {other, true, 1.0625},
                              {refusal, true, 1.125}, {segment, false, 1.25}};
    EXPECT_EQ(fields(frames, {"tagproto.response_in", "tagproto.request_in", "tagproto.time"}, 60000, true),
              (std::vector<std::string>{"2|3\t\t", "\t1\t0.250000000", "\t1\t0.500000000", "\t\t", "7\t\t",
                                        "\t\t", "\t5\t0.125000000", "\t\t"}));
}

// A GET of two tags and its reply in two segments, carried over IPv4 and
// over IPv6: the same fields in each direction, the links between them too.
TEST(Dissector, ReadsAnExchangeAlikeOverIpv4AndIpv6) {
    const std::vector<Frame> frames{{hex("01 01 85 00 02 08 00 09 00"), false, 0},
                                    {hex("01 01 05 00 01 08 02 00 00 00 2a"), true, 0.25},
                                    {hex("01 01 85 00 01 09 01 00 06 52 61 63 6b 20 31"), true, 0.5}};
    const std::vector<std::string> names{"_ws.col.Source",      "_ws.col.Destination", "udp.dstport",
                                         "tagproto.msgid",      "tagproto.sequence",   "tagproto.last",
                                         "tagproto.tag.name",   "tagproto.tag.value",  "tagproto.response_in",
                                         "tagproto.request_in", "_ws.col.Info"};
    for (const Family& family : {IPV4, IPV6}) {
        const std::string toAgent = family.client + "\t" + family.agent + "\t60000\t1\t5\t",
                          toClient = family.agent + "\t" + family.client + "\t40000\t1\t5\t";
        EXPECT_EQ(
            fields(frames, names, 60000, true, family),
            (std::vector<std::string>{
                toAgent + "1\tTAG_DEV_ID|TAG_DEV_LABEL\t\t2|3\t\tGET seq=5 last: TAG_DEV_ID TAG_DEV_LABEL",
                toClient + "0\tTAG_DEV_ID\t0000002A\t\t1\tGET seq=5: TAG_DEV_ID=0000002A",
                toClient + "1\tTAG_DEV_LABEL\tRack 1\t\t1\tGET seq=5 last: TAG_DEV_LABEL=\"Rack 1\""}))
            << family.option;
    }
}

// Off its port, a datagram is taken only when its header and tags account
// for every byte; after one is, its endpoints stay with the dissector.
TEST(Dissector, HeuristicTakesWholeDatagramsThenTheConversation) {
    std::vector<Frame> frames{{hex("02 01 80 00 00")},
                              {hex("01 01 80 00 01 05 00 00")},
                              {hex("01 01 80 00 02 05 00")},
                              {hex("01 01 80 00 01 05 00"), true},
                              {hex("02 01 80 00 00")}};
    for (const Family& family : {IPV4, IPV6})
        EXPECT_EQ(fields(frames, {"_ws.col.Protocol"}, 50123, false, family),
                  (std::vector<std::string>{"UDP", "UDP", "UDP", "TAGPROTO", "TAGPROTO"}))
            << family.option;
}

}  // namespace
