// Password checks off the HTTP thread: a bounded queue and a few workers
// that run bcrypt, so that a check costing tens of milliseconds holds its own
// request only, never the scrapes of those whose password is remembered.
//
// Checks go by rank, lowest first and in order of arrival within a rank (the
// HTTP side ranks by the failures the client's address owes, so a client
// with no failures goes before a guesser that has many). When the queue is
// full, the check of the highest rank is turned away Busy: the one arriving
// if none queued ranks higher.
#ifndef EXPORTER_CHECK_QUEUE_H
#define EXPORTER_CHECK_QUEUE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "basic_auth.h"

namespace exporter {

class CheckQueue {
public:
    enum class Verdict : uint8_t { Granted, Refused, Busy };
    // Runs once per check: on a worker, or on the caller of submit for a
    // check turned away while queued.
    using Done = std::function<void(Verdict)>;

    CheckQueue(size_t workerCount, size_t capacity);
    ~CheckQueue();
    CheckQueue(const CheckQueue&) = delete;
    CheckQueue& operator=(const CheckQueue&) = delete;

    // Queues the check of the pair against auth. False once stopped, and
    // then done is never called.
    bool submit(std::shared_ptr<BasicAuth> auth, std::string user, std::string password, unsigned rank,
                Done done);
    // Runs every check queued, then ends the workers; later submits fail.
    void stop();
    // Checks waiting for a worker.
    size_t waiting();

    // Workers for a machine of that many cores: half of them, one to four,
    // so that the HTTP thread and the probes keep a core.
    static size_t workersFor(unsigned cores);

private:
    struct Check {
        std::shared_ptr<BasicAuth> auth;
        std::string user, password;
        Done done;
    };
    using Rank = std::pair<unsigned, uint64_t>;  // rank, then arrival
    void work();

    size_t capacity;
    std::mutex lock;
    std::condition_variable wake;
    std::map<Rank, Check> queued;  // under lock
    uint64_t arrivals = 0;         // under lock
    bool stopping = false;         // under lock
    std::vector<std::thread> workers;
};

}  // namespace exporter

#endif
