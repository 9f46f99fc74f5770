// What each device of a run holds: its values and the reply budgets of the
// addresses that ask it. A fleet's devices start as views of one set of
// values and get state of their own only when written to or asked, so a
// million of them cost memory only for those in use.
#ifndef AGENT_DEVICE_STATES_H
#define AGENT_DEVICE_STATES_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "reply_budget.h"
#include "request_handler.h"
#include "store.h"

class DeviceStates {
public:
    // One device that owns its values.
    explicit DeviceStates(TagStore own);
    // count devices reading through base, device I (from 0) with the id and
    // label of fleetDeviceStore(base, I + 1). pooled: the sources are IPv4
    // addresses and one budget table serves every device, its room growing
    // with the fleet (within a bound); otherwise each device has its own.
    DeviceStates(std::shared_ptr<const TagStore> base, size_t count, bool pooled);

    // Serves one datagram against the device's values. A device's own copy
    // is made by its first SET or DEL and kept from then on.
    HandleResult handle(size_t device, std::span<const uint8_t> bytes, const ReadOnlyTags& readOnly);
    // The device's reply budget for the peer, as ReplyBudget's.
    bool allows(size_t device, const sockaddr_storage& peer, ReplyBudget::Clock::time_point now,
                const BudgetLimits& limits);
    void charge(size_t device, const sockaddr_storage& peer, size_t datagrams, size_t bytes,
                ReplyBudget::Clock::time_point now, const BudgetLimits& limits);
    void forgetIdle(ReplyBudget::Clock::time_point now, const BudgetLimits& limits);
    // The device's own values, or null while it reads through the base.
    TagStore* held(size_t device);
    // Devices holding values of their own.
    size_t written() const { return stores.size(); }

    // Budget entries one pooled table keeps at most, whatever the fleet's
    // size: about 300 MB when full.
    static constexpr size_t MAX_POOLED_ADDRESSES = size_t{1} << 22;

private:
    ReplyBudget& budgetOf(size_t device, const sockaddr_storage& peer, uint64_t& key);

    std::shared_ptr<const TagStore> base;  // null: one device, in stores[0]
    std::unordered_map<uint32_t, TagStore> stores;
    bool pooled = false;
    std::vector<ReplyBudget> budgets;  // one per device, or the pooled one
};

#endif
