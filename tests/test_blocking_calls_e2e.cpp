// readTags and writeTags end to end: the installed library's one-call API
// (this test links the shared library, so it also uses nothing the library
// does not export) against the real tagagent, a port that never answers and
// a closed one.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "agent_process.h"
#include "axodict.h"
#include "bound_socket.h"
#include "tagengine.h"

using namespace tagengine;
using namespace std::chrono_literals;

namespace {

std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

CallOptions quick() {
    CallOptions o;
    o.attemptTimeout = 100ms;
    o.engine.maxAttemptTimeout = 100ms;
    return o;
}

}  // namespace

TEST(ReadTags, ReadsTagsTypedByTheTable) {
    AgentProcess agent;
    Reply r = readTags(at(agent.port),
                       std::vector<std::string>{"TAG_DEV_ID", "tag_dev_label", "TAG_IO_SAMPLED_VALUE"});
    ASSERT_EQ(r.result.status, Status::Answered) << statusName(r.result.status);
    EXPECT_EQ(r.result.attempts, 1);
    EXPECT_EQ(r.result.target, at(agent.port));
    ASSERT_EQ(r.values.size(), 3u);
    EXPECT_EQ(r.values[0].id, AXO::TAG_DEV_ID);
    EXPECT_EQ(r.values[0].value.kind, ValueKind::Integer);
    EXPECT_EQ(r.values[0].value.integer, 42u);
    EXPECT_EQ(r.values[1].value.kind, ValueKind::Text);
    EXPECT_EQ(r.values[1].value.text, "Demo rack controller");
    EXPECT_EQ(r.values[2].value.kind, ValueKind::Float);
    EXPECT_EQ(r.values[2].value.real, 21.5);
    ASSERT_TRUE(r.result.reply);
    EXPECT_EQ(r.result.reply->tagCount(), 3u);
}

TEST(ReadTags, TagNotHeldIsAnErrorReplyNamingIt) {
    AgentProcess agent;
    Reply r = readTags(at(agent.port), std::vector<uint8_t>{AXO::TAG_DEV_ID, AXO::TAG_IO_LABEL});
    ASSERT_EQ(r.result.status, Status::ErrorReply) << statusName(r.result.status);
    ASSERT_EQ(r.values.size(), 1u);
    EXPECT_EQ(r.values[0].id, AXO::TAG_ERR_TAGID);
    EXPECT_EQ(r.values[0].value.integer, AXO::TAG_IO_LABEL);
}

TEST(WriteTags, WritesVerifiesAndTheDeviceHoldsIt) {
    AgentProcess agent;
    Reply w = writeTags(at(agent.port), {{AXO::TAG_DEV_LABEL, textValue("Rack 9")},
                                         {AXO::TAG_IO_OFFSET, floatValue(-1.5)},
                                         {AXO::TAG_DEV_STATE, integerValue(2)}});
    ASSERT_EQ(w.result.status, Status::Verified) << statusName(w.result.status);
    EXPECT_TRUE(w.result.setSent);
    EXPECT_TRUE(w.differences.empty());
    Reply r =
        readTags(at(agent.port), std::vector<std::string>{"TAG_DEV_LABEL", "TAG_IO_OFFSET", "TAG_DEV_STATE"});
    ASSERT_EQ(r.values.size(), 3u);
    EXPECT_EQ(r.values[0].value.text, "Rack 9");
    EXPECT_EQ(r.values[1].value.real, -1.5);
    EXPECT_EQ(r.values[2].value.integer, 2u);
}

TEST(WriteTags, ReadOnlyTagIsAMismatchNamingBothValues) {
    AgentProcess agent({"--read-only", "TAG_DEV_TYPE"});
    CallOptions o = quick();
    o.retries = 1;
    Reply w = writeTags(at(agent.port),
                        {{AXO::TAG_DEV_TYPE, integerValue(9)}, {AXO::TAG_DEV_STATE, integerValue(3)}}, o);
    ASSERT_EQ(w.result.status, Status::Mismatch) << statusName(w.result.status);
    EXPECT_EQ(w.result.attempts, 2);
    ASSERT_EQ(w.differences.size(), 1u);
    EXPECT_EQ(w.differences[0].id, AXO::TAG_DEV_TYPE);
    EXPECT_EQ(w.differences[0].wrote.integer, 9u);
    EXPECT_TRUE(w.differences[0].held);
    EXPECT_EQ(w.differences[0].read.integer, 3u);  // the demo device's type
}

TEST(ReadTags, SilentPortTimesOutAfterEveryAttempt) {
    BoundSocket silent;
    auto start = std::chrono::steady_clock::now();
    Reply r = readTags(at(silent.port), std::vector<std::string>{"TAG_DEV_ID"}, quick());
    EXPECT_EQ(r.result.status, Status::TimedOut);
    EXPECT_EQ(r.result.attempts, 3);
    EXPECT_TRUE(r.values.empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST(ReadTags, ClosedPortIsRefused) {
    uint16_t closed;
    {
        BoundSocket gone;
        closed = gone.port;
    }
    CallOptions o;
    o.attemptTimeout = 10s;  // only the kernel's report ends it in time
    o.deadline = std::chrono::steady_clock::now() + 5s;
    Reply r = readTags(at(closed), std::vector<std::string>{"TAG_DEV_ID"}, o);
    EXPECT_EQ(r.result.status, Status::Refused);
    EXPECT_EQ(r.result.attempts, 1);
}

TEST(ReadTags, StopDescriptorCancels) {
    BoundSocket silent;
    int stop = eventfd(1, EFD_CLOEXEC);  // readable from the start
    ASSERT_GE(stop, 0);
    CallOptions o;
    o.attemptTimeout = 10s;
    o.stopFd = stop;
    Reply r = readTags(at(silent.port), std::vector<std::string>{"TAG_DEV_ID"}, o);
    close(stop);
    EXPECT_EQ(r.result.status, Status::Cancelled);
}

TEST(BlockingCalls, RefuseWhatTheCallerGaveBeforeSending) {
    BoundSocket silent;
    const std::string ok = at(silent.port);
    for (const char* target : {"", ":60000", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:x",
                               "[::1", "[::1]x", "[127.0.0.1]:1", "[]:1", "x::1", "::1::2", "local\thost"})
        EXPECT_THROW(readTags(target, std::vector<std::string>{"TAG_DEV_ID"}), std::invalid_argument)
            << target;
    // A NUL would end the name the resolver reads: 127.0.0.1 under another label.
    EXPECT_THROW(readTags(std::string("127.0.0.1\0x", 11), std::vector<std::string>{"TAG_DEV_ID"}),
                 std::invalid_argument);
    EXPECT_THROW(readTags(ok, std::vector<std::string>{"TAG_DEV_ID", "TAG_NO_SUCH"}), std::invalid_argument);
    EXPECT_THROW(writeTags(ok, {}), std::invalid_argument);
    EXPECT_THROW(writeTags(ok, {{AXO::TAG_DEV_CFG, Value{}}}), std::invalid_argument);
    EXPECT_THROW(writeTags(ok, {{AXO::TAG_DEV_ID, textValue("1")}}), std::invalid_argument);
    char buf[64];
    EXPECT_LT(recv(silent.fd, buf, sizeof buf, MSG_DONTWAIT), 0);  // nothing was sent
}
