// Load for bench/exporter_guessers.sh, on loopback only.
//   guessers hash PASSWORD COST
//     prints a bcrypt hash of the password at that cost.
//   guessers run PORT GUESSERS SECONDS [storm]
//     GUESSERS clients, each from its own address of 127.0.0.0/8, send
//     requests with wrong credentials back to back on kept-alive
//     connections (half a wrong password for "bench", half unknown users),
//     while one client scrapes /metrics as bench:s3cret (verified once
//     before measuring) every 10 ms on its own kept-alive connection, and
//     another comes for the first time as first0, first1, ... (password
//     "first") every 500 ms. With "storm", a client reloads (POST
//     /-/reload as bench) back to back besides. Prints the scrape's and the
//     first-timers' latencies (p50, p99, max) and what the guessers got.
//   guessers refusals PORT USER...
//     the median time of a refusal (wrong password) for each user, 21
//     tries each, every try from an address of its own.
#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string base64(const std::string& text) {
    static constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t bits = uint32_t(uint8_t(text[i])) << 16;
        if (i + 1 < text.size()) bits |= uint32_t(uint8_t(text[i + 1])) << 8;
        if (i + 2 < text.size()) bits |= uint8_t(text[i + 2]);
        out += DIGITS[(bits >> 18) & 63];
        out += DIGITS[(bits >> 12) & 63];
        out += i + 1 < text.size() ? DIGITS[(bits >> 6) & 63] : '=';
        out += i + 2 < text.size() ? DIGITS[bits & 63] : '=';
    }
    return out;
}

// One kept-alive HTTP/1.1 connection from a loopback address, opened again
// when the server closes it.
class Connection {
public:
    Connection(std::string source, uint16_t port) : source(std::move(source)), port(port) {}
    ~Connection() { drop(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The status of the answer, 0 when none came.
    int request(const std::string& method, const std::string& path, const std::string& user,
                const std::string& password) {
        std::string text = method + " " + path + " HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                           base64(user + ":" + password) + "\r\n\r\n";
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd < 0 && !open()) return 0;
            if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size())) {
                int status = readAnswer();
                if (status != 0) return status;
            }
            drop();
        }
        return 0;
    }

private:
    bool open() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{}, server{};
        local.sin_family = server.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(port);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval wait{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            drop();
            return false;
        }
        return true;
    }
    void drop() {
        if (fd >= 0) close(fd);
        fd = -1;
        buffer.clear();
    }
    // Headers, then Content-Length bytes of body.
    int readAnswer() {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return 0;
        int status = atoi(buffer.c_str() + 9);
        size_t length = 0;
        size_t at = buffer.find("Content-Length: ");
        if (at != std::string::npos && at < end) length = strtoul(buffer.c_str() + at + 16, nullptr, 10);
        while (buffer.size() < end + 4 + length)
            if (!fill()) return 0;
        bool closing = buffer.substr(0, end).find("Connection: close") != std::string::npos;
        buffer.erase(0, end + 4 + length);
        if (closing) drop();
        return status;
    }
    bool fill() {
        char chunk[65536];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer.append(chunk, size_t(n));
        return true;
    }

    std::string source;
    uint16_t port;
    int fd = -1;
    std::string buffer;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

void printLatencies(const char* what, const std::vector<double>& ms) {
    printf("%s: %zu requests, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", what, ms.size(), percentile(ms, 0.5),
           percentile(ms, 0.99), ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()));
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The address of guesser i: 127.0.0.2 on, then 127.0.1.x and so on.
std::string guesserAddress(int i) {
    return "127.0." + std::to_string(i / 250) + "." + std::to_string(2 + i % 250);
}

