// The generated Wireshark dissector under the real tshark, over captures that
// text2pcap makes from datagrams built here: what it shows is held against
// what tagclient prints and what the decoder accepts for the same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>

#include "msg_request.h"
#include "run_program.h"

namespace {

using Bytes = std::vector<uint8_t>;
struct Frame {
    Bytes bytes;
    bool fromAgent = false;
    double seconds = 0;
};
// The worked example of the wire format page.
const Bytes EXAMPLE = {0x01, 0x01, 0x80, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0x2A,
                       0x09, 0x01, 0x00, 0x06, 'R',  'a',  'c',  'k',  ' ',  '1'};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> rows{""};
    for (char c : text) {
        if (c == '\n')
            rows.emplace_back();
        else
            rows.back().push_back(c);
    }
    rows.pop_back();
    return rows;
}

RunResult run(const char* program, const std::vector<std::string>& args) {
    RunResult r = runProgram(program, args);
    EXPECT_EQ(r.status, 0) << program << ": " << r.err;
    return r;
}

// One row of tab-separated fields per frame. The frames go between
// 127.0.0.1:40000 (the client) and 127.0.0.2:agentPort, and the capture
// keeps 1100 bytes of each datagram, as a snap length can.
std::vector<std::string> fields(const std::vector<Frame>& frames, const std::vector<std::string>& names,
                                int agentPort = 60000, bool twoPass = false) {
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
    run(TEXT2PCAP_PATH, {"-q", "-D", "-t", "%H:%M:%S.%f", "-i", "17", "-4", "127.0.0.1,127.0.0.2", "-u",
                         "40000," + std::to_string(agentPort), dir / "dump.txt", dir / "all.pcap"});
    run(EDITCAP_PATH, {"-s", "1142", dir / "all.pcap", dir / "cut.pcap"});
    std::vector<std::string> args{"-n",     "-r", dir / "cut.pcap", "-X", "lua_script:" DISSECTOR_PATH, "-T",
                                  "fields", "-E", "aggregator=|"};
    if (twoPass) args.push_back("-2");
    for (const std::string& field : names) args.insert(args.end(), {"-e", field});
    RunResult r = run(TSHARK_PATH, args);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Lua Error"), std::string::npos) << r.out;
    EXPECT_EQ(lines(r.out).size(), frames.size());
    return lines(r.out);
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

// Messages of every type code, float tags sent as type 2 and 6 among them.
Bytes randomMessage(std::mt19937& rng, int ids) {
    const std::string alphabet = "azAZ09 \t\"'=:,;{}()<>#%~";
    VMsg m(uint8_t(rng() % 6));
    m.sequence = uint8_t(rng());
    for (int n = int(rng() % 9); n > 0; --n) {
        uint8_t id = uint8_t(rng() % ids);
        std::string text(rng() % 40, ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        VTag* tags[] = {VTagFactory::createVTag(id),
                        VTagFactory::createVTag(id, text.c_str()),
                        VTagFactory::createVTag(id, uint32_t(rng())),
                        VTagFactory::createVTag(id, uint16_t(rng())),
                        VTagFactory::createVTag(id, uint8_t(rng())),
                        VTagFactory::createVTag(id, float(int(rng() % 20001) - 10000) / 8, rng() % 2 == 0)};
        size_t keep = rng() % 6;
        for (size_t i = 0; i < 6; ++i) {
            if (i == keep)
                m.addTag(tags[i]);
            else
                delete tags[i];
        }
    }
    Bytes wire(1024);
    wire.resize(m.getMsg(wire.data(), uint16_t(wire.size())));
    return wire;
}

TEST(Dissector, ShowsWhatTheClientPrints) {
    std::vector<Frame> frames{{EXAMPLE},  // NaN with a payload, -inf, negative NaN and the largest float:
                              {{0x01, 0x05, 0x03, 0x00, 0x05, 0x31, 0x02, 0x7F, 0xC0, 0x00, 0x01,
                                0x32, 0x06, 0xFF, 0x80, 0x00, 0x00, 0x33, 0x06, 0xFF, 0xC0, 0x00,
                                0x00, 0x34, 0x06, 0x7F, 0x7F, 0xFF, 0xFF, 0xC8, 0x03, 0xEA, 0x60}}};
    std::mt19937 rng(14);
    for (int i = 0; i < 60; ++i) frames.push_back({randomMessage(rng, 256)});
    std::vector<std::string> rows = fields(
        frames,
        {"tagproto.msgid", "tagproto.tag.name", "tagproto.tag.type", "tagproto.tag.value", "_ws.col.Info"});
    EXPECT_EQ(rows.at(0),
              "1\tTAG_DEV_ID|TAG_DEV_LABEL\t2|1\t0000002A|Rack 1\t"
              "GET seq=0 last: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\"");
    // The summary is the client's line with the sequence byte added.
    const std::regex sequence(R"(^([A-Z]+) seq=\d+( last)?:(.*)$)");
    for (size_t i = 0; i < frames.size(); ++i) {
        std::string info = rows[i].substr(rows[i].rfind('\t') + 1);
        std::string words = std::regex_replace(info, sequence, "$3");
        EXPECT_EQ(
            std::regex_replace(info, sequence, "$1: ") + (words.empty() ? "" : words.substr(1) + " ") + "\n",
            clientLine(frames[i].bytes))
            << "frame " << i + 1;
    }
}

TEST(Dissector, FlagsEachWayTheDecoderRefusesBytes) {
    const std::pair<Bytes, const char*> cases[] = {
        {{0x01, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00}, ""},
        {{0x01}, "Shorter than the 5-byte header"},
        {{0x01, 0x01, 0x80, 0x00}, "Shorter than the 5-byte header"},
        {{0x02, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00}, "Format byte is not 1"},
        {{0x01, 0x01, 0x00, 0xFF, 0xFF, 0x05, 0x00}, "Tag count needs more bytes than the datagram holds"},
        {{0x01, 0x01, 0x00, 0x00, 0x01}, "Tag count needs more bytes than the datagram holds"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0x05, 0x00, 0x00, 0x00, 0x00}, "Unknown tag type code"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0xFF}, "Unknown tag type code"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00}, "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x01, 0x00, 0x0A, 'a', 'b'},
         "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x01, 0x00}, "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x02, 0x08, 0x04, 0x07, 0x05}, "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x01, 0x00, 0x03, 'a', 0x00, 'c'}, "String holds a 0x00 byte"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00}, "Bytes left over after the counted tags"},
        {{0x01, 0x01, 0x80, 0x00, 0x01, 0x09, 0x01, 0x04, 0x43}, "Longer than the 1024-byte datagram limit"},
        // Cut by the capture, not in itself: bytes 1100 on are missing.
        {{0x01, 0x01, 0x80, 0x00, 0x01, 0x09, 0x01, 0x04, 0xA7},
         "Capture holds only part of the datagram|Longer than the 1024-byte datagram limit"},
        {{0x01, 0x01, 0x80, 0x02, 0x30},
         "Capture holds only part of the datagram|Longer than the 1024-byte datagram limit"},
    };
    std::vector<Frame> frames;
    for (const auto& [bytes, expert] : cases) frames.push_back({bytes});
    frames[14].bytes.resize(1100, 'x');
    frames[15].bytes.resize(1200, 'x');
    for (int i = 0; i < 0x230; ++i) frames[16].bytes.insert(frames[16].bytes.end(), {0x05, 0x00});
    std::vector<std::string> rows = fields(frames, {"_ws.expert.message"});
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], cases[i].second) << "case " << i;
}

