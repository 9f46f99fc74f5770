// The whole tag_exporter as a child process: it stops when told, at any
// point of its start-up and while host names of probes are being looked up,
// and a reload never kills it nor loses a probe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "bound_socket.h"
#include "exporter_process.h"
#include "http_get.h"

namespace {

using namespace std::chrono_literals;

// A modules file of one short module, in the test's own folder: named by
// the process, since each case runs as a process of its own, some at once,
// and one rewriting another's file would leave it empty for a moment.
std::string modulesFile() {
    std::string path = ::testing::TempDir() + "exporter_e2e_modules." + std::to_string(getpid()) + ".yml";
    std::ofstream(path) << "modules:\n  m:\n    timeout: 0.5\n    retries: 0\n    tags: [TAG_DEV_ID]\n";
    return path;
}

// A UDP port of 127.0.0.1 with nothing behind it: probes of it end at once.
uint16_t deadPort() {
    BoundSocket socket;
    return socket.port;
}

// Probes of "localhost" on a few threads until stopped, so that the C
// library's name-lookup threads come and go all the time.
class LookupLoad {
public:
    explicit LookupLoad(uint16_t exporterPort) {
        std::string uri = "/probe?target=localhost:" + std::to_string(deadPort()) + "&module=m";
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([this, exporterPort, uri] {
                while (!stopped) {
                    if (httpGet(exporterPort, uri, "", "127.0.0.1", 2s).empty())
                        std::this_thread::sleep_for(1ms);
                    ++probes;
                }
            });
    }
    ~LookupLoad() {
        stopped = true;
        for (std::thread& t : threads) t.join();
    }
    LookupLoad(const LookupLoad&) = delete;
    LookupLoad& operator=(const LookupLoad&) = delete;

    std::atomic<int> probes{0};

private:
    std::atomic<bool> stopped{false};
    std::vector<std::thread> threads;
};

bool listened(const std::string& log) { return log.find("listening on port") != std::string::npos; }

TEST(ExporterStop, StopsOnSigtermAtAnyPointOfStartUp) {
    std::string modules = modulesFile();
    for (int ms = 0; ms <= 60; ms += 3) {
        ExporterProcess exporter(TAG_EXPORTER_PATH, {"--config.file=" + modules});
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        exporter.signal(SIGTERM);
        int status = exporter.waitForExit(5s);
        const std::string& log = exporter.log();
        // Before its handlers are in place the signal's default action ends
        // it (128 + 15); once it listens, only a clean stop will do.
        if (listened(log))
            EXPECT_EQ(status, 0) << "SIGTERM " << ms << " ms after start\n" << log;
        else
            EXPECT_TRUE(status == 0 || status == 128 + SIGTERM) << status << " at " << ms << " ms\n" << log;
    }
}

TEST(ExporterStop, StopsOnSigtermWhileHostNamesAreLookedUp) {
    std::string modules = modulesFile();
    for (int ms = 0; ms <= 40; ms += 5) {
        ExporterProcess exporter(TAG_EXPORTER_PATH, {"--config.file=" + modules});
        uint16_t port = exporter.waitUntilListening();
        ASSERT_NE(port, 0) << exporter.log();
        int status = -1;
        {
            LookupLoad load(port);
            while (load.probes < 3) std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            exporter.signal(SIGTERM);
            status = exporter.waitForExit(10s);
        }
        EXPECT_EQ(status, 0) << "SIGTERM " << ms << " ms into the probes\n" << exporter.log();
    }
}

TEST(ExporterStop, ReloadsWhileHostNamesAreLookedUpAndKeepsServing) {
    std::string modules = modulesFile();
    ExporterProcess exporter(TAG_EXPORTER_PATH, {"--config.file=" + modules});
    uint16_t port = exporter.waitUntilListening();
    ASSERT_NE(port, 0) << exporter.log();
    {
        LookupLoad load(port);
        while (load.probes < 3) std::this_thread::sleep_for(1ms);
        for (int i = 0; i < 60 && exporter.running(); ++i) {
            exporter.signal(SIGHUP);
            std::this_thread::sleep_for(3ms);
        }
        ASSERT_TRUE(exporter.running()) << exporter.log();
    }
    std::string metrics = bodyOf(httpGet(port, "/metrics"));
    // Signals sent close together may be taken as one: at least the load at
    // start and one reload.
    const std::string success = "tag_exporter_config_reloads_total{result=\"success\"} ";
    size_t at = metrics.find(success);
    ASSERT_NE(at, std::string::npos) << metrics;
    EXPECT_GE(std::stoi(metrics.substr(at + success.size())), 2) << metrics;
    EXPECT_NE(metrics.find("tag_exporter_config_reloads_total{result=\"failure\"} 0\n"), std::string::npos);
    exporter.signal(SIGTERM);
    EXPECT_EQ(exporter.waitForExit(10s), 0) << exporter.log();
}

// Reloads on every few milliseconds while probes of a real device run on
// several connections at once: every probe is answered, and answered
// whole, and the exporter counts exactly the probes its clients saw. The
// module holds a tag the device lacks, so every reload also sends the next
// probe through the ERR reply and the second GET again.
TEST(ExporterStop, EveryProbeIsAnsweredThroughAStormOfReloads) {
    AgentProcess agent;
    std::string modules = ::testing::TempDir() + "exporter_e2e_storm.yml";
    std::ofstream(modules) << "modules:\n  m:\n    timeout: 1\n    retries: 2\n"
                              "    tags: [TAG_DEV_ID, TAG_DEV_ID_OLD]\n";
    ExporterProcess exporter(TAG_EXPORTER_PATH, {"--config.file=" + modules});
    uint16_t port = exporter.waitUntilListening();
    ASSERT_NE(port, 0) << exporter.log();
    constexpr int THREADS = 4, PROBES = 50;
    std::string uri = "/probe?target=127.0.0.1:" + std::to_string(agent.port) + "&module=m";
    std::atomic<int> answered{0}, finished{0};
    std::vector<std::string> lost;
    std::mutex lostLock;
    std::vector<std::thread> clients;
    for (int t = 0; t < THREADS; ++t)
        clients.emplace_back([&] {
            for (int i = 0; i < PROBES; ++i) {
                std::string reply = httpGet(port, uri);
                if (reply.find("\ntag_probe_success 1\n") != std::string::npos &&
                    reply.find("\ntag_dev_id 42\n") != std::string::npos) {
                    ++answered;
                } else {
                    std::lock_guard hold(lostLock);
                    lost.push_back(reply);
                }
            }
            ++finished;
        });
    int reloads = 0;
    for (; finished < THREADS && exporter.running(); ++reloads) {
        exporter.signal(SIGHUP);
        std::this_thread::sleep_for(2ms);
    }
    for (std::thread& t : clients) t.join();
    ASSERT_TRUE(exporter.running()) << exporter.log();
    EXPECT_EQ(answered, THREADS * PROBES) << (lost.empty() ? "" : lost.front());
    EXPECT_GT(reloads, 10);
    std::string metrics = bodyOf(httpGet(port, "/metrics"));
    EXPECT_NE(metrics.find("tag_exporter_probes_total{result=\"success\"} 200\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tag_exporter_probes_total{result=\"failure\"} 0\n"), std::string::npos);
    EXPECT_NE(metrics.find("tag_exporter_config_reloads_total{result=\"failure\"} 0\n"), std::string::npos);
    exporter.signal(SIGTERM);
    EXPECT_EQ(exporter.waitForExit(10s), 0) << exporter.log();
}

}  // namespace
