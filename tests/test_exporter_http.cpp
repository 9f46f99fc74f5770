// The exporter's HTTP side on a real socket, with a transport the test
// answers: refusals with their status and reason, the bound on probes in
// flight, the scrape time-out as the budget, and slow clients cut off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "http_get.h"
#include "http_server.h"

namespace {

using namespace std::chrono_literals;

struct HeldTransport : exporter::Transport {
    std::mutex lock;
    std::vector<tagengine::Exchange> asked;
    void submit(tagengine::Exchange exchange) override {
        std::lock_guard guard(lock);
        asked.push_back(std::move(exchange));
    }
    size_t count() {
        std::lock_guard guard(lock);
        return asked.size();
    }
};

int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

std::string readAll(int fd) {
    std::string reply;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, size_t(n));
    close(fd);
    return reply;
}

int sendRequest(uint16_t port, const std::string& method, const std::string& uri,
                const std::string& headers = "") {
    int fd = connectTo(port);
    std::string text =
        method + " " + uri + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n";
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    return fd;
}

std::string body(const std::string& reply) { return reply.substr(reply.find("\r\n\r\n") + 4); }
std::string statusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

class ExporterHttp : public ::testing::Test {
protected:
    void SetUp() override {
        auto config = std::make_shared<exporter::Config>();
        config->modules["device"] = exporter::Module{{8}, 60000, 5, 2};
        holder.set(config);
        exporter::ServerSettings settings;
        auto& listen = reinterpret_cast<sockaddr_in&>(settings.listen);
        listen.sin_family = AF_INET;
        listen.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        settings.maxInFlight = 1;
        settings.connectionTimeout = 1;
        configure(settings);
        std::string reason;
        ASSERT_TRUE(settings.allowed.parse("127.0.0.0/16", reason));
        server = std::make_unique<exporter::HttpServer>(settings, holder, transport, resolver, stats);
        std::string error;
        ASSERT_TRUE(server->start(error)) << error;
        port = server->port();
    }

    virtual void configure(exporter::ServerSettings&) {}

    exporter::ConfigHolder holder;
    HeldTransport transport;
    exporter::Resolver resolver;
    exporter::ExporterStats stats;
    std::unique_ptr<exporter::HttpServer> server;
    uint16_t port = 0;
};

TEST_F(ExporterHttp, BadRequestsAreRefusedWithTheirReason) {
    struct Case {
        const char *method, *uri, *headers, *status, *reason;
    };
    const Case cases[] = {
        {"GET", "/probe?module=device", "", "HTTP/1.1 400 Bad Request", "target parameter is missing\n"},
        {"GET", "/probe?target=127.0.0.1&module=nope", "", "HTTP/1.1 400 Bad Request",
         "unknown module \"nope\"\n"},
        {"GET", "/probe?target=127.1.0.1", "", "HTTP/1.1 400 Bad Request",
         "target 127.1.0.1 is outside --probe.allowed-targets\n"},
        {"GET", "/probe?target=127.0.0.1", "X-Prometheus-Scrape-Timeout-Seconds: soon\r\n",
         "HTTP/1.1 400 Bad Request", "X-Prometheus-Scrape-Timeout-Seconds is not a positive number\n"},
        {"POST", "/probe?target=127.0.0.1", "Content-Length: 0\r\n", "HTTP/1.1 405 Method Not Allowed",
         "only GET and HEAD are served\n"},
        {"GET", "/nope", "", "HTTP/1.1 404 Not Found",
         "not found; try /probe?target=HOST[:PORT]&module=NAME\n"},
    };
    for (const Case& c : cases) {
        std::string reply = readAll(sendRequest(port, c.method, c.uri, c.headers));
        EXPECT_EQ(statusLine(reply), c.status) << c.uri;
        EXPECT_EQ(body(reply), c.reason) << c.uri;
    }
    // A request line beyond the memory bound is refused by the HTTP library.
    std::string reply = readAll(sendRequest(port, "GET", "/probe?target=" + std::string(20000, 'a')));
    EXPECT_TRUE(reply.rfind("HTTP/1.1 414", 0) == 0 || reply.rfind("HTTP/1.1 431", 0) == 0)
        << statusLine(reply);
    EXPECT_EQ(transport.count(), 0U);
}

