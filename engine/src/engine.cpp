// Submitting, cancelling and the process() step of the engine.
#include <cstring>
#include <system_error>

#include "backoff.h"
#include "engine_state.h"
#include "msg_request.h"
#include "resolve.h"

namespace tagengine {

static_assert(MAX_REPLY_TAGS == REPLY_TAG_LIMIT, "the engine bounds replies as the client does");
static_assert(MAX_DATAGRAM == DATAGRAM_SIZE, "one datagram is as long for the engine as for the client");

namespace {

// How soon to try again after the kernel had no room for a datagram.
constexpr auto SOCKET_FULL_PAUSE = std::chrono::milliseconds(1);
// The most sends whose latest reply is remembered (see forgetSends).
constexpr size_t SENDS_REMEMBERED = 4096;

}  // namespace

const char* statusName(Status status) {
    switch (status) {
    case Status::Answered: return "answered";
    case Status::ErrorReply: return "error_reply";
    case Status::TimedOut: return "timed_out";
    case Status::Refused: return "refused";
    case Status::Unresolvable: return "unresolvable";
    case Status::Sent: return "sent";
    case Status::ReplyTooLong: return "reply_too_long";
    case Status::SendFailed: return "send_failed";
    case Status::Cancelled: return "cancelled";
    case Status::Verified: return "verified";
    case Status::Mismatch: return "mismatch";
    }
    return "unknown";
}

Engine::State::State(Engine& e, const Options& o)
    : owner(e),
      options(o),
      v4(AF_INET, o.receiveBuffer),
      fdList{v4.fd()},
      pacer(o.requestsPerSecond),
      random(o.seed != 0 ? o.seed : std::random_device{}()),
      memory(o.maxReplyBytes, o.maxHeldBytes, READ_BATCH_SIZE) {}

UdpEndpoint* Engine::State::endpointFor(const sockaddr_storage& to, std::string& why) {
    if (to.ss_family == AF_INET) return &v4;
    if (!v6) {
        try {
            v6 = std::make_unique<UdpEndpoint>(AF_INET6, options.receiveBuffer);
        } catch (const std::system_error& e) {
            why = std::string("no IPv6 socket: ") + e.what();
            return nullptr;
        }
        fdList.push_back(v6->fd());
    }
    return v6.get();
}

void Engine::State::setDeadline(Record& r, Clock::time_point when) {
    if (!r.hasDeadline) ++liveDeadlines;
    r.hasDeadline = true;
    r.deadlineAt = when;
    deadlines.push({when, r.id, ++r.deadlineStamp});
    deadlines.compactIfStale(liveDeadlines, [this](const DeadlineQueue::Entry& e) { return current(e); });
}

void Engine::State::clearDeadline(Record& r) {
    if (!r.hasDeadline) return;
    r.hasDeadline = false;
    --liveDeadlines;
}

Record* Engine::State::current(const DeadlineQueue::Entry& e) {
    Record* r = records.find(e.id);
    return r && r->hasDeadline && r->deadlineStamp == e.stamp ? r : nullptr;
}

void Engine::State::setUnheard(Record& r, bool unheard) {
    if (r.unheard != unheard) unheardCount += unheard ? 1 : size_t(-1);
    r.unheard = unheard;
    if (!unheard || r.listedUnheard) return;
    r.listedUnheard = true;
    unheardList.push_back(r.id);
    // Ids of records heard from or ended since are let go of once they
    // outnumber the rest, so the list stays bounded between walks.
    if (unheardList.size() <= 2 * unheardCount + DeadlineQueue::STALE_SLACK) return;
    std::erase_if(unheardList, [this](uint64_t id) {
        Record* listed = records.find(id);
        if (listed && listed->unheard) return false;
        if (listed) listed->listedUnheard = false;
        return true;
    });
}

void Engine::State::releaseSequences(Record& r) {
    for (const Attempt& a : r.attempts) sequences.release(r.addressKey, a.sequence);
    r.attempts.clear(memory);
}

void Engine::State::dropOldestAttempt(Record& r) {
    sequences.release(r.addressKey, r.attempts.front().sequence);
    r.attempts.dropOldest(memory);
}

void Engine::State::end(Record& r, Status status, Clock::time_point) {
    if (r.phase == Record::Phase::Running || r.phase == Record::Phase::Retrying) --inFlight;
    clearDeadline(r);
    setUnheard(r, false);
    releaseSequences(r);
    r.phase = Record::Phase::Ended;
    r.result.status = status;
    ended.push_back(r.id);
}

Engine::Engine(const Options& options) : state(std::make_unique<State>(*this, options)) {}
Engine::~Engine() = default;

uint64_t Engine::submit(Exchange exchange, Clock::time_point now) {
    State& s = *state;
    uint64_t id = s.nextId++;
    Record& r = s.records.add(id);
    r.exchange = std::move(exchange);
    r.result.id = id;
    r.result.target = r.exchange.target;
    if (r.exchange.retries < 0) r.exchange.retries = 0;
    r.retriesLeft = r.exchange.retries;
    s.longestTimeout = std::max(s.longestTimeout, r.exchange.attemptTimeout);

    std::string why;
    bool given = r.exchange.address.ss_family == AF_INET || r.exchange.address.ss_family == AF_INET6;
    if (given)
        r.result.address = r.exchange.address;
    else if (!resolveAddress(r.exchange.host, r.exchange.port, r.result.address, why)) {
        r.result.detail = why;
        s.end(r, Status::Unresolvable, now);
        return id;
    }
    if (!s.endpointFor(r.result.address, why)) {
        r.result.detail = why;
        s.end(r, Status::SendFailed, now);
        return id;
    }
    r.addressKey = peerKey(r.result.address);
    // Encoded in the engine's own buffer, then copied once at its length:
    // neither a kilobyte zeroed nor a second allocation per exchange.
    uint16_t length =
        r.exchange.request ? r.exchange.request->getMsg(s.encoding.data(), uint16_t(s.encoding.size())) : 0;
    if (length == 0) {
        r.result.detail = r.exchange.request ? "request does not fit one datagram" : "no request";
        s.end(r, Status::SendFailed, now);
        return id;
    }
    r.bytes.assign(s.encoding.begin(), s.encoding.begin() + length);
    r.expectsReply = r.exchange.request->msgId == MSG_GET;
    if (r.exchange.deadline != Clock::time_point::max()) s.setDeadline(r, r.exchange.deadline);
    s.queued.push_back(id);
    return id;
}

bool Engine::cancel(uint64_t id) {
    if (state->cancelWrite(id)) return true;
    Record* r = state->records.find(id);
    if (!r || r->phase == Record::Phase::Ended) return false;
    state->end(*r, Status::Cancelled, Clock::time_point{});
    return true;
}

void Engine::cancelAll() {
    std::vector<uint64_t> writes;
    for (const auto& [id, w] : state->writes) writes.push_back(id);
    for (uint64_t id : writes) state->cancelWrite(id);
    state->records.forEach([this](Record& r) {
        if (r.phase != Record::Phase::Ended) state->end(r, Status::Cancelled, Clock::time_point{});
    });
}

void Engine::holdSending() { state->sendingHeld = true; }

std::span<const int> Engine::fds() const { return state->fdList; }

size_t Engine::pending() const { return state->records.size() + state->deferred.size(); }

Engine::Stats Engine::stats() const { return state->stats; }

Clock::time_point Engine::process(std::span<const int> readyFds, Clock::time_point now) {
    State& s = *state;
    s.lastNow = now;
    s.unread = false;
    for (int fd : readyFds) {
        if (fd == s.v4.fd()) s.readDatagrams(s.v4, now);
        if (s.v6 && fd == s.v6->fd()) s.readDatagrams(*s.v6, now);
    }
    s.rearm();
    s.expire(now);
    s.forgetSends(now);
    s.sendWaiting(now);
    s.runCallbacks();
    // Callbacks may have submitted more.
    s.sendWaiting(now);
    s.runCallbacks();
    return s.nextWake(now);
}

void Engine::State::expire(Clock::time_point now) {
    // Entries whose record still waits on with its wait unchanged stay due,
    // and go back once the due ones are all taken. Any deadline set here is
    // later than now, so the loop ends.
    std::vector<DeadlineQueue::Entry> stillDue;
    while (!deadlines.empty() && deadlines.top().when <= now) {
        DeadlineQueue::Entry due = deadlines.top();
        deadlines.pop();
        Record* live = current(due);
        if (!live) continue;
        Record& r = *live;
        if (waitsOn(r, now)) {
            if (r.hasDeadline && r.deadlineStamp == due.stamp) stillDue.push_back(due);
            continue;
        }
        clearDeadline(r);
        if (r.exchange.observe && r.phase == Record::Phase::Running && !r.attempts.empty()) {
            const Attempt& last = r.attempts.back();
            r.exchange.observe(
                Event{Event::Kind::AttemptTimedOut, last.number, last.sequence, 0, false, now});
        }
        bool attemptsLeft = r.result.attempts <= r.exchange.retries;
        if (r.phase != Record::Phase::Running || !attemptsLeft || now >= r.exchange.deadline) {
            end(r, Status::TimedOut, now);
            continue;
        }
        // The attempt that timed out keeps what it has merged: the rest of a
        // late reply to it may still come, and is taken once whole.
        r.phase = Record::Phase::Retrying;
        setUnheard(r, false);
        retrying.push_back(r.id);
        if (r.exchange.deadline != Clock::time_point::max()) setDeadline(r, r.exchange.deadline);
    }
    for (const DeadlineQueue::Entry& e : stillDue) deadlines.push(e);
}

bool Engine::State::waitsOn(Record& r, Clock::time_point now) {
    if (!options.estimateWaits || r.phase != Record::Phase::Running || r.attempts.empty()) return false;
    // Only a wait the estimate made shorter than -t: the ceiling, the
    // deadline and the budget end an attempt whatever is still unread.
    const Attempt& last = r.attempts.back();
    if (now >= r.exchange.deadline || now - last.sentAt >= r.exchange.attemptTimeout) return false;
    // A slow poller finds many replies queued at once, and reads a batch a
    // call: those still in the socket came in time, and are read before any
    // attempt is called lost. The entry stays due, so the caller comes back
    // at once (the socket being readable, it would anyway).
    if (unread) return true;
    // The wait was set by the estimate of its time (for the first attempts
    // of a run, cut to it by the first replies). A burst is answered over
    // time, each reply later than the one before: behind a busy device, or
    // a poller slow to read, the first replies are quick and the last slow.
    // So the attempt waits what the estimate says now, counted from the
    // latest reply to an attempt sent with it (as a retransmission timer
    // restarts on each acknowledgement): while its burst is still being
    // answered it is not lost. Attempts sent later prove nothing either way.
    Clock::time_point from = last.sentAt;
    auto burst = repliesBySend.find(last.sentAt);
    if (burst != repliesBySend.end()) from = std::max(from, burst->second);
    Clock::time_point until = std::min(attemptEnd(r, from), last.sentAt + r.exchange.attemptTimeout);
    if (until <= now) return false;
    setDeadline(r, until);
    return true;
}

void Engine::State::forgetSends(Clock::time_point now) {
    // Bounded too, whatever -t: a long -t and many wakes a second must not
    // grow it for an hour. A send forgotten only loses its attempts the
    // wait from their burst's latest reply.
    while (!repliesBySend.empty() &&
           (now - repliesBySend.begin()->first >= longestTimeout || repliesBySend.size() > SENDS_REMEMBERED))
        repliesBySend.erase(repliesBySend.begin());
}

std::optional<uint8_t> Engine::State::takeSequence(Record& r) {
    if (r.attempts.size() >= ATTEMPTS_KEPT) dropOldestAttempt(r);
    auto sequence = sequences.allocate(r.addressKey, r.id);
    if (!sequence && !r.attempts.empty()) {
        // Every sequence of the address is held, some by this exchange: a
        // retry gives up its oldest attempt rather than wait for others who
        // may all be waiting the same way.
        dropOldestAttempt(r);
        sequence = sequences.allocate(r.addressKey, r.id);
    }
    // None: all 128 sequences of this address are held by other exchanges,
    // and this one, not yet sent, waits for one of them to end.
    if (sequence) r.bytes[SEQUENCE_BYTE] = uint8_t(VMsg::LAST_SEGMENT | *sequence);
    return sequence;
}

void Engine::State::attemptSent(Record& r, uint8_t sequence, bool first, Clock::time_point now) {
    ++stats.sent;
    if (first) {
        ++inFlight;
        if (r.exchange.budget.count() > 0 && r.exchange.deadline - now > r.exchange.budget)
            r.exchange.deadline = now + r.exchange.budget;
    }
    r.phase = Record::Phase::Running;
    ++r.result.attempts;
    r.attempts.add(sequence, now, r.result.attempts);
    if (r.exchange.observe)
        r.exchange.observe(Event{Event::Kind::Sent, r.result.attempts, sequence, r.bytes.size(), false, now});
    if (!r.expectsReply) {
        end(r, Status::Sent, now);
        return;
    }
    r.jitter = std::uniform_real_distribution<double>(0, 1)(random);
    setUnheard(r, !rtt.knows(r.addressKey));
    setDeadline(r, attemptEnd(r, now));
}

Clock::time_point Engine::State::attemptEnd(const Record& r, Clock::time_point from) const {
    Duration timeout = r.exchange.attemptTimeout;
    int attempt = r.result.attempts - 1;
    return tagengine::attemptEnd(
        {timeout, rtt.timeout(r.addressKey, timeout), options.maxAttemptTimeout, options.estimateWaits,
         attempt, attempt >= r.retriesLeft, r.jitter, r.exchange.deadline},
        from);
}

void Engine::State::rearm() {
    if (!options.estimateWaits) return;
    auto fleet = rtt.fleetTimeout();
    // Only a fall by a quarter or more walks the running exchanges, so the
    // walks are few however many replies arrive.
    if (!fleet || *fleet > rearmedFor - rearmedFor / 4) return;
    rearmedFor = *fleet;
    size_t kept = 0;
    for (uint64_t id : unheardList) {
        Record* listed = records.find(id);
        if (!listed) continue;
        Record& r = *listed;
        if (r.unheard && (r.phase != Record::Phase::Running || !r.hasDeadline || r.attempts.empty()))
            setUnheard(r, false);
        if (r.unheard) {
            // From now, not from its send: a reply to an attempt sent with it
            // has just come, and one queued behind it at a busy device comes
            // later; never later than the wait already set, nor than the
            // deadline.
            Clock::time_point until = attemptEnd(r, lastNow);
            if (until < r.deadlineAt) setDeadline(r, until);
            if (rtt.knows(r.addressKey)) setUnheard(r, false);
        }
        if (!r.unheard) {
            r.listedUnheard = false;
            continue;
        }
        unheardList[kept++] = id;
    }
    unheardList.resize(kept);
}

void Engine::State::defer(Callback done, Result result) {
    deferred.emplace_back(std::move(done), std::move(result));
}

void Engine::State::runCallbacks() {
    while (!ended.empty() || !deferred.empty()) {
        std::vector<std::pair<Callback, Result>> writesDone;
        writesDone.swap(deferred);
        for (auto& [done, result] : writesDone)
            if (done) done(std::move(result));
        std::vector<uint64_t> batch;
        batch.swap(ended);
        for (uint64_t id : batch) {
            Record* r = records.find(id);
            if (!r) continue;
            Result result = std::move(r->result);
            Callback done = std::move(r->exchange.done);
            records.remove(id);
            if (done) done(std::move(result));
            // Unless the callback took it, its datagram's room serves the next
            // (a callback is handed the result, and may or may not move it).
            memory.keepSpare(std::move(result.replyDatagram));  // NOLINT(bugprone-use-after-move)
        }
    }
}

Clock::time_point Engine::State::nextWake(Clock::time_point now) {
    if (!ended.empty() || !deferred.empty()) return now;
    Clock::time_point wake = Clock::time_point::max();
    while (!deadlines.empty() && !current(deadlines.top())) deadlines.pop();
    if (!deadlines.empty()) wake = deadlines.top().when;
    bool waiting = !retrying.empty() || (!queued.empty() && inFlight < options.maxInFlight);
    if (waiting) {
        Clock::time_point slot = socketFull ? now + SOCKET_FULL_PAUSE : pacer.nextSlot(now);
        if (slot < wake) wake = slot;
    }
    return wake;
}

}  // namespace tagengine