int run(uint16_t port, int guesserCount, int seconds, bool storm) {
    Connection scraper("127.0.0.1", port);
    if (scraper.request("GET", "/metrics", "bench", "s3cret") != 200) {
        fprintf(stderr, "guessers: bench:s3cret is not let in\n");
        return 1;
    }
    std::atomic<bool> going{true};
    std::mutex lock;
    std::map<int, uint64_t> guessed;  // status -> count
    std::vector<std::thread> threads;
    for (int i = 0; i < guesserCount; ++i) {
        threads.emplace_back([&, i] {
            Connection connection(guesserAddress(i), port);
            std::map<int, uint64_t> mine;
            std::string user = i % 2 ? "bench" : "guess" + std::to_string(i);
            for (uint64_t n = 0; going; ++n)
                ++mine[connection.request("GET", "/metrics", user, "wrong" + std::to_string(n))];
            std::lock_guard hold(lock);
            for (auto [status, count] : mine) guessed[status] += count;
        });
    }
    std::atomic<uint64_t> reloads{0};
    if (storm) {
        threads.emplace_back([&] {
            Connection connection("127.0.0.1", port);
            while (going)
                if (connection.request("POST", "/-/reload", "bench", "s3cret") == 200) ++reloads;
        });
    }
    std::vector<double> firstMs;
    threads.emplace_back([&] {
        for (int n = 0; going; ++n) {
            Connection connection("127.0.0.1", port);
            auto start = Clock::now();
            int status = connection.request("GET", "/metrics", "first" + std::to_string(n), "first");
            if (status != 200) fprintf(stderr, "guessers: first%d got %d\n", n, status);
            firstMs.push_back(millisecondsSince(start));
            for (int waited = 0; waited < 50 && going; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the guessers' first burst passes
    std::vector<double> scrapeMs;
    int failed = 0;
    for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;) {
        auto start = Clock::now();
        if (scraper.request("GET", "/metrics", "bench", "s3cret") != 200) ++failed;
        scrapeMs.push_back(millisecondsSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    going = false;
    for (std::thread& t : threads) t.join();
    printf("%d guessers%s:\n", guesserCount, storm ? " and a reload storm" : "");
    printLatencies("  authorised scrape", scrapeMs);
    printLatencies("  first-time authorised request", firstMs);
    printf("  scrapes refused: %d\n  guesses answered:", failed);
    for (auto [status, count] : guessed) printf(" %llu x %d", (unsigned long long)count, status);
    if (storm) printf("\n  reloads: %llu", (unsigned long long)reloads.load());
    printf("\n");
    return failed == 0 && guessed[200] == 0 ? 0 : 1;
}

int refusals(uint16_t port, int count, char** users) {
    int address = 0;
    for (int u = 0; u < count; ++u) {
        std::vector<double> ms;
        for (int i = 0; i < 21; ++i) {
            Connection connection("127.0.2." + std::to_string(1 + address++ % 250), port);
            auto start = Clock::now();
            int status = connection.request("GET", "/-/healthy", users[u], "wrong");
            ms.push_back(millisecondsSince(start));
            if (status != 401) fprintf(stderr, "guessers: a wrong password of %s got %d\n", users[u], status);
        }
        printf("refusal of %s: median %.1f ms\n", users[u], percentile(ms, 0.5));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hash" && argc == 4) {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        crypt_data data{};
        if (!crypt_gensalt_rn("$2y$", strtoul(argv[3], nullptr, 10), nullptr, 0, setting, sizeof setting))
            return 1;
        printf("%s\n", crypt_r(argv[2], setting, &data));
        return 0;
    }
    if (mode == "run" && (argc == 5 || argc == 6))
        return run(uint16_t(atoi(argv[2])), atoi(argv[3]), atoi(argv[4]), argc == 6);
    if (mode == "refusals" && argc > 3) return refusals(uint16_t(atoi(argv[2])), argc - 3, argv + 3);
    fprintf(
        stderr,
        "usage: guessers hash PASSWORD COST | run PORT GUESSERS SECONDS [storm] | refusals PORT USER...\n");
    return 2;
}
