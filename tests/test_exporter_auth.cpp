// The parts that keep guessers from costing the exporter: the Authorization
// header read strictly, each address's failure budget, the ranked queue of
// password checks, and a reload that may never drop the protection in force.
#include <arpa/inet.h>
#include <crypt.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "basic_credentials.h"
#include "check_queue.h"
#include "failure_budget.h"
#include "reloader.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using exporter::CheckQueue;
using exporter::FailureBudget;

TEST(BasicCredentials, OnlyTheBasicSchemeWithWellFormedBase64) {
    struct Case {
        std::string header;
        bool ok;
        std::string user, password;
    } cases[] = {
        {"Basic YWxpY2U6c2VjcmV0", true, "alice", "secret"},
        {"basic YWxpY2U6c2VjcmV0", true, "alice", "secret"},
        {"BaSiC \t YWxpY2U6c2VjcmV0  ", true, "alice", "secret"},
        {"Basic Ym9iOnNlY3JldA", true, "bob", "secret"},  // padding left out
        {"Basic Ym9iOnNlY3JldA==", true, "bob", "secret"},
        {"Basic YTpiOmM=", true, "a", "b:c"},               // the first ':' ends the user
        {"Basic OnNlY3JldA==", true, "", "secret"},         // an empty user, refused later as unknown
        {"Basic YWxpY2U6c2VjcmV0AGp1bms=", false, "", ""},  // secret\0junk
        {"Basic YWxpY2UAOnNlY3JldA==", false, "", ""},      // alice\0:secret
        {"Basic YWxpY2VzZWNyZXQ=", false, "", ""},          // no ':'
        {"Basic Ym9iOnNlY3JldA=", false, "", ""},           // half the padding
        {"Basic Ym9iOnNlY3JldB==", false, "", ""},          // bits left over
        {"Basic Ym9iOnNlY3Jl!A==", false, "", ""},
        {"Basic Ym9i OnNlY3JldA==", false, "", ""},
        {"Basic a", false, "", ""},
        {"Basic ", false, "", ""},
        {"Basic", false, "", ""},
        {"Basically YWxpY2U6c2VjcmV0", false, "", ""},
        {"Bearer YWxpY2U6c2VjcmV0", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        exporter::Credentials credentials;
        EXPECT_EQ(exporter::parseBasicCredentials(c.header, credentials), c.ok) << c.header;
        EXPECT_EQ(credentials.user, c.user) << c.header;
        EXPECT_EQ(credentials.password, c.password) << c.header;
    }
}

FailureBudget::Key keyOf(const char* text) {
    sockaddr_storage storage{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr) == 1)
        storage.ss_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr) == 1)
        storage.ss_family = AF_INET6;
    return FailureBudget::keyOf(reinterpret_cast<const sockaddr*>(&storage));
}

TEST(FailureBudget, ABurstThenOneCheckPerRefill) {
    FailureBudget budget({3, 1s, 100});
    auto t0 = FailureBudget::Clock::time_point{} + 100s;
    auto key = keyOf("127.0.2.1");
    FailureBudget::Clock::duration wait{};
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.take(key, t0, wait)) << i;
    EXPECT_EQ(budget.owed(key, t0), 3U);
    EXPECT_FALSE(budget.take(key, t0, wait));
    EXPECT_EQ(wait, 1s);
    EXPECT_FALSE(budget.take(key, t0 + 500ms, wait));
    EXPECT_EQ(wait, 500ms);
    EXPECT_TRUE(budget.take(keyOf("127.0.2.2"), t0, wait));  // another address has its own
    EXPECT_TRUE(budget.take(key, t0 + 1s, wait));
    EXPECT_FALSE(budget.take(key, t0 + 1s, wait));
    budget.giveBack(key, t0 + 1s);  // the password was right
    EXPECT_TRUE(budget.take(key, t0 + 1s, wait));
    EXPECT_EQ(budget.owed(key, t0 + 10s), 0U);  // refilled, never beyond the burst
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.take(key, t0 + 10s, wait));
    EXPECT_FALSE(budget.take(key, t0 + 10s, wait));
}

TEST(FailureBudget, AnIpv6NetworkIsOneAddressAndAMappedAddressItsIpv4Host) {
    // Only the /64 is kept: the address's last 64 bits (here the 1) are not.
    EXPECT_EQ(keyOf("::1"), (FailureBudget::Key{6, 0, 0, 0, 0, 0, 0, 0, 0}));
    // A mapped address shares ::1's first 64 bits, yet is keyed as its IPv4 host.
    EXPECT_NE(keyOf("::ffff:127.0.2.7"), keyOf("::1"));
    EXPECT_EQ(keyOf("::ffff:127.0.2.7"), keyOf("127.0.2.7"));
    EXPECT_NE(keyOf("127.0.2.7"), keyOf("127.0.2.8"));
}

TEST(FailureBudget, AFullTableSharesOneBudgetAmongNewcomers) {
    FailureBudget budget({1, 1h, 2});
    auto t0 = FailureBudget::Clock::time_point{} + 100s;
    FailureBudget::Clock::duration wait{};
    EXPECT_TRUE(budget.take(keyOf("127.0.2.1"), t0, wait));
    EXPECT_TRUE(budget.take(keyOf("127.0.2.2"), t0, wait));
    EXPECT_TRUE(budget.take(keyOf("127.0.2.3"), t0, wait));   // the shared budget's one check
    EXPECT_FALSE(budget.take(keyOf("127.0.2.4"), t0, wait));  // spent by .3
}