// Whatever the bytes, no Lua error (fields() checks), and an error flagged
// exactly when the decoder refuses them (after a 0x00 in a string the rest
// is still read, so a later fault is flagged too).
TEST(Dissector, AgreesWithTheDecoderOnRandomAndMutatedBytes) {
    std::mt19937 rng(1414);
    std::vector<Frame> frames;
    while (frames.size() < 3000) {
        Bytes wire = randomMessage(rng, 256);
        switch (rng() % 5) {
        case 0: wire[rng() % wire.size()] ^= uint8_t(1 << rng() % 8); break;
        case 1: wire.resize(1 + rng() % wire.size()); break;
        case 2: wire.push_back(uint8_t(rng())); break;
        case 3: wire[3 + rng() % 2] = uint8_t(rng() % 4); break;
        default:
            wire.resize(1 + rng() % 40);
            for (uint8_t& b : wire) b = uint8_t(rng() % 8 ? rng() % 8 : rng());
            wire[0] = 1;
        }
        frames.push_back({wire});
    }
    std::vector<std::string> rows = fields(frames, {"_ws.col.Protocol", "_ws.expert.severity"});
    size_t refused = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::unique_ptr<VMsg> m(VMsg::parseMsg(frames[i].bytes.data(), uint16_t(frames[i].bytes.size())));
        refused += !m;
        bool flagged = rows[i].find("8388608") != std::string::npos;  // severity error
        ASSERT_EQ(rows[i].substr(0, 9) + (flagged ? "refused" : ""), m ? "TAGPROTO\t" : "TAGPROTO\trefused")
            << "frame " << i + 1;
    }
    EXPECT_GT(refused, 1000u);
    EXPECT_LT(refused, 2500u);
}

TEST(Dissector, LinksRequestsAndTheirReplySegments) {
    const Bytes get = {0x01, 0x01, 0x85, 0x00, 0x01, 0x08, 0x00};
    const Bytes segment = {0x01, 0x01, 0x05, 0x00, 0x01, 0x08, 0x04, 0x2A};
    const Bytes last = {0x01, 0x01, 0x85, 0x00, 0x01, 0x08, 0x04, 0x2B};
    const Bytes refusal = {0x01, 0x02, 0x85, 0x00, 0x00};
    const Bytes otherNumber = {0x01, 0x01, 0x86, 0x00, 0x00};
    std::vector<Frame> frames{{get, false, 0},        {segment, true, 0.25}, {last, true, 0.5},
                              {last, true, 0.75},     {get, false, 1},       {otherNumber, true, 1.0625},
                              {refusal, true, 1.125}, {segment, false, 1.25}};
    EXPECT_EQ(fields(frames, {"tagproto.response_in", "tagproto.request_in", "tagproto.time"}, 60000, true),
              (std::vector<std::string>{"2|3\t\t", "\t1\t0.250000000", "\t1\t0.500000000", "\t\t", "7\t\t",
                                        "\t\t", "\t5\t0.125000000", "\t\t"}));
}

// Off its port, a datagram is taken only when its header and tags account
// for every byte; after one is, its endpoints stay with the dissector.
TEST(Dissector, HeuristicTakesWholeDatagramsThenTheConversation) {
    std::vector<Frame> frames{{{0x02, 0x01, 0x80, 0x00, 0x00}},
                              {{0x01, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00, 0x00}},
                              {{0x01, 0x01, 0x80, 0x00, 0x02, 0x05, 0x00}},
                              {{0x01, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00}, true},
                              {{0x02, 0x01, 0x80, 0x00, 0x00}}};
    EXPECT_EQ(fields(frames, {"_ws.col.Protocol"}, 50123),
              (std::vector<std::string>{"UDP", "UDP", "UDP", "TAGPROTO", "TAGPROTO"}));
}

}  // namespace
