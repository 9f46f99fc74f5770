// The whole tag_exporter as the Prometheus exporters beside it behave: TLS
// and basic authentication from --web.config.file, the /-/ endpoints,
// /config, a probe's debug log and figures, its log formats, and its start
// failing clearly.
#include <arpa/inet.h>
#include <crypt.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "agent_process.h"
#include "bound_socket.h"
#include "exporter_process.h"
#include "http_get.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;

const char MODULES[] = "modules:\n  m:\n    timeout: 0.6\n    retries: 2\n    tags: [TAG_DEV_ID]\n";

std::string bcryptOf(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$2y$", 4, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data data{};
    return crypt_r(password.c_str(), setting, &data);
}

// curl's answer: the status line and headers (-i) and the body.
RunResult curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"-s", "-i", "-m", "10"});
    return runProgram("/usr/bin/curl", args);
}

std::string statusOf(const RunResult& answer) { return answer.out.substr(0, answer.out.find('\r')); }

struct Served {
    TempDir dir;
    std::string modules = dir.write("modules.yml", MODULES);
};

class ExporterTls : public ::testing::Test {
protected:
    void SetUp() override {
        RunResult made =
            runProgram("/usr/bin/openssl",
                       {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                        "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", files.dir.path + "/server.key", "-out", files.dir.path + "/server.crt"});
        ASSERT_EQ(made.status, 0) << made.err;
        std::string web = files.dir.write("web.yml",
                                          "tls_server_config:\n  cert_file: server.crt\n"
                                          "  key_file: server.key\nbasic_auth_users:\n  alice: " +
                                              bcryptOf("secret") + "\n");
        exporter = std::make_unique<ExporterProcess>(
            TAG_EXPORTER_PATH,
            std::vector<std::string>{"--config.file=" + files.modules, "--web.config.file=" + web});
        port = exporter->waitUntilListening();
        ASSERT_NE(port, 0) << exporter->log();
        url = "https://127.0.0.1:" + std::to_string(port);
    }
    RunResult get(const std::string& path, const std::string& credentials) {
        std::vector<std::string> args = {"--cacert", files.dir.path + "/server.crt", url + path};
        if (!credentials.empty()) args.insert(args.begin(), {"-u", credentials});
        return curl(args);
    }

    Served files;
    std::unique_ptr<ExporterProcess> exporter;
    uint16_t port = 0;
    std::string url;
};

TEST_F(ExporterTls, OnlyTheRightCredentialsAreLetIn) {
    struct Case {
        const char* credentials;
        const char* status;
    } cases[] = {
        {"", "HTTP/1.1 401 Unauthorized"},
        {"alice:wrong", "HTTP/1.1 401 Unauthorized"},
        {"alice:", "HTTP/1.1 401 Unauthorized"},
        {"bob:secret", "HTTP/1.1 401 Unauthorized"},
        {"alice:secret", "HTTP/1.1 200 OK"},
        {"alice:secret", "HTTP/1.1 200 OK"},  // again: from the remembered digest
    };
    for (const Case& c : cases) {
        RunResult answer = get("/-/healthy", c.credentials);
        EXPECT_EQ(statusOf(answer), c.status) << c.credentials << "\n" << answer.out << answer.err;
        if (std::string(c.status).find("401") != std::string::npos) {
            EXPECT_NE(answer.out.find("WWW-Authenticate: Basic realm=\"tag_exporter\"\r\n"),
                      std::string::npos)
                << answer.out;
        }
    }
    // Every path is behind the credentials, not only the probes.
    for (const char* path : {"/metrics", "/probe?target=127.0.0.1&module=m", "/config", "/"})
        EXPECT_EQ(statusOf(get(path, "")), "HTTP/1.1 401 Unauthorized") << path;
    EXPECT_NE(get("/metrics", "alice:secret").out.find("tag_exporter_http_unauthorized_total 8\n"),
              std::string::npos);
}

