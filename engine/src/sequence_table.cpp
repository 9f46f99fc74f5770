#include "sequence_table.h"

#include <algorithm>

namespace tagengine {

namespace {
constexpr unsigned SEQUENCES = 128;
}

std::optional<uint8_t> SequenceTable::allocate(const PeerKey& address, uint64_t exchange) {
    auto [place, isNew] = peers.try_emplace(address);
    Peer& peer = place->second;
    if (isNew && forgotten) peer.next = lastNext;
    for (unsigned tried = 0; tried < SEQUENCES; ++tried) {
        uint8_t candidate = uint8_t((peer.next + tried) % SEQUENCES);
        bool taken = std::any_of(peer.held.begin(), peer.held.end(),
                                 [&](const auto& h) { return h.first == candidate; });
        if (taken) continue;
        peer.held.emplace_back(candidate, exchange);
        peer.next = uint8_t((candidate + 1) % SEQUENCES);
        lastNext = peer.next;
        return candidate;
    }
    return std::nullopt;
}

void SequenceTable::release(const PeerKey& address, uint8_t sequence) {
    auto it = peers.find(address);
    if (it == peers.end()) return;
    auto& held = it->second.held;
    std::erase_if(held, [&](const auto& h) { return h.first == sequence; });
    if (!held.empty()) return;
    // The address stays with its next sequence: the following exchange goes
    // on counting, so a late reply to an ended one is unlikely to match it.
    // Only while the table is small: memory must not grow with every
    // address ever asked.
    if (peers.size() > IDLE_ADDRESSES_KEPT) {
        peers.erase(it);
        forgotten = true;
    } else {
        held.shrink_to_fit();
    }
}

uint64_t SequenceTable::find(const PeerKey& address, uint8_t sequence) const {
    auto it = peers.find(address);
    if (it == peers.end()) return 0;
    for (const auto& h : it->second.held)
        if (h.first == sequence) return h.second;
    return 0;
}

std::vector<uint64_t> SequenceTable::holders(const PeerKey& address) const {
    std::vector<uint64_t> ids;
    auto it = peers.find(address);
    if (it == peers.end()) return ids;
    for (const auto& h : it->second.held) ids.push_back(h.second);
    return ids;
}

}  // namespace tagengine
