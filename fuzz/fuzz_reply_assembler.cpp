// Datagrams from a target offered in turn to an exchange's attempts, as the
// engine and a Line offer them. Byte 0 sets the attempts (1 to 4, sequences
// 0 up), whether a whole datagram is asked for, and the bounds; then each
// datagram is two bytes of length and its bytes. Nothing faults; what was
// taken is counted exactly; the memory held never passes its bound and is
// all given back when the attempts are let go; an answer is a whole reply.
#include <cstdlib>
#include <vector>

#include "reply_assembler.h"

using namespace tagengine;

namespace {

void check(bool holds) {
    if (!holds) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t attempts = 1 + (data[0] & 3);
    Exchange exchange;
    exchange.replyAsDatagram = (data[0] & 4) != 0;
    size_t maxReplyBytes = (data[0] & 8) ? 64 : 4096;
    size_t maxHeldBytes = (data[0] & 16) ? 256 : 1 << 20;
    ReplyMemory memory(maxReplyBytes, maxHeldBytes, 0);
    ReplyAssembler assembler;
    for (size_t n = 0; n < attempts; ++n) assembler.add(uint8_t(n), Clock::time_point{}, int(n) + 1);
    const std::vector<uint8_t> request{0x01, 0x01, 0x80, 0x00, 0x01, 0x08, 0x00};  // GET of tag 8
    Result result;
    size_t taken = 0, bytes = 0;
    Offer offer;
    for (size_t at = 1; at + 2 <= size;) {
        size_t length =
            std::min<size_t>(size_t(data[at] << 8 | data[at + 1]) % (MAX_DATAGRAM + 1), size - at - 2);
        std::span<const uint8_t> datagram(data + at + 2, length);
        at += 2 + length;
        VMsgView segment;
        if (!segment.parse(datagram.data(), uint16_t(datagram.size()))) continue;
        offer = assembler.offer(datagram, segment, request, exchange, memory, result, Clock::time_point{});
        if (offer.kind == Offer::Kind::Stray || offer.kind == Offer::Kind::Reflected) continue;
        ++taken;
        bytes += length;
        check(memory.held <= maxHeldBytes);
        if (offer.kind == Offer::Kind::Ended) break;
    }
    check(result.segments == taken && result.bytes == bytes);
    bool answered = offer.kind == Offer::Kind::Ended && offer.status != Status::ReplyTooLong;
    if (answered) {
        check(offer.answered != nullptr && (result.reply != nullptr) != !result.replyDatagram.empty());
        check(!result.reply || result.reply->sequence == 0);
    } else {
        check(!result.reply && result.replyDatagram.empty());
    }
    assembler.clear(memory);
    check(memory.held == 0);
    return 0;
}
