#include "device_states.h"

#include <algorithm>

#include "fleet.h"

namespace {

// Whom a reply budget is kept for: an IPv6 /64 (what one host is usually
// given, so it cannot dodge its budget by changing its interface
// identifier) as its prefix, or an IPv4 address under ffff:ffff::/32, a
// multicast prefix no datagram comes from.
uint64_t budgetKey(const sockaddr_storage& a) {
    if (a.ss_family != AF_INET6)
        return 0xFFFFFFFF00000000ULL | ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr);
    const uint8_t* bytes = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr.s6_addr;
    uint64_t prefix = 0;
    for (int i = 0; i < 8; ++i) prefix = (prefix << 8) | bytes[i];
    return prefix;
}

// Only these change what a device holds (when they decode).
bool writes(std::span<const uint8_t> bytes) {
    return bytes.size() >= 2 && (bytes[1] == MSG_SET || bytes[1] == MSG_DEL);
}

}  // namespace

DeviceStates::DeviceStates(TagStore own) : budgets(1) { stores.emplace(0, std::move(own)); }

DeviceStates::DeviceStates(std::shared_ptr<const TagStore> base, size_t count, bool pooled)
    : base(std::move(base)), pooled(pooled) {
    if (pooled)
        budgets.emplace_back(std::min(MAX_POOLED_ADDRESSES, count * ReplyBudget::MAX_ADDRESSES));
    else
        budgets.resize(count);
}

HandleResult DeviceStates::handle(size_t device, std::span<const uint8_t> bytes,
                                  const ReadOnlyTags& readOnly) {
    if (TagStore* own = held(device)) return handleDatagram(bytes, *own, readOnly);
    TagStore view = fleetDeviceStore(base, device + 1);
    HandleResult result = handleDatagram(bytes, view, readOnly);
    if (result.request && writes(bytes)) stores.emplace(uint32_t(device), std::move(view));
    return result;
}

TagStore* DeviceStates::held(size_t device) {
    auto own = stores.find(uint32_t(device));
    return own == stores.end() ? nullptr : &own->second;
}

ReplyBudget& DeviceStates::budgetOf(size_t device, const sockaddr_storage& peer, uint64_t& key) {
    if (!pooled) {
        key = budgetKey(peer);
        return budgets[device];
    }
    // A fleet of at most 2^24 devices asked from IPv4 addresses: both fit.
    key = uint64_t(device) << 32 | ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr);
    return budgets[0];
}

bool DeviceStates::allows(size_t device, const sockaddr_storage& peer, ReplyBudget::Clock::time_point now,
                          const BudgetLimits& limits) {
    uint64_t key;
    ReplyBudget& budget = budgetOf(device, peer, key);
    return budget.allows(key, now, limits);
}

void DeviceStates::charge(size_t device, const sockaddr_storage& peer, size_t datagrams, size_t bytes,
                          ReplyBudget::Clock::time_point now, const BudgetLimits& limits) {
    uint64_t key;
    ReplyBudget& budget = budgetOf(device, peer, key);
    budget.charge(key, datagrams, bytes, now, limits);
}

void DeviceStates::forgetIdle(ReplyBudget::Clock::time_point now, const BudgetLimits& limits) {
    for (ReplyBudget& budget : budgets)
        if (budget.addresses()) budget.forgetIdle(now, limits);
}