TEST_F(ExporterHttp, ProbesPastTheBoundGet503AndTheHeldOneIsAnswered) {
    int held = sendRequest(port, "GET", "/probe?target=127.0.0.1:7&module=device",
                           "X-Prometheus-Scrape-Timeout-Seconds: 3\r\n");
    for (int i = 0; i < 500 && transport.count() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(transport.count(), 1U);
    std::string refused = readAll(sendRequest(port, "GET", "/probe?target=127.0.0.1"));
    EXPECT_EQ(statusLine(refused), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(body(refused), "too many probes in flight (1)\n");

    tagengine::Exchange& exchange = transport.asked[0];
    EXPECT_EQ(exchange.port, 7);
    // The scrape time-out less the 0.5 s margin.
    double budget = std::chrono::duration<double>(exchange.deadline - tagengine::Clock::now()).count();
    EXPECT_GT(budget, 1.5);
    EXPECT_LE(budget, 2.5);
    tagengine::Result result;
    result.status = tagengine::Status::Answered;
    result.reply = std::make_unique<VMsg>(1);
    result.reply->addTag(new VTagUInt32(8, 99));
    result.attempts = 1;
    exchange.done(std::move(result));
    std::string reply = readAll(held);
    EXPECT_EQ(statusLine(reply), "HTTP/1.1 200 OK");
    EXPECT_NE(reply.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(body(reply).find("\ntag_dev_id 99\n# HELP tag_probe_success"), std::string::npos) << reply;

    std::string metrics = body(readAll(sendRequest(port, "GET", "/metrics")));
    for (const char* line :
         {"tag_exporter_probes_total{result=\"success\"} 1\n",
          "tag_exporter_probes_total{result=\"overloaded\"} 1\n", "tag_exporter_probes_in_flight 0\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
}

// Answers the probe held by the transport, the index-th exchange asked.
void answer(HeldTransport& transport, size_t index, tagengine::Status status, VMsg* reply) {
    tagengine::Callback done;
    {
        std::lock_guard guard(transport.lock);
        done = std::move(transport.asked[index].done);
    }
    tagengine::Result result;
    result.status = status;
    result.reply.reset(reply);
    result.attempts = 1;
    done(std::move(result));
}

std::vector<uint8_t> askedTags(HeldTransport& transport, size_t index) {
    std::lock_guard guard(transport.lock);
    std::vector<uint8_t> ids;
    auto& request = const_cast<VMsg&>(*transport.asked[index].request);
    request.gotoFirst();
    while (const VTag* tag = request.getTag()) ids.push_back(tag->tagId);
    return ids;
}

void waitForExchanges(HeldTransport& transport, size_t count) {
    for (int i = 0; i < 500 && transport.count() < count; ++i) std::this_thread::sleep_for(10ms);
}

TEST_F(ExporterHttp, TagsADeviceLacksAreNotAskedForAgain) {
    auto config = std::make_shared<exporter::Config>();
    config->modules["device"] = exporter::Module{{8, 67}, 60000, 5, 2};
    holder.set(config);
    const std::string uri = "/probe?target=127.0.0.1:7&module=device";
    int first = sendRequest(port, "GET", uri);
    waitForExchanges(transport, 1);
    ASSERT_EQ(askedTags(transport, 0), (std::vector<uint8_t>{8, 67}));
    auto* notHeld = new VMsg(2);
    notHeld->addTag(new VTagUInt8(2, 67));
    answer(transport, 0, tagengine::Status::ErrorReply, notHeld);
    waitForExchanges(transport, 2);
    ASSERT_EQ(askedTags(transport, 1), (std::vector<uint8_t>{8}));
    answer(transport, 1, tagengine::Status::Answered, new VMsg(1));
    EXPECT_EQ(statusLine(readAll(first)), "HTTP/1.1 200 OK");

    // The next probe of the same target and modules asks only for what the
    // device holds; another target is asked for everything.
    int second = sendRequest(port, "GET", uri);
    waitForExchanges(transport, 3);
    EXPECT_EQ(askedTags(transport, 2), (std::vector<uint8_t>{8}));
    answer(transport, 2, tagengine::Status::Answered, new VMsg(1));
    EXPECT_EQ(statusLine(readAll(second)), "HTTP/1.1 200 OK");
    int other = sendRequest(port, "GET", "/probe?target=127.0.0.2:7&module=device");
    waitForExchanges(transport, 4);
    EXPECT_EQ(askedTags(transport, 3), (std::vector<uint8_t>{8, 67}));
    answer(transport, 3, tagengine::Status::Answered, new VMsg(1));
    readAll(other);

    server->forgetMissingTags();  // as SIGHUP does
    int third = sendRequest(port, "GET", uri);
    waitForExchanges(transport, 5);
    EXPECT_EQ(askedTags(transport, 4), (std::vector<uint8_t>{8, 67}));
    answer(transport, 4, tagengine::Status::Answered, new VMsg(1));
    readAll(third);
}

TEST_F(ExporterHttp, AHostNameIsResolvedAndASilentDeviceIsAFailedProbe) {
    int held = sendRequest(port, "GET", "/probe?target=localhost:9");
    for (int i = 0; i < 500 && transport.count() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(transport.count(), 1U);
    tagengine::Exchange& exchange = transport.asked[0];
    EXPECT_EQ(exchange.host, "127.0.0.1");
    EXPECT_EQ(exchange.port, 9);
    tagengine::Result result;
    result.status = tagengine::Status::TimedOut;
    result.attempts = 3;
    exchange.done(std::move(result));
    std::string reply = readAll(held);
    EXPECT_EQ(statusLine(reply), "HTTP/1.1 200 OK");
    EXPECT_NE(body(reply).find("\ntag_probe_success 0\n"), std::string::npos) << reply;
}

TEST_F(ExporterHttp, ConnectionsAreKeptAlive) {
    int fd = connectTo(port);
    std::string first = "GET /nope HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(write(fd, first.data(), first.size()), ssize_t(first.size()));
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    std::string second = "GET /nope HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(write(fd, second.data(), second.size()), ssize_t(second.size()));
    std::string replies = std::string(buffer, size_t(n)) + readAll(fd);
    size_t count = 0;
    for (size_t at = 0; (at = replies.find("HTTP/1.1 404", at)) != std::string::npos; ++at) ++count;
    EXPECT_EQ(count, 2U) << replies;
}

TEST_F(ExporterHttp, ASlowClientIsCutOff) {
    int fd = connectTo(port);
    std::string part = "GET /probe?target=127.0.0.1 HTTP/1.1\r\n";
    ASSERT_EQ(write(fd, part.data(), part.size()), ssize_t(part.size()));
    auto start = std::chrono::steady_clock::now();
    std::string reply = readAll(fd);  // the server closes after its one-second time-out
    EXPECT_EQ(reply, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 9s);
}

// Every request is answered, within the bounds or beyond them: the HTTP
// library used to run out of memory on many arguments and close silently.
TEST_F(ExporterHttp, EveryRequestIsAnsweredWhateverItsShape) {
    std::string lines80, lines18k, tiny;
    for (int i = 0; i < 195; ++i)
        lines80 += "X-H" + std::to_string(1000 + i) + ": " + std::string(70, 'v') + "\r\n";
    lines18k = lines80 + lines80.substr(0, lines80.find("\r\n", 2400) + 2);  // whole lines
    for (int i = 0; i < 3000; ++i) tiny += "X" + std::to_string(i) + ":\r\n";
    struct Case {
        std::string uri, headers;
        const char *status, *body;  // body "": not checked
    };
    std::string aEqualsB, ampersands(2000, '&');
    for (int i = 0; i < 400; ++i) aEqualsB += "&a=b";
    const Case cases[] = {
        {"/probe?target=127.0.0.1" + aEqualsB, "", "HTTP/1.1 400 Bad Request",
         "unknown query parameter \"a\"\n"},
        {"/nope?" + ampersands, "", "HTTP/1.1 404 Not Found", ""},
        {"/probe?target=127.0.0.1" + ampersands + ampersands, "", "HTTP/1.1 400 Bad Request",
         "query longer than 2048 bytes\n"},
        {"/nope", lines80, "HTTP/1.1 404 Not Found", ""},  // 15.6 KB of headers: within the bound
        {"/nope", lines18k, "HTTP/1.1 431 Request Header Fields Too Large",
         "request line and headers longer than 16384 bytes\n"},
        {"/nope?" + std::string(17000, 'a'), "", "HTTP/1.1 431 Request Header Fields Too Large",
         "request line and headers longer than 16384 bytes\n"},
        {"/nope", tiny, "HTTP/1.1 431 Request Header Fields Too Large", ""},  // the library's own refusal
    };
    for (const Case& c : cases) {
        std::string reply = httpGet(port, c.uri, c.headers, "127.0.0.1", 5s);
        EXPECT_EQ(statusLineOf(reply), c.status) << c.uri.substr(0, 40) << " " << c.headers.size();
        if (*c.body) {
            EXPECT_EQ(bodyOf(reply), c.body) << c.uri.substr(0, 40);
        }
    }
    EXPECT_EQ(transport.count(), 0U);
}

class GuardedHttp : public ExporterHttp {
protected:
    void configure(exporter::ServerSettings& settings) override {
        settings.connectionTimeout = 3;  // silence alone would take three seconds
        settings.requestTimeout = 1;
        settings.maxConnections = 4;
        settings.maxConnectionsPerIp = 3;
    }
};

// Whether the server has closed the connection: a read that ends, not one
// that times out.
bool closedByServer(int fd, std::chrono::milliseconds within) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(within).count();
    timeval wait{micros / 1000000, micros % 1000000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char c;
    ssize_t n = read(fd, &c, 1);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

TEST_F(GuardedHttp, AClientTricklingItsRequestIsCutOffAtTheDeadline) {
    int fd = connectFrom("127.0.0.1", port, 5s);
    ASSERT_GE(fd, 0);
    const std::string request = "GET /nope HTTP/1.1\r\nHost: x\r\nX-Slow: yes\r\n\r\n";
    bool cut = false;
    // A byte every 0.3 s is never three seconds of silence; the request as
    // a whole is due within one second.
    for (size_t i = 0; i < request.size() - 2 && !cut; ++i) {
        cut = send(fd, &request[i], 1, MSG_NOSIGNAL) != 1 || closedByServer(fd, 300ms);
    }
    EXPECT_TRUE(cut);
    close(fd);
}

TEST_F(GuardedHttp, OneAddressCannotTakeEveryConnection) {
    std::vector<int> held;
    for (int i = 0; i < 5; ++i) held.push_back(connectFrom("127.0.0.1", port, 5s));
    // The address's fourth and fifth are refused at once; another address is served.
    EXPECT_FALSE(closedByServer(held[0], 100ms));
    EXPECT_TRUE(closedByServer(held[4], 1s));
    EXPECT_EQ(statusLineOf(httpGet(port, "/nope", "", "127.0.0.2", 2s)), "HTTP/1.1 404 Not Found");
    for (int fd : held) close(fd);
}

TEST_F(GuardedHttp, AtTheLimitTheLongestWaitingConnectionMakesRoom) {
    std::vector<int> held;
    for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"}) {
        held.push_back(connectFrom(from, port, 5s));
        std::this_thread::sleep_for(20ms);  // so that the order of arrival is plain
    }
    EXPECT_FALSE(closedByServer(held[0], 100ms));
    EXPECT_EQ(statusLineOf(httpGet(port, "/nope", "", "127.0.0.2", 2s)), "HTTP/1.1 404 Not Found");
    EXPECT_TRUE(closedByServer(held[0], 1s));      // the oldest went
    EXPECT_FALSE(closedByServer(held[3], 100ms));  // the newest stays
    for (int fd : held) close(fd);
    for (int i = 0; i < 100 && server->connections().open() > 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server->connections().open(), 0U);
    EXPECT_GE(server->connections().cutOff(), 1U);
}

}  // namespace
