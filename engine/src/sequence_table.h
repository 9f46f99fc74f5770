// Sequence numbers in use, per target address: a reply is matched by the
// address it came from and its 7-bit sequence, so no two live requests to
// one address may share a sequence.
#ifndef TAGENGINE_SEQUENCE_TABLE_H
#define TAGENGINE_SEQUENCE_TABLE_H

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "flat_map.h"
#include "inline_vector.h"
#include "peer_key.h"

namespace tagengine {

class SequenceTable {
public:
    // A sequence free at that address, now held for the exchange; none when
    // all 128 are held.
    std::optional<uint8_t> allocate(const PeerKey& address, uint64_t exchange);
    void release(const PeerKey& address, uint8_t sequence);
    // The exchange holding the sequence at the address, or 0.
    uint64_t find(const PeerKey& address, uint8_t sequence) const;
    // Every exchange holding a sequence at the address.
    std::vector<uint64_t> holders(const PeerKey& address) const;
    // Addresses remembered, busy or idle.
    size_t addresses() const { return peers.size(); }

    // Idle addresses are remembered (with their next sequence) up to this
    // many; past it an address is forgotten once it holds nothing, so a
    // long-running caller probing ever new targets keeps bounded memory.
    static constexpr size_t IDLE_ADDRESSES_KEPT = 4096;

private:
    struct Peer {
        uint8_t next = 0;
        // Few at a time: one per live attempt to the address.
        InlineVector<std::pair<uint8_t, uint64_t>, 2> held;
    };
    FlatMap<PeerKey, Peer, PeerKeyHash> peers;
    // Once an idle address has been forgotten, one that comes back must not
    // start again at 0, where a late reply to its last exchange may still
    // be on the way: new addresses then start where the table last counted.
    bool forgotten = false;
    uint8_t lastNext = 0;
};

}  // namespace tagengine

#endif
