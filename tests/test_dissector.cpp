// The generated Wireshark dissector, run by the real tshark over captures that
// text2pcap makes from datagrams built here. What tshark shows is held
// against what tagclient prints and what the decoder accepts for the very
// same bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "msg_request.h"
#include "output_lines.h"
#include "run_program.h"
#include "vmsg.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Frame {
    Bytes bytes;
    bool fromAgent = false;
    double seconds = 0;  // after noon
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    if (text.empty() || text.back() == separator) parts.emplace_back();
    return parts;
}

// text2pcap input: direction, time, then the bytes 16 to a line.
std::string hexDump(const std::vector<Frame>& frames) {
    std::string text;
    char chunk[32];
    for (const Frame& f : frames) {
        snprintf(chunk, sizeof chunk, "%c 12:00:%09.6f", f.fromAgent ? 'O' : 'I', f.seconds);
        text += chunk;
        for (size_t i = 0; i < f.bytes.size(); ++i) {
            if (i % 16 == 0) snprintf(chunk, sizeof chunk, "\n%06zx", i), text += chunk;
            snprintf(chunk, sizeof chunk, " %02x", f.bytes[i]);
            text += chunk;
        }
        text += "\n\n";
    }
    return text;
}

// tshark's lines for the frames, sent between 127.0.0.1:40000 (the client)
// and 127.0.0.2:agentPort, with the dissector loaded from the build tree. A
// snaplen keeps only that many bytes of each frame, as a capture can.
std::vector<std::string> tshark(const std::vector<Frame>& frames, std::vector<std::string> args,
                                int agentPort = 60000, int snaplen = 0) {
    char dirTemplate[] = "/tmp/test_dissector.XXXXXX";
    std::filesystem::path dir = mkdtemp(dirTemplate);
    std::ofstream(dir / "frames.txt") << hexDump(frames);
    RunResult made = runProgram(
        TEXT2PCAP_PATH, {"-q", "-D", "-t", "%H:%M:%S.%f", "-i", "17", "-4", "127.0.0.1,127.0.0.2", "-u",
                         "40000," + std::to_string(agentPort), dir / "frames.txt", dir / "frames.pcap"});
    EXPECT_EQ(made.status, 0) << made.err;
    if (snaplen) {
        made =
            runProgram(EDITCAP_PATH, {"-s", std::to_string(snaplen), dir / "frames.pcap", dir / "cut.pcap"});
        EXPECT_EQ(made.status, 0) << made.err;
        std::filesystem::rename(dir / "cut.pcap", dir / "frames.pcap");
    }
    args.insert(args.begin(), {"-n", "-r", dir / "frames.pcap", "-X", "lua_script:" DISSECTOR_PATH});
    RunResult r = runProgram(TSHARK_PATH, args);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Lua Error"), std::string::npos) << r.out;
    std::vector<std::string> lines = split(r.out, '\n');
    lines.pop_back();
    EXPECT_EQ(lines.size(), frames.size());
    return lines;
}

// Fields per frame; twoPass links requests to replies that come later.
std::vector<std::string> fields(const std::vector<Frame>& frames, const std::vector<std::string>& names,
                                int agentPort = 60000, bool twoPass = false, int snaplen = 0) {
    std::vector<std::string> args{"-T", "fields", "-E", "aggregator=|"};
    if (twoPass) args.push_back("-2");
    for (const std::string& name : names) args.insert(args.end(), {"-e", name});
    return tshark(frames, args, agentPort, snaplen);
}

Bytes encode(const VMsg& m) {
    Bytes wire(0xFFFF);
    wire.resize(m.getMsg(wire.data(), uint16_t(wire.size())));
    return wire;
}

// The line tagclient prints for the datagram as a reply.
std::string clientLine(const Bytes& wire) {
    std::unique_ptr<VMsg> m(VMsg::parseMsg(wire.data(), uint16_t(wire.size())));
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    MsgRequest printer(MSG_GET);
    printer.out = out;
    printer.printMsg(m.get());
    fclose(out);
    std::string line(text, size);
    free(text);
    return line;
}

