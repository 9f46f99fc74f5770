#include "reply_budget.h"

#include <algorithm>
#include <iterator>

namespace {

double refill(double tokens, uint32_t limit, double seconds) {
    return std::min(double(limit), tokens + double(limit) * seconds);
}

bool isFull(double tokens, uint32_t limit) { return limit == 0 || tokens >= double(limit); }

}  // namespace

ReplyBudget::Buckets* ReplyBudget::refilled(uint64_t address, Clock::time_point now,
                                            const BudgetLimits& limits) {
    auto it = buckets.find(address);
    if (it == buckets.end()) {
        if (buckets.size() >= maxAddresses) return nullptr;
        it = buckets.emplace(address, Buckets{double(limits.replies), double(limits.bytes), now}).first;
    }
    refillUpTo(it->second, now, limits);
    return &it->second;
}

void ReplyBudget::refillUpTo(Buckets& b, Clock::time_point now, const BudgetLimits& limits) {
    double seconds = std::chrono::duration<double>(now - b.filled).count();
    if (seconds <= 0) return;
    b.replies = refill(b.replies, limits.replies, seconds);
    b.bytes = refill(b.bytes, limits.bytes, seconds);
    b.filled = now;
}

bool ReplyBudget::allows(uint64_t address, Clock::time_point now, const BudgetLimits& limits) {
    if (limits.unlimited()) return true;
    const Buckets* b = refilled(address, now, limits);
    return b && (limits.replies == 0 || b->replies >= 1) && (limits.bytes == 0 || b->bytes > 0);
}

void ReplyBudget::charge(uint64_t address, size_t datagrams, size_t bytes, Clock::time_point now,
                         const BudgetLimits& limits) {
    if (limits.unlimited()) return;
    if (Buckets* b = refilled(address, now, limits)) {
        b->replies -= double(datagrams);
        b->bytes -= double(bytes);
    }
}

void ReplyBudget::forgetIdle(Clock::time_point now, const BudgetLimits& limits) {
    for (auto it = buckets.begin(); it != buckets.end();) {
        Buckets& b = it->second;
        refillUpTo(b, now, limits);
        it = isFull(b.replies, limits.replies) && isFull(b.bytes, limits.bytes) ? buckets.erase(it)
                                                                                : std::next(it);
    }
}
