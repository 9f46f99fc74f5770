// tag_exporter end to end: the real daemon probing scripted devices on
// 127.0.0.1, asked over real HTTP, at ports chosen at run time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

// The daemon on a free port, with one module "m" asking TAG_DEV_CFG.
class Exporter {
public:
    Exporter() {
        char dir[] = "/tmp/exporter-e2e-XXXXXX";
        folder = mkdtemp(dir);
        std::ofstream(folder + "/modules.yml")
            << "modules:\n  m:\n    timeout: 0.6\n    retries: 1\n    tags: [TAG_DEV_CFG]\n";
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0) return;
        std::string config = "--config.file=" + folder + "/modules.yml";
        pid = fork();
        if (pid == 0) {
            dup2(err[1], STDERR_FILENO);
            execl(TAG_EXPORTER_PATH, TAG_EXPORTER_PATH, config.c_str(), "--web.listen-address=127.0.0.1:0",
                  nullptr);
            _exit(127);
        }
        close(err[1]);
        log = fdopen(err[0], "r");
        char line[512];
        const std::string mark = "listening on port ";
        while (log && fgets(line, sizeof line, log)) {
            std::string text = line;
            if (auto at = text.find(mark); at != std::string::npos) {
                port = uint16_t(std::stoi(text.substr(at + mark.size())));
                break;
            }
        }
    }
    ~Exporter() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (log) fclose(log);
        std::string rm = "rm -rf " + folder;
        if (system(rm.c_str()) != 0) ADD_FAILURE() << rm;
    }
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // The body of GET path, or "" when there was no answer.
    std::string get(const std::string& path) const {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        std::string reply;
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            if (write(fd, request.data(), request.size()) == ssize_t(request.size())) {
                char buf[4096];
                for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) reply.append(buf, size_t(n));
            }
        }
        close(fd);
        auto body = reply.find("\r\n\r\n");
        return body == std::string::npos ? "" : reply.substr(body + 4);
    }

    uint16_t port = 0;

private:
    std::string folder;
    pid_t pid = -1;
    FILE* log = nullptr;
};

std::string probe(const Exporter& e, const UdpPeer& device) {
    return e.get("/probe?module=m&target=127.0.0.1:" + std::to_string(device.port()));
}

VTag* u8(uint8_t id, uint8_t v) { return VTagFactory::createVTag(id, v); }

TEST(ExporterE2E, LateReplyInTwoSegmentsIsProbedWhole) {
    Exporter exporter;
    ASSERT_NE(exporter.port, 0);
    // Attempt 1 (sequence 0) is answered while attempt 2 is out.
    UdpPeer device;
    device.answer({pause(300ms), send(segment(1, 0x00, {u8(6, 1), u8(7, 2), u8(10, 3)})),
                   send(segment(1, 0x80, {u8(11, 4), u8(12, 5)}))});
    std::string metrics = probe(exporter, device);
    device.finish();
    EXPECT_NE(metrics.find("\ntag_probe_success 1\n"), std::string::npos) << metrics;
    for (const char* line : {"\ntag_dev_state 1\n", "\ntag_dev_status 2\n", "\ntag_dev_type 3\n",
                             "\ntag_dev_ndiscinput 4\n", "\ntag_dev_ndiscoutput 5\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
}

TEST(ExporterE2E, ItsOwnRequestReflectedIsNoAnswer) {
    Exporter exporter;
    ASSERT_NE(exporter.port, 0);
    VMsg get(MSG_GET);
    get.addTag(VTagFactory::createVTag(5));
    Bytes reflected = encode(get);
    reflected[2] = 0x80;  // sequence 0, last: the request exactly as it went out
    UdpPeer reflector;
    reflector.answer({send(reflected)});
    std::string metrics = probe(exporter, reflector);
    reflector.finish();
    EXPECT_NE(metrics.find("\ntag_probe_success 0\n"), std::string::npos) << metrics;
}

}  // namespace