// The same line put together from the dissector's fields: message id, then
// per tag its name, type code and value ("" for type 0, which has none).
std::string dissectorLine(const std::string& row) {
    std::vector<std::string> col = split(row, '\t');
    std::string line = lines::HEADER_WORDS[std::stoi(col.at(0))];
    if (col.at(2).empty()) return line + "\n";
    std::vector<std::string> names = split(col.at(1), '|'), types = split(col.at(2), '|'),
                             values = split(col.at(3), '|');
    for (size_t i = 0, v = 0; i < types.size(); ++i) {
        line += names.at(i);
        if (types[i] == "1")
            line += "=\"" + values.at(v++) + "\"";
        else if (types[i] != "0")
            line += "=" + values.at(v++);
        line += " ";
    }
    return line + "\n";
}

Bytes randomMessage(std::mt19937& rng) {
    const std::string alphabet = "azAZ09 \t\"'=:,;{}()<>#%~";
    VMsg m(uint8_t(rng() % 6));
    m.sequence = uint8_t(rng());
    for (int n = int(rng() % 9); n > 0; --n) {
        uint8_t id = uint8_t(rng() % 182);
        switch (rng() % 6) {
        case 0: m.addTag(VTagFactory::createVTag(id)); break;
        case 1: {
            std::string text(rng() % 40, ' ');
            for (char& c : text) c = alphabet[rng() % alphabet.size()];
            m.addTag(VTagFactory::createVTag(id, text.c_str()));
            break;
        }
        case 2: m.addTag(VTagFactory::createVTag(id, uint32_t(rng()))); break;
        case 3: m.addTag(VTagFactory::createVTag(id, uint16_t(rng()))); break;
        case 4: m.addTag(VTagFactory::createVTag(id, uint8_t(rng()))); break;
        default: m.addTag(VTagFactory::createVTag(id, float(int(rng() % 20001) - 10000) / 8, rng() % 2 == 0));
        }
    }
    return encode(m);
}

TEST(Dissector, ShowsWhatTheClientPrints) {
    // The worked example of the wire format page, then messages of every
    // type code, float tags sent as type 2 and type 6 among them.
    std::vector<Frame> frames{{{0x01, 0x01, 0x80, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0x2A,
                                0x09, 0x01, 0x00, 0x06, 'R',  'a',  'c',  'k',  ' ',  '1'}}};
    // NaN with a payload, -inf, negative NaN and the largest float.
    frames.push_back(
        {{0x01, 0x01, 0x80, 0x00, 0x04, 0x31, 0x02, 0x7F, 0xC0, 0x00, 0x01, 0x32, 0x06, 0xFF, 0x80,
          0x00, 0x00, 0x33, 0x06, 0xFF, 0xC0, 0x00, 0x00, 0x34, 0x06, 0x7F, 0x7F, 0xFF, 0xFF}});
    std::mt19937 rng(14);
    for (int i = 0; i < 60; ++i) frames.push_back({randomMessage(rng)});
    std::vector<std::string> rows =
        fields(frames, {"tagproto.msgid", "tagproto.tag.name", "tagproto.tag.type", "tagproto.tag.value"});
    ASSERT_EQ(rows.size(), frames.size());
    EXPECT_EQ(dissectorLine(rows[0]), "GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" \n");
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(dissectorLine(rows[i]), clientLine(frames[i].bytes))
            << "frame " << i + 1 << ": " << rows[i];
}

TEST(Dissector, SummaryLineNamesTagsAsTheClientDoes) {
    std::vector<Frame> frames{{{0x01, 0x05, 0x83, 0x00, 0x03, 0xC8, 0x04, 0x07, 0x6D, 0x03, 0xEA, 0x60, 0x09,
                                0x01, 0x00, 0x03, 'a', '\t', '"'}}};
    EXPECT_EQ(fields(frames, {"_ws.col.Info"}),
              std::vector<std::string>{"REP seq=3 last: TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=200 "
                                       "TAG_NET_INPORT=EA60 TAG_DEV_LABEL=\"a '\""});
}

TEST(Dissector, FlagsEachWayTheDecoderRefusesBytes) {
    Bytes longest{0x01, 0x01, 0x80, 0x00, 0x01, 0x09, 0x01, 0x04, 0x43};
    longest.resize(longest.size() + 0x443, 'x');
    const struct {
        Bytes bytes;
        const char* expert;
    } cases[] = {
        {{0x01, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00}, ""},
        {{0x01}, "Shorter than the 5-byte header"},
        {{0x01, 0x01, 0x80, 0x00}, "Shorter than the 5-byte header"},
        {{0x02, 0x01, 0x80, 0x00, 0x01, 0x05, 0x00}, "Format byte is not 1"},
        {{0x01, 0x01, 0x00, 0xFF, 0xFF, 0x05, 0x00}, "Tag count needs more bytes than the datagram holds"},
        {{0x01, 0x01, 0x00, 0x00, 0x01}, "Tag count needs more bytes than the datagram holds"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0x05, 0x00, 0x00, 0x00, 0x00}, "Unknown tag type code"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0xFF}, "Unknown tag type code"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00}, "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x01, 0x00, 0x0A, 'a', 'b', 'c'},
         "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x01, 0x00}, "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x02, 0x08, 0x04, 0x07, 0x05}, "Tag runs past the end of the datagram"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x09, 0x01, 0x00, 0x03, 'a', 0x00, 'c'}, "String holds a 0x00 byte"},
        {{0x01, 0x01, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00}, "Bytes left over after the counted tags"},
        {longest, "Longer than the 1024-byte datagram limit"},
    };
    std::vector<Frame> frames;
    for (const auto& c : cases) frames.push_back({c.bytes});
    std::vector<std::string> rows = fields(frames, {"_ws.expert.message"});
    ASSERT_EQ(rows.size(), std::size(cases));
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], cases[i].expert) << "case " << i;
}

