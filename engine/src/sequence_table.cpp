#include "sequence_table.h"

#include <algorithm>

namespace tagengine {

namespace {
constexpr unsigned SEQUENCES = 128;
}

std::optional<uint8_t> SequenceTable::allocate(const PeerKey& address, uint64_t exchange) {
    auto [place, isNew] = peers.tryEmplace(address);
    Peer& peer = *place;
    if (isNew && forgotten) peer.next = lastNext;
    for (unsigned tried = 0; tried < SEQUENCES; ++tried) {
        uint8_t candidate = uint8_t((peer.next + tried) % SEQUENCES);
        bool taken = std::any_of(peer.held.begin(), peer.held.end(),
                                 [&](const auto& h) { return h.first == candidate; });
        if (taken) continue;
        peer.held.push_back({candidate, exchange});
        peer.next = uint8_t((candidate + 1) % SEQUENCES);
        lastNext = peer.next;
        return candidate;
    }
    return std::nullopt;
}

void SequenceTable::release(const PeerKey& address, uint8_t sequence) {
    Peer* peer = peers.find(address);
    if (!peer) return;
    auto& held = peer->held;
    auto taken = std::find_if(held.begin(), held.end(), [&](const auto& h) { return h.first == sequence; });
    if (taken != held.end()) held.erase(taken);
    if (!held.empty()) return;
    // The address stays with its next sequence: the following exchange goes
    // on counting, so a late reply to an ended one is unlikely to match it.
    // Only while the table is small: memory must not grow with every
    // address ever asked.
    if (peers.size() > IDLE_ADDRESSES_KEPT) {
        peers.erase(address);
        forgotten = true;
    } else {
        held.clear();  // back in place, if it had grown past it
    }
}

uint64_t SequenceTable::find(const PeerKey& address, uint8_t sequence) const {
    const Peer* peer = peers.find(address);
    if (!peer) return 0;
    for (const auto& h : peer->held)
        if (h.first == sequence) return h.second;
    return 0;
}

std::vector<uint64_t> SequenceTable::holders(const PeerKey& address) const {
    std::vector<uint64_t> ids;
    const Peer* peer = peers.find(address);
    if (!peer) return ids;
    for (const auto& h : peer->held) ids.push_back(h.second);
    return ids;
}

}  // namespace tagengine
