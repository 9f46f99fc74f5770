// The reply path end to end: the real tagclient against a scripted peer.
#include <gtest/gtest.h>

#include "run_program.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

TEST(ReplyPath, PrintsOneSegmentReply) {
    UdpPeer peer;
    peer.answer({send(segment(1, 0x80, {VTagFactory::createVTag(8, uint32_t(42)),
                                         VTagFactory::createVTag(9, "Rack 1")}))});
    RunResult r = runClient({"GET:", "TAG_DEV_ID", "TAG_DEV_LABEL", "-h", "127.0.0.1", "-p",
                             std::to_string(peer.port())});
    peer.finish();
    EXPECT_EQ(r.out, "Sent 15 bytes\nReceived 21 bytes\nGET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"Rack 1\" \n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