// Bytes a capture did not keep are not a fault of the datagram; a count the
// datagram's real length cannot hold still is.
TEST(Dissector, TellsACutCaptureFromAMalformedDatagram) {
    constexpr int headers = 14 + 20 + 8;  // Ethernet, IPv4, UDP
    std::vector<Frame> frames{
        {{0x01, 0x01, 0x80, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0x2A,
          0x09, 0x01, 0x00, 0x06, 'R',  'a',  'c',  'k',  ' ',  '1'}},
        {{0x01, 0x01, 0x80, 0x00, 0x04, 0x05, 0x00, 0x05, 0x00, 0x05, 0x00, 0x05, 0x00}},
        {{0x01, 0x01, 0x80, 0x00, 0x09, 0x05, 0x00, 0x05, 0x00, 0x05, 0x00, 0x05, 0x00}},
        {{0x01, 0x01}}};
    EXPECT_EQ(fields(frames, {"_ws.expert.message"}, 60000, false, headers + 8),
              (std::vector<std::string>{
                  "Capture holds only part of the datagram", "Capture holds only part of the datagram",
                  "Tag count needs more bytes than the datagram holds", "Shorter than the 5-byte header"}));
}

// Whatever the bytes, no Lua error, and an error is flagged exactly when
// the decoder refuses them.
TEST(Dissector, AgreesWithTheDecoderOnRandomAndMutatedBytes) {
    std::mt19937 rng(1414);
    std::vector<Frame> frames;
    while (frames.size() < 3000) {
        Bytes wire = randomMessage(rng);
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
    ASSERT_EQ(rows.size(), frames.size());
    size_t refused = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::unique_ptr<VMsg> m(VMsg::parseMsg(frames[i].bytes.data(), uint16_t(frames[i].bytes.size())));
        refused += !m;
        std::string flagged = m ? "TAGPROTO\t" : "TAGPROTO\t8388608";
        ASSERT_EQ(rows[i], flagged) << "frame " << i + 1;
    }
    EXPECT_GT(refused, 1000u);
    EXPECT_LT(refused, 2500u);
}

TEST(Dissector, LinksRequestsAndTheirReplySegments) {
    const Bytes get = {0x01, 0x01, 0x85, 0x00, 0x01, 0x08, 0x00};
    const Bytes segment = {0x01, 0x01, 0x05, 0x00, 0x01, 0x08, 0x04, 0x2A};
    const Bytes lastSegment = {0x01, 0x01, 0x85, 0x00, 0x01, 0x08, 0x04, 0x2B};
    const Bytes refusal = {0x01, 0x02, 0x85, 0x00, 0x00};
    const Bytes otherNumber = {0x01, 0x01, 0x86, 0x00, 0x00};
    std::vector<Frame> frames{{get, false, 0},           {segment, true, 0.25}, {lastSegment, true, 0.5},
                              {lastSegment, true, 0.75}, {get, false, 1},       {otherNumber, true, 1.0625},
                              {refusal, true, 1.125},    {segment, false, 1.25}};
    std::vector<std::string> expected{
        "2|3\t\t", "\t1\t0.250000000", "\t1\t0.500000000", "\t\t", "7\t\t", "\t\t", "\t5\t0.125000000",
        "\t\t",
    };
    EXPECT_EQ(fields(frames, {"tagproto.response_in", "tagproto.request_in", "tagproto.time"}, 60000, true),
              expected);
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
