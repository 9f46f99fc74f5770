#include "reply_assembler.h"

#include <algorithm>

namespace tagengine {

std::vector<uint8_t> ReplyMemory::spareDatagram() {
    if (spares.empty()) return {};
    std::vector<uint8_t> spare = std::move(spares.back());
    spares.pop_back();
    return spare;
}

void ReplyMemory::keepSpare(std::vector<uint8_t>&& datagram) {
    // Only the room of one read's replies: enough that a steady poll's
    // replies cost no allocation, never a pile.
    if (datagram.capacity() == 0 || spares.size() >= sparesKept) return;
    datagram.clear();
    spares.push_back(std::move(datagram));
}

const Attempt* ReplyAssembler::find(uint8_t sequence) const {
    auto found =
        std::find_if(list.begin(), list.end(), [&](const Attempt& a) { return a.sequence == sequence; });
    return found == list.end() ? nullptr : found;
}

void ReplyAssembler::add(uint8_t sequence, Clock::time_point sentAt, int number) {
    list.push_back(Attempt{sequence, sentAt, nullptr, 0, 0, number});
}

void ReplyAssembler::dropOldest(ReplyMemory& memory) {
    forget(list.front(), memory);
    list.erase(list.begin());
}

void ReplyAssembler::clear(ReplyMemory& memory) {
    for (const Attempt& a : list) forget(a, memory);
    list.clear();
}

void ReplyAssembler::forget(const Attempt& a, ReplyMemory& memory) {
    if (!a.merged) return;
    mergedTags -= a.merged->tagCount();
    mergedWireBytes -= a.wireBytes;
    memory.held -= a.heldBytes;
    memory.released += a.heldBytes;
}

bool ReplyAssembler::isReflection(const Attempt& a, std::span<const uint8_t> datagram,
                                  std::span<const uint8_t> request) {
    if (datagram.size() != request.size() || datagram[SEQUENCE_BYTE] != (VMsg::LAST_SEGMENT | a.sequence))
        return false;
    return std::equal(datagram.begin(), datagram.begin() + SEQUENCE_BYTE, request.begin()) &&
           std::equal(datagram.begin() + SEQUENCE_BYTE + 1, datagram.end(),
                      request.begin() + SEQUENCE_BYTE + 1);
}

const char* ReplyAssembler::boundPassed(size_t tags, size_t wireBytes, const ReplyMemory& memory) const {
    if (mergedTags + tags > MAX_REPLY_TAGS) return "more than 65535 tags";
    if (mergedWireBytes + wireBytes > memory.maxReplyBytes) return "more bytes than one reply may carry";
    if (memory.held + wireBytes + tags * HELD_BYTES_PER_TAG > memory.maxHeldBytes)
        return "replies in progress hold all the memory allowed them";
    return nullptr;
}

Offer ReplyAssembler::offer(std::span<const uint8_t> datagram, const VMsgView& segment,
                            std::span<const uint8_t> request, const Exchange& exchange, ReplyMemory& memory,
                            Result& result, Clock::time_point now) {
    uint8_t sequence = segment.sequence & VMsg::SEQUENCE_NUMBER;
    Attempt* a = std::find_if(list.begin(), list.end(),
                              [&](const Attempt& held) { return held.sequence == sequence; });
    if (a == list.end()) return {Offer::Kind::Stray};
    // A reflector on a mistyped port, or the request looped back, is not
    // a device answering.
    if (isReflection(*a, datagram, request)) return {Offer::Kind::Reflected};
    size_t tags = segment.tagCount();
    bool last = segment.isLastSegment();
    ++result.segments;
    if (exchange.observe)
        exchange.observe(Event{Event::Kind::Segment, a->number, sequence, datagram.size(), last, now});
    result.tags += tags;
    result.bytes += datagram.size();
    if (const char* why = boundPassed(tags, datagram.size(), memory)) {
        result.detail = why;
        return {Offer::Kind::Ended, Status::ReplyTooLong};
    }
    // A whole reply in one datagram, for a caller that reads it in place:
    // it ends the exchange at once, so it is never held as a partial one.
    bool asDatagram = last && !a->merged && exchange.replyAsDatagram;
    if (!asDatagram) merge(*a, datagram, memory);
    if (!last) return {Offer::Kind::Taken};
    result.roundTrip = now - a->sentAt;
    uint8_t msgId = segment.msgId;
    if (asDatagram) {
        result.replyDatagram = memory.spareDatagram();
        result.replyDatagram.assign(datagram.begin(), datagram.end());
    } else {
        // The whole reply leaves the attempt, what it held with it.
        forget(*a, memory);
        result.reply = std::move(a->merged);
        msgId = result.reply->msgId;
    }
    return {Offer::Kind::Ended, msgId == MSG_ERR ? Status::ErrorReply : Status::Answered, a};
}

void ReplyAssembler::merge(Attempt& a, std::span<const uint8_t> datagram, ReplyMemory& memory) {
    // Checked by the view already: the decoder takes the same bytes.
    std::unique_ptr<VMsg> segment(VMsg::parseMsg(datagram.data(), uint16_t(datagram.size())));
    size_t tags = segment->tagCount();
    size_t held = datagram.size() + tags * HELD_BYTES_PER_TAG;
    if (a.merged) {
        a.merged->addSegment(segment.get());
    } else {
        // The first segment is the reply so far, as it was decoded: a reply
        // of one segment, the common one, is never copied tag by tag. Its
        // sequence is the wire's; the merged reply, like a new message, has none.
        a.merged = std::move(segment);
        a.merged->sequence = 0;
    }
    a.wireBytes += datagram.size();
    a.heldBytes += held;
    mergedTags += tags;
    mergedWireBytes += datagram.size();
    memory.held += held;
}

}  // namespace tagengine
