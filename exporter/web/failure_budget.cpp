#include "failure_budget.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace exporter {

namespace {

// Where the addresses that find the table full are counted together.
constexpr FailureBudget::Key OVERFLOW_KEY = {0xFF};

}  // namespace

FailureBudget::Key FailureBudget::keyOf(const sockaddr* address) {
    Key key{};
    if (address->sa_family == AF_INET) {
        key[0] = 4;
        std::memcpy(&key[1], &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    } else if (address->sa_family == AF_INET6) {
        const auto& six = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&six)) {
            key[0] = 4;
            std::memcpy(&key[1], &six.s6_addr[12], 4);
        } else {
            key[0] = 6;
            std::memcpy(&key[1], &six.s6_addr[0], 8);  // the /64
        }
    }
    return key;
}

FailureBudget::Bucket& FailureBudget::bucketOf(const Key& wanted, Clock::time_point now) {
    const Key* key = &wanted;
    // The sweep of a full table runs at most once a second, so that a
    // stream of new addresses cannot make every request walk the table.
    if (!buckets.contains(wanted) && buckets.size() >= settings.maxAddresses) {
        if (now - lastSweep >= std::chrono::seconds(1)) {
            lastSweep = now;
            std::erase_if(buckets, [&](const auto& entry) {
                const Bucket& b = entry.second;
                return b.left + double((now - b.at).count()) / double(settings.refill.count()) >=
                       settings.burst;
            });
        }
        if (buckets.size() >= settings.maxAddresses) key = &OVERFLOW_KEY;
    }
    auto [found, added] = buckets.try_emplace(*key, Bucket{double(settings.burst), now, {}});
    Bucket& bucket = found->second;
    if (!added && now > bucket.at) {
        double refilled = double((now - bucket.at).count()) / double(settings.refill.count());
        bucket.left = std::min(double(settings.burst), bucket.left + refilled);
        bucket.at = now;
    }
    return bucket;
}

bool FailureBudget::take(const Key& key, Clock::time_point now, Clock::duration& retryAfter) {
    std::lock_guard hold(lock);
    Bucket& bucket = bucketOf(key, now);
    if (bucket.left >= 1) {
        bucket.left -= 1;
        return true;
    }
    retryAfter = std::chrono::duration_cast<Clock::duration>((1 - bucket.left) * settings.refill);
    return false;
}

void FailureBudget::giveBack(const Key& key, Clock::time_point now) {
    std::lock_guard hold(lock);
    Bucket& bucket = bucketOf(key, now);
    bucket.left = std::min(double(settings.burst), bucket.left + 1);
}

void FailureBudget::succeeded(const Key& key, Clock::time_point now) {
    std::lock_guard hold(lock);
    Bucket& bucket = bucketOf(key, now);
    bucket.left = std::min(double(settings.burst), bucket.left + 1);
    bucket.trustedUntil = now + settings.trust;
}

unsigned FailureBudget::rank(const Key& key, Clock::time_point now) {
    std::lock_guard hold(lock);
    const Bucket& bucket = bucketOf(key, now);
    if (now < bucket.trustedUntil) return 0;
    return 1 + unsigned(double(settings.burst) - bucket.left);
}

unsigned FailureBudget::owed(const Key& key, Clock::time_point now) {
    std::lock_guard hold(lock);
    const Bucket& bucket = bucketOf(key, now);
    return unsigned(double(settings.burst) - bucket.left);
}

}  // namespace exporter
