// Matching what arrives to the exchanges waiting for it.
#include <malloc.h>

#include <algorithm>

#include "engine_state.h"
#include "msg_request.h"

namespace tagengine {

namespace {

// Freed reply memory worth handing back to the system at once: one endless
// device can have made the heap grow by megabytes that nothing else reuses.
constexpr size_t GIVE_BACK_AFTER = 4 << 20;

}  // namespace

void Engine::State::readDatagrams(UdpEndpoint& endpoint, Clock::time_point now) {
    size_t read =
        endpoint.receive(READ_BATCH_SIZE, [&](const UdpEndpoint::Datagram& d) { takeDatagram(d, now); });
    if (read >= READ_BATCH_SIZE) unread = true;
    if (readReplies > 0) {
        rtt.sampleFleet(readRoundTrips / int64_t(readReplies));
        readReplies = 0;
        readRoundTrips = Duration(0);
    }
    // The error queue only when the kernel has said it holds a report, or
    // when the socket woke us with no datagram (a report whose error a send
    // took): looking on every wake-up cost a system call a reply.
    if (read == 0 || endpoint.errorsReported())
        endpoint.receiveErrors([&](const UdpEndpoint::Refusal& refusal) { takeRefusal(refusal, now); });
    if (memory.released >= GIVE_BACK_AFTER && memory.held < memory.released) {
        malloc_trim(0);
        memory.released = 0;
    }
}

void Engine::State::takeDatagram(const UdpEndpoint::Datagram& d, Clock::time_point now) {
    ++stats.received;
    if (d.truncated) {
        ++stats.truncated;
        return;
    }
    // Checked and matched as it lies: only a segment taken is decoded, and
    // only when its caller wants a message rather than the bytes.
    VMsgView segment;
    if (!segment.parse(d.bytes.data(), uint16_t(d.bytes.size()))) {
        ++stats.dropped;
        return;
    }
    uint8_t sequence = segment.sequence & VMsg::SEQUENCE_NUMBER;
    // Only the address and port the request went to, with a sequence one of
    // its attempts holds: anything else is someone else's datagram.
    uint64_t id = sequences.find(peerKey(d.from), sequence);
    Record* matched = id ? records.find(id) : nullptr;
    if (!matched) {
        ++stats.dropped;
        return;
    }
    Record& r = *matched;
    Offer offer = r.attempts.offer(d.bytes, segment, r.bytes, r.exchange, memory, r.result, now);
    switch (offer.kind) {
    case Offer::Kind::Stray: ++stats.dropped; return;
    case Offer::Kind::Reflected:
        ++stats.reflected;
        ++stats.dropped;
        return;
    case Offer::Kind::Taken: return;
    case Offer::Kind::Ended: break;
    }
    if (const Attempt* a = offer.answered) {
        // A reply names the attempt it answers by its sequence, fresh for
        // each attempt: the sample is the round trip of that very datagram,
        // whether or not others were sent after it.
        rtt.sampleTarget(r.addressKey, r.result.roundTrip);
        ++readReplies;
        readRoundTrips += r.result.roundTrip;
        if (options.estimateWaits) {
            Clock::time_point& latest = repliesBySend[a->sentAt];
            latest = std::max(latest, now);
        }
    }
    end(r, offer.status, now);
}

void Engine::State::takeRefusal(const UdpEndpoint::Refusal& refusal, Clock::time_point now) {
    PeerKey key = peerKey(refusal.to);
    std::vector<uint64_t> ids;
    if (refusal.request.size() > SEQUENCE_BYTE) {
        if (uint64_t id = sequences.find(key, refusal.request[SEQUENCE_BYTE] & VMsg::SEQUENCE_NUMBER))
            ids.push_back(id);
    } else {
        // Without the refused request every exchange to that port is refused.
        ids = sequences.holders(key);
    }
    for (uint64_t id : ids) {
        Record* refused = records.find(id);
        if (!refused || refused->phase == Record::Phase::Ended) continue;
        Record& r = *refused;
        if (!r.attempts.empty()) r.result.roundTrip = now - r.attempts.back().sentAt;
        end(r, Status::Refused, now);
    }
}

}  // namespace tagengine