TEST_F(ExporterTls, PlainHttpIsNotSpokenOnTheTlsPort) {
    std::string answer = httpGet(port, "/-/healthy", "", "127.0.0.1", 3s);
    EXPECT_EQ(answer.find("HTTP/"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("Healthy"), std::string::npos) << answer;
    EXPECT_EQ(statusOf(get("/-/healthy", "alice:secret")), "HTTP/1.1 200 OK");  // and it still serves TLS
}

TEST(ExporterWebConfig, ABadFileStopsTheStartNamingTheFileAndTheFault) {
    Served files;
    struct Case {
        std::string text, fault;
    } cases[] = {
        {"basic_auth_users:\n  alice: secret\n",
         ":2: the password hash of alice is not a bcrypt hash ($2y$...)"},
        {"tls_server_config:\n  cert_file: none.crt\n  key_file: none.key\n",
         ":2: cert_file " + files.dir.path + "/none.crt cannot be read (or is over 1 MiB)"},
        {"tls: yes\n", ":1: unknown key \"tls\" at the top level"},
    };
    for (const Case& c : cases) {
        std::string web = files.dir.write("web.yml", c.text);
        RunResult run =
            runProgram(TAG_EXPORTER_PATH, {"--config.file=" + files.modules, "--web.config.file=" + web,
                                           "--web.listen-address=127.0.0.1:0"});
        EXPECT_EQ(run.status, 1) << c.text;
        EXPECT_EQ(run.err.rfind("tag_exporter: " + web + c.fault, 0), 0U) << run.err;
    }
    RunResult missing = runProgram(TAG_EXPORTER_PATH, {"--config.file=" + files.modules,
                                                       "--web.config.file=" + files.dir.path + "/absent.yml",
                                                       "--web.listen-address=127.0.0.1:0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "tag_exporter: " + files.dir.path + "/absent.yml:0: cannot be read (or is over 1 MiB)\n");
}

// A TCP port of 127.0.0.1 held by the test.
struct HeldTcpPort {
    HeldTcpPort() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 1);
        socklen_t length = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~HeldTcpPort() { close(fd); }
    HeldTcpPort(const HeldTcpPort&) = delete;
    HeldTcpPort& operator=(const HeldTcpPort&) = delete;
    int fd;
    uint16_t port;
};

TEST(ExporterStart, APortInUseIsNamedWithTheSystemsReason) {
    Served files;
    HeldTcpPort held;
    std::string address = "127.0.0.1:" + std::to_string(held.port);
    RunResult run =
        runProgram(TAG_EXPORTER_PATH, {"--config.file=" + files.modules, "--web.listen-address=" + address});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "tag_exporter: cannot listen on " + address + ": Address already in use\n");
}

TEST(ExporterStart, TheHttpLibraryAddsNoNoiseToTheLog) {
    Served files;
    ExporterProcess exporter(TAG_EXPORTER_PATH, {"--config.file=" + files.modules});
    uint16_t port = exporter.waitUntilListening();
    ASSERT_NE(port, 0) << exporter.log();
    EXPECT_NE(httpGet(port, "/-/healthy").find("Healthy"), std::string::npos);
    exporter.signal(SIGTERM);
    EXPECT_EQ(exporter.waitForExit(10s), 0);
    const std::string& log = exporter.log();
    EXPECT_EQ(log.find("MHD_OPTION"), std::string::npos) << log;
    EXPECT_EQ(log.find("http: "), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed to bind"), std::string::npos) << log;
}

// The start-up line names the address as well as the port: whether other
// machines can reach the exporter depends on it.
TEST(ExporterLog, TheStartLineNamesTheAddressListenedOn) {
    Served files;
    struct Case {
        std::string address, at;
    } cases[] = {
        {"127.0.0.1:0", " at 127.0.0.1\"\n"},
        {"127.0.0.3:0", " at 127.0.0.3\"\n"},
        {"[::1]:0", " at [::1]\"\n"},
    };
    for (const Case& c : cases) {
        ExporterProcess exporter(TAG_EXPORTER_PATH,
                                 {"--config.file=" + files.modules, "--web.listen-address=" + c.address});
        uint16_t port = exporter.waitUntilListening();
        if (port == 0 && c.address[0] == '[') {
            std::cout << "skipped " << c.address << ": this machine cannot listen on ::1\n";
            continue;
        }
        ASSERT_NE(port, 0) << exporter.log();
        std::string line = "msg=\"listening on port " + std::to_string(port) + c.at;
        EXPECT_NE(exporter.log().find(line), std::string::npos) << exporter.log();
    }
}

TEST(ExporterLog, LogfmtByDefaultAndJsonOnRequest) {
    Served files;
    struct Case {
        std::vector<std::string> flags;
        std::string lineStart, message;
    } cases[] = {
        {{}, "ts=", "level=info logger=tag_exporter msg=\"listening on port "},
        {{"--log.format=logfmt"}, "ts=", "level=info logger=tag_exporter msg=\"listening on port "},
        {{"--log.format=json"},
         "{\"ts\":\"",
         "\",\"level\":\"info\",\"logger\":\"tag_exporter\",\"msg\":\"listening on port "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> flags = c.flags;
        flags.push_back("--config.file=" + files.modules);
        ExporterProcess exporter(TAG_EXPORTER_PATH, flags);
        ASSERT_NE(exporter.waitUntilListening(), 0) << exporter.log();
        const std::string& log = exporter.log();
        EXPECT_EQ(log.rfind(c.lineStart, 0), 0U) << log;
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
    RunResult bad = runProgram(TAG_EXPORTER_PATH, {"--log.format=xml"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.rfind("tag_exporter: --log.format must be logfmt or json\n", 0), 0U) << bad.err;
}

class ExporterEndpoints : public ::testing::Test {
protected:
    void SetUp() override {
        exporter = std::make_unique<ExporterProcess>(
            TAG_EXPORTER_PATH, std::vector<std::string>{"--config.file=" + files.modules});
        port = exporter->waitUntilListening();
        ASSERT_NE(port, 0) << exporter->log();
        url = "http://127.0.0.1:" + std::to_string(port);
    }
    RunResult request(const std::string& method, const std::string& path) {
        return curl({"-X", method, url + path});
    }
    std::string body(const std::string& path) { return bodyOf(httpGet(port, path)); }

    Served files;
    std::unique_ptr<ExporterProcess> exporter;
    uint16_t port = 0;
    std::string url;
};

TEST_F(ExporterEndpoints, HealthReadinessAndTheModulesInForce) {
    EXPECT_EQ(body("/-/healthy"), "Healthy\n");
    EXPECT_EQ(body("/-/ready"), "Ready\n");
    EXPECT_EQ(
        body("/config"),
        "modules:\n  m:\n    port: 60000\n    timeout: 0.6\n    retries: 2\n    tags:\n      - TAG_DEV_ID\n");
}

TEST_F(ExporterEndpoints, PostReloadAnswersWithItsResultAndKeepsTheOldModulesOnFailure) {
    RunResult wrongMethod = request("GET", "/-/reload");
    EXPECT_EQ(statusOf(wrongMethod), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_NE(wrongMethod.out.find("Allow: POST\r\n"), std::string::npos) << wrongMethod.out;
    EXPECT_EQ(statusOf(request("PUT", "/-/reload")), "HTTP/1.1 405 Method Not Allowed");

    files.dir.write("modules.yml", "modules:\n  n:\n    tags: [TAG_DEV_LABEL]\n");
    RunResult good = request("POST", "/-/reload");
    EXPECT_EQ(statusOf(good), "HTTP/1.1 200 OK") << good.out;
    EXPECT_NE(body("/config").find("  n:\n"), std::string::npos);

    files.dir.write("modules.yml", "modules:\n  o:\n    tags: [TAG_NO_SUCH]\n");
    RunResult bad = request("POST", "/-/reload");
    EXPECT_EQ(statusOf(bad), "HTTP/1.1 500 Internal Server Error") << bad.out;
    EXPECT_NE(bad.out.find("failed to reload, the configuration in force is kept: " + files.modules +
                           ":3: unknown tag name \"TAG_NO_SUCH\"\n"),
              std::string::npos)
        << bad.out;
    EXPECT_NE(body("/config").find("  n:\n"), std::string::npos);  // the old modules are kept
    EXPECT_NE(body("/metrics").find("tag_exporter_config_last_reload_successful 0\n"), std::string::npos);
    EXPECT_EQ(statusOf(request("POST", "/-/healthy")), "HTTP/1.1 405 Method Not Allowed");
}

TEST_F(ExporterEndpoints, AProbesFiguresShowItsRetriesAndLoss) {
    AgentProcess agent;
    BoundSocket silent;  // takes the datagrams, never answers
    struct Case {
        int port;
        const char* success;
        const char* attempts;
        const char* received;
    } cases[] = {
        {agent.port, "tag_probe_success 1\n", "tag_probe_attempts 1\n", "tag_probe_datagrams_received 1\n"},
        {silent.port, "tag_probe_success 0\n", "tag_probe_attempts 3\n", "tag_probe_datagrams_received 0\n"},
    };
    for (const Case& c : cases) {
        std::string metrics = body("/probe?target=127.0.0.1:" + std::to_string(c.port) + "&module=m");
        EXPECT_NE(metrics.find(c.success), std::string::npos) << metrics;
        EXPECT_NE(metrics.find(c.attempts), std::string::npos) << metrics;
        EXPECT_NE(metrics.find(std::string("tag_probe_datagrams_sent ") + (c.attempts + 19)),
                  std::string::npos)
            << metrics;
        EXPECT_NE(metrics.find(c.received), std::string::npos) << metrics;
    }
}

TEST_F(ExporterEndpoints, DebugGivesTheProbesLogInPlainText) {
    AgentProcess agent;
    std::string reply =
        httpGet(port, "/probe?target=127.0.0.1:" + std::to_string(agent.port) + "&module=m&debug=true");
    EXPECT_NE(reply.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << reply;
    std::string log = bodyOf(reply);
    for (const char* line : {"request to 127.0.0.1:", "GET: TAG_DEV_ID \n", "attempt 1 (sequence ",
                             "): sent 7 bytes\n", "received a segment of ", "bytes, the last\n",
                             "exchange ended: answered, 1 attempts, 1 segments received\n",
                             "reply: GET: TAG_DEV_ID=", "probe succeeded\n",
                             "\nMetrics that would have been returned:\n", "tag_probe_success 1\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

    BoundSocket silent;
    log = body("/probe?target=127.0.0.1:" + std::to_string(silent.port) + "&module=m&debug=true");
    for (const char* line : {"attempt 1 (sequence ", "attempt 3 (sequence ", "no whole reply in time\n",
                             "exchange ended: timed_out, 3 attempts, 0 segments received\n",
                             "probe failed: timed_out\n", "tag_probe_success 0\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(statusLineOf(httpGet(port, "/probe?target=127.0.0.1&module=m&debug=yes")),
              "HTTP/1.1 400 Bad Request");
}

}  // namespace
