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
    timer = std::thread([this] { tell(); });
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
        BasicAuth::Clock::time_point answerAt;
        bool right = check.auth->check(check.user, check.password, &answerAt);
        forget(check.password);
        if (right || answerAt <= BasicAuth::Clock::now()) {
            check.done(right ? Verdict::Granted : Verdict::Refused);
            hold.lock();
        } else {
            hold.lock();
            later.emplace(answerAt, std::move(check.done));
            laterWake.notify_one();
        }
    }
}

void CheckQueue::tell() {
    std::unique_lock hold(lock);
    for (;;) {
        // Once stopping, and the workers gone, whatever is left is told now.
        bool workersGone = workersDone;
        if (later.empty()) {
            if (workersGone) return;
            laterWake.wait(hold);
            continue;
        }
        auto first = later.begin();
        if (!workersGone && first->first > BasicAuth::Clock::now()) {
            laterWake.wait_until(hold, first->first);
            continue;
        }
        Done done = std::move(first->second);
        later.erase(first);
        hold.unlock();
        done(Verdict::Refused);
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
    {
        std::lock_guard hold(lock);
        workersDone = true;
    }
    laterWake.notify_all();
    if (timer.joinable()) timer.join();
}

size_t CheckQueue::waiting() {
    std::lock_guard hold(lock);
    return queued.size();
}

}  // namespace exporter
