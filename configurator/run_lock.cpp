#include "run_lock.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>

#include "tag_text.h"

namespace tagconf {

namespace {

constexpr uint64_t IPV6_REGION = uint64_t(1) << 48;
constexpr uint64_t IPV6_HASH_MASK = (uint64_t(1) << 40) - 1;
// How often a waiting run tries again.
constexpr int RETRY_MILLISECONDS = 50;
// The most of a holder's command line a message quotes.
constexpr size_t MAX_COMMAND_SHOWN = 200;

uint64_t fnv1a(const void* data, size_t size, uint64_t hash) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3ULL;
    return hash;
}

bool keyOf(const sockaddr_storage& a, uint64_t& key) {
    if (a.ss_family == AF_INET) {
        const auto& four = reinterpret_cast<const sockaddr_in&>(a);
        key = uint64_t(ntohs(four.sin_port)) << 32 | ntohl(four.sin_addr.s_addr);
        return true;
    }
    if (a.ss_family != AF_INET6) return false;
    const auto& six = reinterpret_cast<const sockaddr_in6&>(a);
    uint64_t hash = fnv1a(&six.sin6_addr, sizeof six.sin6_addr, 0xcbf29ce484222325ULL);
    hash = fnv1a(&six.sin6_scope_id, sizeof six.sin6_scope_id, hash);
    hash = fnv1a(&six.sin6_port, sizeof six.sin6_port, hash);
    key = IPV6_REGION + (hash & IPV6_HASH_MASK);
    return true;
}

// Merges the ranges across their narrowest gaps until at most limit remain.
void coarsen(std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t limit) {
    if (ranges.size() <= limit) return;
    std::vector<size_t> gaps(ranges.size() - 1);  // gap i lies after range i
    std::iota(gaps.begin(), gaps.end(), 0);
    auto width = [&](size_t i) { return ranges[i + 1].first - ranges[i].second; };
    size_t merged = ranges.size() - limit;
    std::nth_element(gaps.begin(), gaps.begin() + long(merged), gaps.end(),
                     [&](size_t a, size_t b) { return width(a) < width(b); });
    std::vector<bool> bridged(ranges.size());
    for (size_t i = 0; i < merged; ++i) bridged[gaps[i]] = true;
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0 && bridged[i - 1])
            out.back().second = ranges[i].second;
        else
            out.push_back(ranges[i]);
    }
    ranges = std::move(out);
}

// The lock file, opened without following a link and without O_CREAT on a
// file that exists (the kernel may refuse that in a shared sticky folder
// for a file another user made); made writable by every user, so that all
// of them lock the same file.
int openLockFile(const std::string& path, std::string& why) {
    for (int tries = 0; tries < 3; ++tries) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0666);
            if (fd >= 0) fchmod(fd, 0666);
            if (fd < 0 && errno == EEXIST) continue;
        }
        if (fd < 0) break;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
        close(fd);
        why = "lock file " + printable(path) + " is not a regular file";
        return -1;
    }
    why = "cannot open lock file " + printable(path) + ": " + strerror(errno) +
          " (TAGCONF_LOCK_FILE may name another)";
    return -1;
}

bool setLock(int fd, short type, uint64_t first, uint64_t last, int command) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = off_t(first);
    l.l_len = type == F_UNLCK ? 0 : off_t(last - first + 1);
    return fcntl(fd, command, &l) == 0;
}

// "pid 1234 (tagconf apply fleet.yml)" for whoever holds a lock over the range.
std::string holderOf(int fd, uint64_t first, uint64_t last) {
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = off_t(first);
    l.l_len = off_t(last - first + 1);
    if (fcntl(fd, F_GETLK, &l) != 0 || l.l_type == F_UNLCK) return "another run (gone since)";
    if (l.l_pid <= 0) return "a process not visible from here";
    std::ifstream in("/proc/" + std::to_string(l.l_pid) + "/cmdline", std::ios::binary);
    std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!command.empty() && command.back() == '\0') command.pop_back();
    if (command.size() > MAX_COMMAND_SHOWN) command.replace(MAX_COMMAND_SHOWN, std::string::npos, "...");
    // Arguments apart by spaces; any other byte a terminal would act on as '?'.
    for (char& c : command)
        if (c == '\0')
            c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return "pid " + std::to_string(l.l_pid) + (command.empty() ? "" : " (" + command + ")");
}

}  // namespace

std::string lockFilePath() {
    if (const char* given = getenv("TAGCONF_LOCK_FILE"); given && *given) return given;
    struct stat st {};
    if (stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && access("/run/lock", W_OK) == 0)
        return "/run/lock/tagconf.lock";
    return "/tmp/tagconf.lock";
}

std::vector<std::pair<uint64_t, uint64_t>> lockRanges(const std::vector<sockaddr_storage>& addresses) {
    std::vector<uint64_t> keys;
    keys.reserve(addresses.size());
    for (const sockaddr_storage& a : addresses)
        if (uint64_t key; keyOf(a, key)) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (uint64_t key : keys) {
        if (!ranges.empty() && ranges.back().second + 1 == key)
            ranges.back().second = key;
        else
            ranges.emplace_back(key, key);
    }
    coarsen(ranges, MAX_LOCK_RANGES);
    return ranges;
}

RunLock::~RunLock() {
    if (fd >= 0) close(fd);
}

RunLock::Outcome RunLock::take(const std::string& path, const std::vector<sockaddr_storage>& addresses,
                               double waitSeconds, int stopFd, std::string& why) {
    fd = openLockFile(path, why);
    if (fd < 0) return Outcome::Failed;
    auto ranges = lockRanges(addresses);
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    for (;;) {
        // All or none, so that two runs waiting never hold what the other waits for.
        auto busy = std::find_if(ranges.begin(), ranges.end(), [&](const auto& r) {
            return !setLock(fd, F_WRLCK, r.first, r.second, F_SETLK);
        });
        if (busy == ranges.end()) return Outcome::Taken;
        if (errno != EAGAIN && errno != EACCES) {
            why = "cannot lock " + printable(path) + ": " + strerror(errno);
            return Outcome::Failed;
        }
        why = holderOf(fd, busy->first, busy->second);
        setLock(fd, F_UNLCK, 0, 0, F_SETLK);
        if (std::chrono::steady_clock::now() >= until) return Outcome::Held;
        pollfd stop{stopFd, POLLIN, 0};
        if (poll(&stop, stopFd >= 0 ? 1 : 0, RETRY_MILLISECONDS) > 0) return Outcome::Stopped;
    }
}

}  // namespace tagconf
