// The family over IPv6 end to end, on ::1 only: a fleet in a real tagagent
// configured by tagconf and read back by tagpoll, a port nobody serves
// refused through ICMPv6, and the exporter probing a device on ::1 within
// an allow-list of IPv6 networks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include "agent_process.h"
#include "exporter_process.h"
#include "http_get.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

// A UDP port of ::1 that was free a moment ago, or 0 when the machine has no
// IPv6 loopback.
uint16_t freeIpv6Port() {
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin6_port);
    close(fd);
    return port;
}

#define SKIP_WITHOUT_IPV6_LOOPBACK() \
    if (freeIpv6Port() == 0) GTEST_SKIP() << "this machine cannot bind a UDP socket to ::1"

TEST(Ipv6E2E, TagconfWritesAFleetOnLoopbackAndTagpollReadsItBack) {
    SKIP_WITHOUT_IPV6_LOOPBACK();
    TempDir dir;
    AgentProcess agent({"-a", "::1", "--devices", "3", "--targets-file", dir.path + "/fleet.txt"});
    std::vector<std::string> t = splitLines(dir.read("fleet.txt"));
    ASSERT_EQ(t.size(), 3u) << agent.firstLine;
    ASSERT_TRUE(t[0].starts_with("[::1]:")) << t[0];
    std::string state =
        dir.write("state.yml", "targets_file: fleet.txt\ntags: {TAG_DEV_LABEL: \"Rack six\"}\n");

    RunResult apply = runWrapped(TAGCONF_PATH, {"apply", state, "-t", "0.5", "-r", "3"});
    EXPECT_EQ(apply.status, 0) << apply.out << apply.err;
    EXPECT_EQ(splitLines(apply.out).back(),
              "3 targets: 0 unchanged, 3 changed (3 tags), 0 mismatch, 0 unreachable");

    RunResult poll = runWrapped(TAGPOLL_PATH, {"-f", dir.path + "/fleet.txt", "GET:", "TAG_DEV_LABEL"});
    EXPECT_EQ(poll.status, 0) << poll.err;
    std::vector<std::string> got = splitLines(poll.out);
    std::sort(got.begin(), got.end());
    std::vector<std::string> want;
    for (const std::string& target : t) want.push_back(target + "\tGET: TAG_DEV_LABEL=\"Rack six\" ");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

TEST(Ipv6E2E, APortNobodyServesIsRefusedAtOnce) {
    SKIP_WITHOUT_IPV6_LOOPBACK();
    std::string target = "[::1]:" + std::to_string(freeIpv6Port());
    RunResult poll =
        runWrapped(TAGPOLL_PATH, {"--target", target, "-t", "5", "-r", "2", "GET:", "TAG_DEV_ID"});
    EXPECT_EQ(poll.out, target + "\tERR: RX_REFUSED ATTEMPTS=1\n") << poll.err;
    EXPECT_EQ(poll.status, 1);
}

TEST(Ipv6E2E, ExporterProbesADeviceOnLoopbackWithinItsIpv6Networks) {
    SKIP_WITHOUT_IPV6_LOOPBACK();
    TempDir dir;
    AgentProcess agent({"-a", "::1"});
    std::string modules =
        dir.write("modules.yml", "modules:\n  m:\n    timeout: 1\n    tags: [TAG_DEV_ID]\n");
    ExporterProcess exporter(TAG_EXPORTER_PATH,
                             {"--config.file=" + modules, "--probe.allowed-targets=::1/128"});
    uint16_t port = exporter.waitUntilListening();
    ASSERT_NE(port, 0) << exporter.log();
    const std::string device = std::to_string(agent.port);

    std::string ok = httpGet(port, "/probe?module=m&target=%5B::1%5D:" + device);
    EXPECT_EQ(statusLineOf(ok), "HTTP/1.1 200 OK") << ok;
    EXPECT_NE(ok.find("\ntag_dev_id 42\n"), std::string::npos) << ok;
    EXPECT_NE(ok.find("\ntag_probe_success 1\n"), std::string::npos) << ok;
    // An IPv4 target, and the same loopback spelt as a mapped IPv6 address,
    // are outside a list of IPv6 networks.
    for (const char* target : {"127.0.0.1", "::ffff:127.0.0.1"}) {
        std::string refused = httpGet(port, std::string("/probe?module=m&target=") + target + ":" + device);
        EXPECT_EQ(statusLineOf(refused), "HTTP/1.1 400 Bad Request") << target << "\n" << refused;
    }
}

}  // namespace
