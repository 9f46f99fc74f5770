#include "check_queue.h"

#include <algorithm>
#include <cstring>

namespace exporter {

namespace {

void forget(std::string& secret) { explicit_bzero(secret.data(), secret.size()); }

}  // namespace

size_t CheckQueue::workersFor(unsigned cores) { return std::clamp<size_t>(cores / 2, 1, 4); }

CheckQueue::CheckQueue(size_t workerCount, size_t capacity) : capacity(std::max<size_t>(capacity, 1)) {
    for (size_t i = 0; i < std::max<size_t>(workerCount, 1); ++i) workers.emplace_back([this] { work(); });
}

CheckQueue::~CheckQueue() { stop(); }

bool CheckQueue::submit(std::shared_ptr<BasicAuth> auth, std::string user, std::string password,
                        unsigned rank, Done done) {
    Check turnedAway;
    {
        std::lock_guard hold(lock);
        if (stopping) {
            forget(password);
            return false;
        }
        bool admitted = true;
        if (queued.size() >= capacity) {
            auto last = std::prev(queued.end());
            admitted = last->first.first > rank;
            if (admitted) {
                turnedAway = std::move(last->second);
                queued.erase(last);
            }
        }
        if (admitted) {
            queued.emplace(Rank{rank, arrivals++},
                           Check{std::move(auth), std::move(user), std::move(password), std::move(done)});
        } else {
            forget(password);
            turnedAway.done = std::move(done);
        }
    }
    wake.notify_one();
    if (turnedAway.done) {
        forget(turnedAway.password);
        turnedAway.done(Verdict::Busy);
    }
    return true;
}

void CheckQueue::work() {
    std::unique_lock hold(lock);
    for (;;) {
        wake.wait(hold, [this] { return stopping || !queued.empty(); });
        if (queued.empty()) return;  // stopping, and nothing left to run
        Check check = std::move(queued.begin()->second);
        queued.erase(queued.begin());
        hold.unlock();
        bool right = check.auth->check(check.user, check.password);
        forget(check.password);
        check.done(right ? Verdict::Granted : Verdict::Refused);
        hold.lock();
    }
}

void CheckQueue::stop() {
    {
        std::lock_guard hold(lock);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& worker : workers)
        if (worker.joinable()) worker.join();
}

size_t CheckQueue::waiting() {
    std::lock_guard hold(lock);
    return queued.size();
}

}  // namespace exporter
