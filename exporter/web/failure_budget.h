// What one client address may cost in failed password checks: a bucket of
// `burst` checks that refills one every `refill`. A check takes its share
// before bcrypt runs and gives it back when the password was right, so that
// only failures count and a client cannot have more checks running than its
// budget allows. A spent budget is answered 429 without bcrypt.
//
// The rank of an address's next check puts first the addresses that passed
// a check within the last `trust` (a Prometheus server that comes back with
// a new password), then the others by the failures they owe.
//
// Addresses are IPv4 hosts and IPv6 /64 networks (a host there has a whole
// /64 to hop within; an IPv4-mapped address is its IPv4 host). The table is
// bounded: when full, addresses with their whole budget are forgotten, and if
// none is, new addresses share one budget until some are.
#ifndef EXPORTER_FAILURE_BUDGET_H
#define EXPORTER_FAILURE_BUDGET_H

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

namespace exporter {

class FailureBudget {
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::array<uint8_t, 17>;  // family, then the address or network

    struct Settings {
        unsigned burst = 10;
        Clock::duration refill = std::chrono::seconds(3);
        size_t maxAddresses = 65536;
        Clock::duration trust = std::chrono::minutes(10);
    };

    explicit FailureBudget(Settings settings) : settings(settings) {}

    static Key keyOf(const sockaddr* address);

    // Takes one check from the address's budget; false, with the time until
    // one is back, when it is spent.
    bool take(const Key& key, Clock::time_point now, Clock::duration& retryAfter);
    // Gives back what take took: no check ran.
    void giveBack(const Key& key, Clock::time_point now);
    // Gives back what take took, and trusts the address: the password was right.
    void succeeded(const Key& key, Clock::time_point now);
    // The rank of the address's next check (see CheckQueue): 0 when trusted,
    // else 1 and the failures it owes.
    unsigned rank(const Key& key, Clock::time_point now);
    // Checks the address owes now: 0 for one with its whole budget.
    unsigned owed(const Key& key, Clock::time_point now);

private:
    struct Bucket {
        double left = 0;  // checks, a fraction while refilling
        Clock::time_point at;
        Clock::time_point trustedUntil;
    };
    Bucket& bucketOf(const Key& wanted, Clock::time_point now);  // under lock, refilled to now

    Settings settings;
    std::mutex lock;
    std::map<Key, Bucket> buckets;
    Clock::time_point lastSweep;
};

}  // namespace exporter

#endif
