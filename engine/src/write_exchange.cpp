// Verified writes: the protocol never acknowledges a SET, so each round
// sends the SET of what is not yet as written, reads those tags back with a
// GET of its own, and compares.
#include <algorithm>

#include "engine_state.h"

namespace tagengine {

namespace {

std::shared_ptr<const VMsg> setOf(const WriteRecord& w) {
    auto set = std::make_shared<VMsg>(MSG_SET);
    for (const auto& [id, value] : w.pending) set->addTag(value->clone());
    return set;
}

std::shared_ptr<const VMsg> readBackOf(const WriteRecord& w) {
    auto get = std::make_shared<VMsg>(MSG_GET);
    for (const auto& [id, value] : w.pending) get->addTag(VTagFactory::createVTag(id));
    return get;
}

}  // namespace

uint64_t Engine::submitWrite(Exchange exchange, Clock::time_point now) {
    State& s = *state;
    uint64_t id = s.nextId++;
    WriteRecord& w = s.writes[id];
    w.result.id = id;
    w.result.target = exchange.target;
    if (exchange.retries < 0) exchange.retries = 0;
    w.exchange = std::move(exchange);
    std::string why = w.exchange.request ? unwritableReason(*w.exchange.request) : "no request";
    if (!why.empty()) {
        w.result.detail = why;
        s.finishWrite(id, Status::SendFailed);
        return id;
    }
    // A tag named twice is written as its last value, as a device applies them.
    for (const VTag* t : *w.exchange.request) w.pending[t->tagId].reset(t->clone());
    s.lastNow = std::max(s.lastNow, now);
    s.startRound(id);
    return id;
}

Exchange Engine::State::roundExchange(const WriteRecord& w, std::shared_ptr<const VMsg> request,
                                      Callback done) const {
    Exchange x;
    x.target = w.exchange.target;
    x.host = w.exchange.host;
    x.port = w.exchange.port;
    // Every round goes where the first went, without a lookup of its own.
    x.address = w.result.address.ss_family != AF_UNSPEC ? w.result.address : w.exchange.address;
    x.request = std::move(request);
    x.attemptTimeout = w.exchange.attemptTimeout;
    x.retries = 0;                     // a lost read-back is retried as a whole round
    x.deadline = w.exchange.deadline;  // the write's budget is in it once begun
    x.done = std::move(done);
    return x;
}

void Engine::State::startRound(uint64_t id) {
    WriteRecord& w = writes.at(id);
    ++w.result.attempts;
    auto sent = [this, id](Result&& r) { readBack(id, std::move(r)); };
    w.running = owner.submit(roundExchange(w, setOf(w), sent), lastNow);
    // The first round waits its turn as submitted, the later ones do not.
    if (w.result.attempts > 1) goFirst(w.running);
}

void Engine::State::goFirst(uint64_t id) {
    // A write under way goes on before exchanges not yet begun: its next
    // round queued behind a fleet's worth of reads would make every round
    // of every write wait the whole queue, and a run as long as its writes'
    // slowest chain of rounds.
    if (queued.empty() || queued.back() != id) return;
    queued.pop_back();
    queued.push_front(id);
}

void Engine::State::readBack(uint64_t id, Result&& sent) {
    auto it = writes.find(id);
    if (it == writes.end()) return;
    WriteRecord& w = it->second;
    w.result.address = sent.address;
    if (sent.status != Status::Sent) {
        w.result.detail = sent.detail;
        // A later round's SET that never went out before the deadline: the
        // device's last answer still stands, since nothing was sent after it.
        bool answeredBefore = sent.status == Status::TimedOut && w.answered;
        finishWrite(id, answeredBefore ? Status::Mismatch : sent.status);
        return;
    }
    // The budget runs from the first SET on the wire.
    if (!w.result.setSent && w.exchange.budget.count() > 0 &&
        w.exchange.deadline - lastNow > w.exchange.budget)
        w.exchange.deadline = lastNow + w.exchange.budget;
    w.result.setSent = true;
    w.answered = false;  // this round's read-back decides now
    auto read = [this, id](Result&& r) { compare(id, std::move(r)); };
    w.running = owner.submit(roundExchange(w, readBackOf(w), read), lastNow);
    goFirst(w.running);
    // Each round's read-back waits as a first attempt (a lost round costs
    // only another round); the last round's waits until the write is given
    // up, as the last attempt of a read does.
    Record* running = records.find(w.running);
    if (running && running->phase == Record::Phase::Queued)
        running->retriesLeft = w.exchange.retries - (w.result.attempts - 1);
}

void Engine::State::compare(uint64_t id, Result&& read) {
    auto it = writes.find(id);
    if (it == writes.end()) return;
    WriteRecord& w = it->second;
    w.result.roundTrip = read.roundTrip;
    // Only a GET message holds what the device has. Anything else taken on
    // the read-back's sequence, above all a SET echoed back by a reflector
    // (this write's or another's), carries the values written, not read:
    // that round went unanswered.
    if (read.status == Status::Answered && read.reply->msgId != MSG_GET) read.status = Status::TimedOut;
    switch (read.status) {
    case Status::Answered: break;
    case Status::TimedOut: {
        bool roundsLeft = w.result.attempts <= w.exchange.retries && lastNow < w.exchange.deadline;
        if (roundsLeft) {
            startRound(id);
            return;
        }
        // What an earlier round read is not what the device holds after
        // this round's SET: unconfirmed, neither mismatch nor verified.
        w.result.reply.reset();
        finishWrite(id, Status::TimedOut);
        return;
    }
    default:
        w.result.reply = std::move(read.reply);
        w.result.detail = read.detail;
        finishWrite(id, read.status);
        return;
    }
    w.answered = true;
    w.result.mismatches.clear();
    for (auto p = w.pending.begin(); p != w.pending.end();) {
        if (holdsValue(*read.reply, *p->second)) {
            p = w.pending.erase(p);
            continue;
        }
        Held now = heldValue(*read.reply, p->first);
        w.result.mismatches.push_back({std::unique_ptr<VTag>(p->second->clone()),
                                       std::unique_ptr<VTag>(now.value ? now.value->clone() : nullptr),
                                       now.conflicting});
        ++p;
    }
    w.result.reply = std::move(read.reply);
    if (w.pending.empty())
        finishWrite(id, Status::Verified);
    else if (w.result.attempts <= w.exchange.retries && lastNow < w.exchange.deadline)
        startRound(id);
    else
        finishWrite(id, Status::Mismatch);
}

void Engine::State::finishWrite(uint64_t id, Status status) {
    auto it = writes.find(id);
    WriteRecord& w = it->second;
    w.result.status = status;
    if (status != Status::Mismatch) w.result.mismatches.clear();
    defer(std::move(w.exchange.done), std::move(w.result));
    writes.erase(it);
}

bool Engine::State::cancelWrite(uint64_t id) {
    auto it = writes.find(id);
    if (it == writes.end()) return false;
    uint64_t running = it->second.running;
    // A round's SET sent but its callback not yet run still went out.
    Record* round = records.find(running);
    if (round && round->exchange.request && round->exchange.request->msgId == MSG_SET &&
        round->result.attempts > 0)
        it->second.result.setSent = true;
    finishWrite(id, Status::Cancelled);
    // Its round's own callback then finds the write gone.
    owner.cancel(running);
    return true;
}

}  // namespace tagengine