// A BasicAuth whose check a test holds: the first worker's check waits on a
// gate, so that the checks behind it queue up.
struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    void pass() {
        std::unique_lock hold(lock);
        opened.wait(hold, [this] { return open; });
    }
    void release() {
        {
            std::lock_guard hold(lock);
            open = true;
        }
        opened.notify_all();
    }
};

std::string bcryptOf(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$2y$", 4, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data data{};
    return crypt_r(password.c_str(), setting, &data);
}

TEST(CheckQueue, LowerRanksFirstAndAFullQueueTurnsAwayTheHighest) {
    auto auth =
        std::make_shared<exporter::BasicAuth>(std::map<std::string, std::string>{{"alice", bcryptOf("s")}});
    CheckQueue queue(1, 2);
    Gate gate;
    std::mutex lock;
    std::vector<std::string> order;
    auto record = [&](const std::string& name) {
        return [&, name](CheckQueue::Verdict verdict) {
            std::lock_guard hold(lock);
            order.push_back(name + (verdict == CheckQueue::Verdict::Granted   ? "+"
                                    : verdict == CheckQueue::Verdict::Refused ? "-"
                                                                              : " busy"));
        };
    };
    ASSERT_TRUE(queue.submit(auth, "alice", "s", 0, [&](CheckQueue::Verdict) { gate.pass(); }));
    while (queue.waiting() != 0) std::this_thread::sleep_for(1ms);  // the worker holds it
    ASSERT_TRUE(queue.submit(auth, "alice", "s", 5, record("a")));
    ASSERT_TRUE(queue.submit(auth, "alice", "x", 5, record("b")));
    ASSERT_TRUE(queue.submit(auth, "alice", "s", 1, record("c")));    // full: b, the last of rank 5, goes
    ASSERT_TRUE(queue.submit(auth, "mallory", "s", 5, record("d")));  // full, and ranks no lower
    EXPECT_EQ(queue.waiting(), 2U);
    gate.release();
    queue.stop();  // runs what is queued
    EXPECT_EQ(order, (std::vector<std::string>{"b busy", "d busy", "c+", "a+"}));
    EXPECT_FALSE(queue.submit(auth, "alice", "s", 0, record("e")));
}

TEST(CheckQueue, WorkersAreHalfTheCoresFromOneToFour) {
    EXPECT_EQ(CheckQueue::workersFor(0), 1U);
    EXPECT_EQ(CheckQueue::workersFor(2), 1U);
    EXPECT_EQ(CheckQueue::workersFor(6), 3U);
    EXPECT_EQ(CheckQueue::workersFor(64), 4U);
}

// A certificate and key made by openssl in the folder.
void makeCertificate(const TempDir& dir) {
    RunResult made = runProgram(
        "/usr/bin/openssl",
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
         "-subj", "/CN=127.0.0.1", "-keyout", dir.path + "/s.key", "-out", dir.path + "/s.crt"});
    ASSERT_EQ(made.status, 0) << made.err;
}

TEST(Reloader, NothingThatProtectsTheExporterIsDroppedByAReload) {
    TempDir dir;
    makeCertificate(dir);
    std::string modules = dir.write("modules.yml", "modules:\n  m:\n    tags: [TAG_DEV_ID]\n");
    const std::string tls = "tls_server_config:\n  cert_file: s.crt\n  key_file: s.key\n";
    const std::string users = "basic_auth_users:\n  alice: " + bcryptOf("secret") + "\n";
    std::string web = dir.write("web.yml", tls + users);
    const std::string tail = " a reload never removes authentication or TLS, a restart does";
    struct Case {
        std::string text;
        bool ok;
        std::string error;
    } cases[] = {
        {users, false, web + ": would remove the tls_server_config in force:" + tail},
        {tls, false, web + ": would remove the basic_auth_users in force:" + tail},
        {"", false,
         web +
             ": is empty (or sets nothing) and would remove the basic_auth_users and tls_server_config in "
             "force:" +
             tail},
        {tls + "basic_auth_users:\n  bob: " + bcryptOf("other") + "\n", true, ""},  // other users: a change
    };
    exporter::WebConfig started;
    std::string error;
    ASSERT_TRUE(exporter::loadWebConfigFile(web, started, error)) << error;
    exporter::ConfigHolder config;
    exporter::AuthHolder auth;
    auth.set(std::make_shared<exporter::BasicAuth>(started.users));
    exporter::ExporterStats stats;
    exporter::Reloader reloader({modules, web}, started, config, auth, stats, nullptr);
    for (const Case& c : cases) {
        dir.write("web.yml", c.text);
        error.clear();
        EXPECT_EQ(reloader.reload(error), c.ok) << c.text;
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(auth.get()->required());
        EXPECT_EQ(auth.get()->check("alice", "secret"), !c.ok) << c.text;  // alice until bob's file
    }
    EXPECT_NE(stats.render("").find("tag_exporter_config_reloads_total{result=\"failure\"} 3\n"),
              std::string::npos);
}

}  // namespace
