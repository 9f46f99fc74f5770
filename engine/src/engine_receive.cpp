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
    if (releasedBytes >= GIVE_BACK_AFTER && heldBytes < releasedBytes) {
        malloc_trim(0);
        releasedBytes = 0;
    }
}

bool Engine::State::isReflection(const Record& r, const Attempt& a, std::span<const uint8_t> bytes) const {
    if (bytes.size() != r.bytes.size() || bytes[SEQUENCE_BYTE] != (VMsg::LAST_SEGMENT | a.sequence))
        return false;
    return std::equal(bytes.begin(), bytes.begin() + SEQUENCE_BYTE, r.bytes.begin()) &&
           std::equal(bytes.begin() + SEQUENCE_BYTE + 1, bytes.end(), r.bytes.begin() + SEQUENCE_BYTE + 1);
}

bool Engine::State::makeRoom(Record& r, size_t segmentTags, size_t wireBytes, Clock::time_point now) {
    size_t held = wireBytes + segmentTags * HELD_BYTES_PER_TAG;
    const char* why = nullptr;
    if (r.mergedTags + segmentTags > MAX_REPLY_TAGS)
        why = "more than 65535 tags";
    else if (r.mergedWireBytes + wireBytes > options.maxReplyBytes)
        why = "more bytes than one reply may carry";
    else if (heldBytes + held > options.maxHeldBytes)
        why = "replies in progress hold all the memory allowed them";
    if (!why) return true;
    r.result.detail = why;
    end(r, Status::ReplyTooLong, now);
    return false;
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
    auto attempt = std::find_if(r.attempts.begin(), r.attempts.end(),
                                [&](const Attempt& a) { return a.sequence == sequence; });
    if (attempt == r.attempts.end()) {
        ++stats.dropped;
        return;
    }
    // A reflector on a mistyped port, or the request looped back, is not
    // a device answering.
    if (isReflection(r, *attempt, d.bytes)) {
        ++stats.reflected;
        ++stats.dropped;
        return;
    }
    size_t tags = segment.tagCount();
    bool last = segment.isLastSegment();
    ++r.result.segments;
    if (r.exchange.observe)
        r.exchange.observe(Event{Event::Kind::Segment, attempt->number, sequence, d.bytes.size(), last, now});
    r.result.tags += tags;
    r.result.bytes += d.bytes.size();
    if (!makeRoom(r, tags, d.bytes.size(), now)) return;
    Attempt& a = *attempt;
    // A whole reply in one datagram, for a caller that reads it in place:
    // it ends the exchange at once, so it is never held as a partial one.
    bool asDatagram = last && !a.merged && r.exchange.replyAsDatagram;
    if (!asDatagram) merge(r, a, d.bytes);
    if (!last) return;
    r.result.roundTrip = now - a.sentAt;
    // A reply names the attempt it answers by its sequence, fresh for each
    // attempt: the sample is the round trip of that very datagram, whether
    // or not others were sent after it.
    rtt.sampleTarget(r.addressKey, r.result.roundTrip);
    ++readReplies;
    readRoundTrips += r.result.roundTrip;
    if (options.estimateWaits) {
        Clock::time_point& latest = repliesBySend[a.sentAt];
        latest = std::max(latest, now);
    }
    uint8_t msgId = segment.msgId;
    if (asDatagram) {
        r.result.replyDatagram = spareDatagram();
        r.result.replyDatagram.assign(d.bytes.begin(), d.bytes.end());
    } else {
        // The whole reply leaves the attempt; end() then forgets what it held.
        forget(r, a);
        r.result.reply = std::move(a.merged);
        msgId = r.result.reply->msgId;
    }
    end(r, msgId == MSG_ERR ? Status::ErrorReply : Status::Answered, now);
}

void Engine::State::merge(Record& r, Attempt& a, std::span<const uint8_t> bytes) {
    // Checked by the view already: the decoder takes the same bytes.
    std::unique_ptr<VMsg> segment(VMsg::parseMsg(bytes.data(), uint16_t(bytes.size())));
    size_t tags = segment->tagCount();
    size_t held = bytes.size() + tags * HELD_BYTES_PER_TAG;
    if (a.merged) {
        a.merged->addSegment(segment.get());
    } else {
        // The first segment is the reply so far, as it was decoded: a reply
        // of one segment, the common one, is never copied tag by tag. Its
        // sequence is the wire's; the merged reply, like a new message, has none.
        a.merged = std::move(segment);
        a.merged->sequence = 0;
    }
    a.wireBytes += bytes.size();
    a.heldBytes += held;
    r.mergedTags += tags;
    r.mergedWireBytes += bytes.size();
    r.heldBytes += held;
    heldBytes += held;
}

std::vector<uint8_t> Engine::State::spareDatagram() {
    if (spareDatagrams.empty()) return {};
    std::vector<uint8_t> spare = std::move(spareDatagrams.back());
    spareDatagrams.pop_back();
    return spare;
}

void Engine::State::keepSpare(std::vector<uint8_t>&& datagram) {
    // Only the room of one read's replies: enough that a steady poll's
    // replies cost no allocation, never a pile.
    if (datagram.capacity() == 0 || spareDatagrams.size() >= READ_BATCH_SIZE) return;
    datagram.clear();
    spareDatagrams.push_back(std::move(datagram));
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
