// Matching what arrives to the exchanges waiting for it.
#include "engine_state.h"
#include "msg_request.h"

namespace tagengine {

void Engine::State::readDatagrams(Clock::time_point now) {
    endpoint.receiveErrors([&](const UdpEndpoint::Refusal& refusal) { takeRefusal(refusal, now); });
    endpoint.receive(READ_BATCH_SIZE, [&](const UdpEndpoint::Datagram& d) { takeDatagram(d, now); });
}

void Engine::State::takeDatagram(const UdpEndpoint::Datagram& d, Clock::time_point now) {
    ++stats.received;
    if (d.truncated) {
        ++stats.truncated;
        return;
    }
    std::unique_ptr<VMsg> segment(VMsg::parseMsg(d.bytes.data(), uint16_t(d.bytes.size())));
    if (!segment) {
        ++stats.dropped;
        return;
    }
    uint8_t sequence = segment->sequence & VMsg::SEQUENCE_NUMBER;
    // Only the address and port the request went to, with a sequence one of
    // its attempts holds: anything else is someone else's datagram.
    uint64_t id = sequences.find(addressKey(d.from), sequence);
    auto it = id ? records.find(id) : records.end();
    if (it == records.end()) {
        ++stats.dropped;
        return;
    }
    Record& r = it->second;
    bool current = r.attempts.back().sequence == sequence;
    bool follows = r.merged ? r.mergedSequence == sequence : current || segment->isLastSegment();
    if (!follows) {
        ++stats.dropped;
        return;
    }
    if (!r.merged) {
        r.merged = std::make_unique<VMsg>(segment->msgId);
        r.mergedSequence = sequence;
    }
    if (r.merged->tagCount() + segment->tagCount() > MAX_REPLY_TAGS) {
        end(r, Status::ReplyTooLong, now);
        return;
    }
    bool last = segment->isLastSegment();
    r.merged->addSegment(segment.get());
    if (!last) return;
    for (const Attempt& a : r.attempts)
        if (a.sequence == sequence) r.result.roundTrip = now - a.sentAt;
    r.result.reply = std::move(r.merged);
    end(r, r.result.reply->msgId == MSG_ERR ? Status::ErrorReply : Status::Answered, now);
}

void Engine::State::takeRefusal(const UdpEndpoint::Refusal& refusal, Clock::time_point now) {
    uint64_t key = addressKey(refusal.to);
    std::vector<uint64_t> ids;
    if (refusal.request.size() > SEQUENCE_BYTE) {
        if (uint64_t id = sequences.find(key, refusal.request[SEQUENCE_BYTE] & VMsg::SEQUENCE_NUMBER))
            ids.push_back(id);
    } else {
        // Without the refused request every exchange to that port is refused.
        ids = sequences.holders(key);
    }
    for (uint64_t id : ids) {
        auto it = records.find(id);
        if (it == records.end() || it->second.phase == Record::Phase::Ended) continue;
        Record& r = it->second;
        if (!r.attempts.empty()) r.result.roundTrip = now - r.attempts.back().sentAt;
        end(r, Status::Refused, now);
    }
}

}  // namespace tagengine
