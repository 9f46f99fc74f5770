// The rules one exchange's replies follow, for the engine's records and for
// a Line alike: which datagram answers which attempt, each attempt's
// segments merged apart, the bounds a reply keeps, and what a whole one
// makes of the Result (tagengine.h).
#ifndef TAGENGINE_REPLY_ASSEMBLER_H
#define TAGENGINE_REPLY_ASSEMBLER_H

#include <memory>
#include <span>
#include <vector>

#include "inline_vector.h"
#include "tagengine.h"

namespace tagengine {

// Byte 2 of a message holds the sequence number and, in its top bit, the
// last-segment flag (docs/wire-format.md). A request is one segment.
constexpr size_t SEQUENCE_BYTE = 2;
// Bytes a merged tag costs in memory beyond its wire bytes: the tag object,
// its allocation overhead and the pointer to it. Counted so that a reply of
// many small tags is bounded by what it holds, not by what it carried.
constexpr size_t HELD_BYTES_PER_TAG = 48;
// Attempts whose replies are still taken; older ones are let go.
constexpr size_t ATTEMPTS_KEPT = 32;

// One datagram sent, and the segments of the reply to it merged so far: an
// attempt's segments are never mixed with another attempt's.
struct Attempt {
    uint8_t sequence = 0;
    Clock::time_point sentAt;
    std::unique_ptr<VMsg> merged;
    size_t wireBytes = 0;  // the segments' datagram lengths
    size_t heldBytes = 0;  // the reckoning of the memory they hold
    int number = 0;        // 1 for the exchange's first attempt
};

// What the partial replies of every exchange of one caller hold together,
// the bounds they keep, and the room of replies handed as datagrams, kept
// for the next ones.
class ReplyMemory {
public:
    ReplyMemory(size_t maxReplyBytes, size_t maxHeldBytes, size_t sparesKept)
        : maxReplyBytes(maxReplyBytes), maxHeldBytes(maxHeldBytes), sparesKept(sparesKept) {}
    // A buffer with the room of one handed back by keepSpare if there is one.
    std::vector<uint8_t> spareDatagram();
    void keepSpare(std::vector<uint8_t>&& datagram);

    const size_t maxReplyBytes;  // by one exchange's segments, every attempt together
    const size_t maxHeldBytes;   // by every partial reply together
    size_t held = 0;             // by every partial reply now
    size_t released = 0;         // freed since the caller last gave memory back

private:
    const size_t sparesKept;
    std::vector<std::vector<uint8_t>> spares;
};

// What became of a datagram offered to an exchange's attempts.
struct Offer {
    enum class Kind : uint8_t {
        Stray,      // no attempt of the exchange holds its sequence
        Reflected,  // the attempt's own request come back
        Taken,      // a segment merged; the reply is not whole yet
        Ended,      // the exchange has ended, as status says
    };
    Kind kind = Kind::Stray;
    // Ended: Answered or ErrorReply (the reply in the Result), or
    // ReplyTooLong (Result::detail says which bound).
    Status status = Status::TimedOut;
    // Answered, ErrorReply: the attempt the reply answers.
    const Attempt* answered = nullptr;
};

// The attempts of one exchange, oldest first, and the replies they are
// assembling.
class ReplyAssembler {
public:
    const Attempt* begin() const { return list.begin(); }
    const Attempt* end() const { return list.end(); }
    const Attempt& front() const { return list.front(); }
    const Attempt& back() const { return list.back(); }
    size_t size() const { return list.size(); }
    bool empty() const { return list.empty(); }
    // The attempt holding the sequence; null for none.
    const Attempt* find(uint8_t sequence) const;

    void add(uint8_t sequence, Clock::time_point sentAt, int number);
    // Lets go of the oldest attempt and what its partial reply held.
    void dropOldest(ReplyMemory& memory);
    // Lets go of every attempt; the room of more than a few is kept.
    void clear(ReplyMemory& memory);

    // A datagram from the exchange's target, checked as one message
    // (segment views its bytes), the exchange's request its sequence byte
    // aside: counted into result (segments, tags, bytes) when one of the
    // attempts takes it, the observer told, and the reply put in result
    // once whole (replyDatagram when the exchange asks for it and it came
    // in one datagram; roundTrip from its attempt's send to now).
    Offer offer(std::span<const uint8_t> datagram, const VMsgView& segment, std::span<const uint8_t> request,
                const Exchange& exchange, ReplyMemory& memory, Result& result, Clock::time_point now);

private:
    static bool isReflection(const Attempt& a, std::span<const uint8_t> datagram,
                             std::span<const uint8_t> request);
    // The bound the segment would pass, if any.
    const char* boundPassed(size_t tags, size_t wireBytes, const ReplyMemory& memory) const;
    void merge(Attempt& a, std::span<const uint8_t> datagram, ReplyMemory& memory);
    // Takes what the attempt's partial reply held off the counts.
    void forget(const Attempt& a, ReplyMemory& memory);

    InlineVector<Attempt, 2> list;
    // What the partial replies of all the attempts carry.
    size_t mergedTags = 0;
    size_t mergedWireBytes = 0;
};

}  // namespace tagengine

#endif
