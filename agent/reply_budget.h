// How much one device may send to one source address: a token bucket of
// replies and one of reply bytes per address. It bounds what a forged
// request can draw out of the agent (a loop between two agents, a small GET
// that draws a large reply) without slowing a poller that asks many devices
// once each, since every device keeps its own buckets.
#ifndef AGENT_REPLY_BUDGET_H
#define AGENT_REPLY_BUDGET_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

// Each limit is per second with a burst of the same size; 0: unlimited.
struct BudgetLimits {
    uint32_t replies = 200;
    uint32_t bytes = 65536;
    bool unlimited() const { return replies == 0 && bytes == 0; }
};

class ReplyBudget {
public:
    using Clock = std::chrono::steady_clock;

    // At most maxAddresses kept (see MAX_ADDRESSES).
    explicit ReplyBudget(size_t maxAddresses = MAX_ADDRESSES) : maxAddresses(maxAddresses) {}

    // Whether a request from the address may be served now: true while the
    // address's buckets are not empty. A reply then costs what it costs,
    // which may take a bucket below empty; the address waits for the refill.
    bool allows(uint64_t address, Clock::time_point now, const BudgetLimits& limits);
    // Takes the reply's datagrams and bytes from the address's buckets.
    void charge(uint64_t address, size_t datagrams, size_t bytes, Clock::time_point now,
                const BudgetLimits& limits);
    // Forgets addresses whose buckets have refilled: they are as if new.
    void forgetIdle(Clock::time_point now, const BudgetLimits& limits);
    size_t addresses() const { return buckets.size(); }

    // Addresses kept at most by default; a request from yet another one is
    // refused until forgetIdle makes room, so forged sources cannot grow
    // memory.
    static constexpr size_t MAX_ADDRESSES = 4096;

private:
    struct Buckets {
        double replies, bytes;  // tokens left; below 0 after a large reply
        Clock::time_point filled;
    };
    // The address's buckets, refilled up to now; null when none are kept
    // and no room is left.
    Buckets* refilled(uint64_t address, Clock::time_point now, const BudgetLimits& limits);
    static void refillUpTo(Buckets& b, Clock::time_point now, const BudgetLimits& limits);

    size_t maxAddresses;
    std::unordered_map<uint64_t, Buckets> buckets;
};

#endif
