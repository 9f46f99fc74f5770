// tag_exporter end to end against scripted devices on 127.0.0.1: a probe
// takes a device's reply whole or not at all.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "exporter_process.h"
#include "http_get.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

// The daemon with one module "m" asking TAG_DEV_CFG: two attempts within 0.6 s.
struct Exporter {
    Exporter()
        : process(TAG_EXPORTER_PATH, {"--config.file=" + modules()}), port(process.waitUntilListening()) {}
    static std::string modules() {
        std::string path = ::testing::TempDir() + "exporter_replies_modules.yml";
        std::ofstream(path) << "modules:\n  m:\n    timeout: 0.6\n    retries: 1\n    tags: [TAG_DEV_CFG]\n";
        return path;
    }
    std::string probe(const UdpPeer& device) {
        return bodyOf(httpGet(port, "/probe?module=m&target=127.0.0.1:" + std::to_string(device.port())));
    }
    ExporterProcess process;
    uint16_t port;
};

VTag* u8(uint8_t id, uint8_t v) { return VTagFactory::createVTag(id, v); }

TEST(ExporterReplies, LateReplyInTwoSegmentsIsProbedWhole) {
    Exporter exporter;
    ASSERT_NE(exporter.port, 0);
    // Attempt 1 (sequence 0) is answered while attempt 2 is out.
    UdpPeer device;
    device.answer({pause(300ms), send(segment(1, 0x00, {u8(6, 1), u8(7, 2), u8(10, 3)})),
                   send(segment(1, 0x80, {u8(11, 4), u8(12, 5)}))});
    std::string metrics = exporter.probe(device);
    device.finish();
    EXPECT_NE(metrics.find("\ntag_probe_success 1\n"), std::string::npos) << metrics;
    for (const char* line : {"\ntag_dev_state 1\n", "\ntag_dev_status 2\n", "\ntag_dev_type 3\n",
                             "\ntag_dev_ndiscinput 4\n", "\ntag_dev_ndiscoutput 5\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
}

TEST(ExporterReplies, ItsOwnRequestReflectedIsNoAnswer) {
    Exporter exporter;
    ASSERT_NE(exporter.port, 0);
    VMsg get(MSG_GET);
    get.addTag(VTagFactory::createVTag(5));
    Bytes reflected = encode(get);
    reflected[2] = 0x80;  // sequence 0, last: the request exactly as it went out
    UdpPeer reflector;
    reflector.answer({send(reflected)});
    std::string metrics = exporter.probe(reflector);
    reflector.finish();
    EXPECT_NE(metrics.find("\ntag_probe_success 0\n"), std::string::npos) << metrics;
}

// A device's text reaches the debug log escaped: nothing in it for a
// terminal to act on, nothing that is not UTF-8.
TEST(ExporterReplies, TheDebugLogEscapesAHostileDevicesBytes) {
    Exporter exporter;
    ASSERT_NE(exporter.port, 0);
    UdpPeer device;
    device.answer(
        {send(segment(1, 0x80,
                      {VTagFactory::createVTag(9,
                                               "a\x1b]52;c;SGVsbG8=\x07\x1b[2J\x08\x7f\xc2\x9b\x9b\xff "
                                               "K\xc3\xbc"
                                               "che")}))});
    std::string log = bodyOf(httpGet(
        exporter.port, "/probe?module=m&debug=true&target=127.0.0.1:" + std::to_string(device.port())));
    device.finish();
    EXPECT_NE(
        log.find(
            "reply: GET: TAG_DEV_LABEL=\"a\\x1b]52;c;SGVsbG8=\\x07\\x1b[2J\\x08\\x7f\\xc2\\x9b\\x9b\\xff "
            "K\xc3\xbc"
            "che\" \n"),
        std::string::npos)
        << log;
    for (char c : log) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7f) || (c & 0x80)) << int(c);
}

}  // namespace
