// Sending what is due by batches: up to one system call's worth of
// datagrams staged (a sequence taken for each), sent together, and the
// bookkeeping of each attempt done once the kernel has taken it.
#include <cstring>

#include "engine_state.h"

namespace tagengine {

void Engine::State::sendWaiting(Clock::time_point now) {
    if (sendingHeld) return;
    socketFull = false;
    // Between batches the callbacks of what has ended run: a verified
    // write's SET ends as it goes out, and its read-back, submitted by the
    // callback, goes out in the next batch rather than after the slot the
    // SET freed has gone to an exchange not yet begun.
    // A callback may hold sending: what is left of the call stays unsent.
    while (!sendingHeld && stageBatch(now) && sendStaged(now)) runCallbacks();
}

bool Engine::State::stageBatch(Clock::time_point now) {
    staged.clear();
    stagedOn = nullptr;
    size_t firsts = 0;
    while (staged.size() < UdpEndpoint::BATCH) {
        bool retry = !retrying.empty();
        if (!retry && (queued.empty() || inFlight + firsts >= options.maxInFlight)) break;
        std::deque<uint64_t>& from = retry ? retrying : queued;
        Record* next = records.find(from.front());
        auto waiting = retry ? Record::Phase::Retrying : Record::Phase::Queued;
        if (!next || next->phase != waiting) {
            from.pop_front();
            continue;
        }
        Record& r = *next;
        // One family per batch: the endpoint was opened at submit.
        UdpEndpoint* endpoint = r.result.address.ss_family == AF_INET ? &v4 : v6.get();
        if (stagedOn && endpoint != stagedOn) break;
        if (!pacer.take(now)) break;
        auto sequence = takeSequence(r);
        if (!sequence) {
            socketFull = true;
            break;
        }
        stagedOn = endpoint;
        staged.push_back(Staged{&r, *sequence, !retry});
        r.phase = Record::Phase::Running;
        firsts += retry ? 0 : 1;
        from.pop_front();
    }
    return !staged.empty();
}

bool Engine::State::sendStaged(Clock::time_point now) {
    outgoing.clear();
    for (const Staged& s : staged) outgoing.push_back({s.record->bytes, &s.record->result.address});
    UdpEndpoint::SendOutcome outcome;
    int error = 0;
    size_t sent = stagedOn->sendBatch(outgoing, outcome, error);
    for (size_t i = 0; i < sent; ++i)
        attemptSent(*staged[i].record, staged[i].sequence, staged[i].first, now);
    if (sent == staged.size()) return !socketFull;
    if (outcome == UdpEndpoint::SendOutcome::Busy) {
        unstage(sent);
        ++stats.sendRetried;
        socketFull = true;
        return false;
    }
    // The system refused this one datagram: its exchange ends, the rest of
    // the batch goes out with the next.
    Staged& failed = staged[sent];
    sequences.release(failed.record->addressKey, failed.sequence);
    failed.record->phase = failed.first ? Record::Phase::Queued : Record::Phase::Retrying;
    failed.record->result.detail = strerror(error);
    end(*failed.record, Status::SendFailed, now);
    unstage(sent + 1);
    return !socketFull;
}

void Engine::State::unstage(size_t from) {
    // Back to the front of their queues in reverse, so their order holds.
    for (size_t i = staged.size(); i-- > from;) {
        Record& r = *staged[i].record;
        sequences.release(r.addressKey, staged[i].sequence);
        r.phase = staged[i].first ? Record::Phase::Queued : Record::Phase::Retrying;
        (staged[i].first ? queued : retrying).push_front(r.id);
    }
    staged.clear();
}

}  // namespace tagengine
