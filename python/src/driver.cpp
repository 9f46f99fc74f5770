#include "driver.h"

#include <poll.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

namespace py = pybind11;
using namespace tagengine;

namespace tagproto {

namespace {

// The longest wait between looks at Python's signal flag: a signal that
// interrupts poll() is seen at once, this bounds one delivered to another
// thread.
constexpr auto SIGNAL_LOOK = std::chrono::milliseconds(50);

Duration seconds(double s) { return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s)); }

int waitMilliseconds(Clock::time_point wake) {
    auto now = Clock::now();
    if (wake <= now) return 0;
    auto left = std::min<Duration>(wake - now, SIGNAL_LOOK);
    return int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

void applySettings(Exchange& exchange, const CallSettings& call) {
    exchange.attemptTimeout = seconds(call.timeout);
    exchange.retries = call.retries;
    exchange.budget = seconds(call.budget);
}

Driver::Driver(const Options& options) : core(options) {}

uint64_t Driver::start(Exchange exchange, bool write, const CallSettings& call, uint64_t poll) {
    applySettings(exchange, call);
    // Two words of capture: std::function keeps them without an allocation.
    exchange.done = [this, poll](Result&& r) {
        if (poll == 0 || polls.contains(poll)) done.push_back({poll, std::move(r)});
    };
    auto now = Clock::now();
    uint64_t id = 0;
    if (write)
        id = core.submitWrite(std::move(exchange), now);
    else
        id = core.submit(std::move(exchange), now);
    due = now;
    submitted = true;
    ++queued;
    return id;
}

uint64_t Driver::get(const std::string& target, const std::vector<uint8_t>& ids, const CallSettings& call,
                     const sockaddr_storage* address) {
    Exchange exchange = exchangeTo(target);
    if (address) exchange.address = *address;
    return get(std::move(exchange), getRequest(ids), call);
}

uint64_t Driver::get(Exchange exchange, std::shared_ptr<const VMsg> request, const CallSettings& call) {
    exchange.request = std::move(request);
    return start(std::move(exchange), false, call);
}

uint64_t Driver::set(const std::string& target, const std::vector<TagValue>& values, bool verify,
                     const CallSettings& call, const sockaddr_storage* address) {
    Exchange exchange = exchangeTo(target);
    if (address) exchange.address = *address;
    return set(std::move(exchange), values, verify, call);
}

uint64_t Driver::set(Exchange exchange, const std::vector<TagValue>& values, bool verify,
                     const CallSettings& call) {
    auto message = std::make_shared<VMsg>(MSG_SET);
    message->setLastSegment(true);
    for (const TagValue& v : values) message->addTag(makeTag(v.id, v.value).release());
    if (std::string why = unwritableReason(*message); !why.empty()) throw std::invalid_argument(why);
    exchange.request = std::move(message);
    return start(std::move(exchange), verify, call);
}

uint64_t Driver::poll(std::vector<Exchange>& exchanges, const std::shared_ptr<const VMsg>& request,
                      const CallSettings& call) {
    uint64_t poll = ++lastPoll;
    std::vector<uint64_t>& ids = polls[poll];
    ids.reserve(exchanges.size());
    for (Exchange& exchange : exchanges) {
        exchange.request = request;
        ids.push_back(start(std::move(exchange), false, call, poll));
    }
    return poll;
}

bool Driver::addToPoll(uint64_t poll, Exchange exchange, const std::shared_ptr<const VMsg>& request,
                       const CallSettings& call) {
    auto open = polls.find(poll);
    if (open == polls.end()) return false;
    exchange.request = request;
    uint64_t id = start(std::move(exchange), false, call, poll);
    open->second.push_back(id);
    return true;
}

void Driver::closePoll(uint64_t poll) {
    auto open = polls.find(poll);
    if (open == polls.end()) return;
    for (uint64_t id : open->second) core.cancel(id);
    polls.erase(open);
    std::erase_if(done, [poll](const Ended& e) { return e.poll == poll; });
}

std::shared_ptr<const VMsg> Driver::keptGet(const std::vector<std::string_view>& names) const {
    if (!kept || names.size() != keptNames.size()) return nullptr;
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] != keptNames[i]) return nullptr;
    return kept;
}

void Driver::keepGet(const std::vector<std::string_view>& names, std::shared_ptr<const VMsg> request) {
    keptNames.assign(names.begin(), names.end());
    kept = std::move(request);
}

Clock::time_point Driver::step(const std::vector<int>& ready) {
    submitted = false;
    queued = 0;
    due = core.process(ready, Clock::now());
    return due;
}

void Driver::abandon() {
    core.cancelAll();
    core.process({}, Clock::now());
    done.clear();
    due = Clock::time_point::max();
}

int Driver::readable(std::vector<pollfd>& watched, std::vector<int>& ready, int milliseconds) {
    watched.clear();
    for (int fd : core.fds()) watched.push_back({fd, POLLIN, 0});
    int n = ::poll(watched.data(), watched.size(), milliseconds);
    ready.clear();
    if (n < 0) return errno == EINTR ? 0 : errno;
    for (const pollfd& p : watched)
        if (p.revents != 0) ready.push_back(p.fd);
    return 0;
}

void Driver::wait(bool all) {
    std::vector<int> ready;
    std::vector<pollfd> watched;
    while (core.pending() > 0 && (all || done.empty())) {
        int failure = 0;
        {
            py::gil_scoped_release unlocked;
            // What is due goes out before any wait. A request just submitted
            // has nothing to read yet: one poll() a reply, not two. Anything
            // else due is an attempt's wait, taken with the replies already
            // queued: the engine calls no attempt lost while its reply sits
            // unread behind a full batch, and keeps such a wait due so that
            // its caller comes back at once.
            if (Clock::now() >= due) {
                ready.clear();
                if (!submitted) failure = readable(watched, ready, 0);
                if (failure == 0) {
                    step(ready);
                    if (core.pending() == 0 || (!all && !done.empty())) break;
                }
            }
            if (failure == 0) failure = readable(watched, ready, waitMilliseconds(due));
            if (failure == 0 && (!ready.empty() || Clock::now() >= due)) step(ready);
        }
        if (failure != 0) {
            abandon();
            throw std::system_error(failure, std::generic_category(), "poll");
        }
        if (PyErr_CheckSignals() != 0) {
            abandon();
            throw py::error_already_set();
        }
    }
}

}  // namespace tagproto
