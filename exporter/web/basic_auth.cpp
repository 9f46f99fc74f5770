#include "basic_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace exporter {

namespace {

// One key for the whole process, so that a password verified under the
// users of one reload still matches under the next.
const std::array<uint8_t, 32>& processKey() {
    static const std::array<uint8_t, 32> key = [] {
        std::array<uint8_t, 32> made{};
        if (gnutls_rnd(GNUTLS_RND_KEY, made.data(), made.size()) != 0)
            throw std::runtime_error("no random bytes for the key of verified passwords");
        return made;
    }();
    return key;
}

// The highest cost among the users, so that the dummy hash takes as long as
// the slowest of them; bcrypt's usual 10 without any.
unsigned highestCost(const std::map<std::string, std::string>& users) {
    if (users.empty()) return 10;
    unsigned cost = 0;
    for (const auto& [user, hash] : users) cost = std::max(cost, bcryptCost(hash));
    return std::min(cost, MAX_BCRYPT_COST);
}

std::string dummySalt(unsigned cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$2b$", cost, nullptr, 0, setting, sizeof setting))
        throw std::runtime_error("the crypt library cannot make a bcrypt salt");
    return setting;
}

}  // namespace

bool equalInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

unsigned bcryptCost(std::string_view hash) {
    if (hash.size() < 7 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$') return 0;
    if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return 0;
    return unsigned(hash[4] - '0') * 10 + unsigned(hash[5] - '0');
}

bool bcryptMatches(std::string_view password, const std::string& hash) {
    // crypt takes a C string: a password holding a NUL is not the one hashed.
    if (password.find('\0') != std::string_view::npos) return false;
    std::string text(password);
    auto data = std::make_unique<crypt_data>();  // some 32 KiB: not on a thread's stack
    const char* out = crypt_r(text.c_str(), hash.c_str(), data.get());
    bool same = out && out[0] != '*' && equalInConstantTime(out, hash);
    explicit_bzero(data.get(), sizeof *data);
    explicit_bzero(text.data(), text.size());
    return same;
}

BasicAuth::BasicAuth(const std::map<std::string, std::string>& hashes, const BasicAuth* previous) {
    for (const auto& [user, hash] : hashes) users.emplace(user, User{hash, std::nullopt});
    if (users.empty()) return;
    processKey();  // drawn now, so that a failure shows at start rather than at a request
    if (previous) {
        std::lock_guard hold(previous->lock);
        for (auto& [name, user] : users) {
            auto before = previous->users.find(name);
            if (before != previous->users.end() && before->second.hash == user.hash)
                user.verified = before->second.verified;
        }
    }
    dummyHashCost = highestCost(hashes);
    for (unsigned cost = 4; cost <= dummyHashCost; ++cost) dummySalts.emplace(cost, dummySalt(cost));
    // Once at the lowest cost, so that a library without bcrypt shows at
    // start; a reload, which may come in storms, need not ask again.
    if (previous && previous->required()) return;
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r("not a password anyone has", dummySalts.at(4).c_str(), data.get());
    if (!hash || hash[0] == '*') throw std::runtime_error("the crypt library has no bcrypt");
}

void BasicAuth::dummyCheck(unsigned cost) const {
    auto data = std::make_unique<crypt_data>();
    crypt_r("not a password anyone has", dummySalts.at(cost).c_str(), data.get());
    work += uint64_t{1} << cost;
}

BasicAuth::Digest BasicAuth::digestOf(std::string_view user, std::string_view password) const {
    // HMAC-SHA256 under the process's key, over the user, a separator no
    // user name holds, and the password.
    std::string message;
    message.reserve(user.size() + 1 + password.size());
    message.append(user).push_back(':');
    message.append(password);
    Digest digest{};
    const auto& key = processKey();
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, key.data(), key.size(), message.data(), message.size(),
                     digest.data());
    explicit_bzero(message.data(), message.size());
    return digest;
}

bool BasicAuth::matchesVerified(const User& user, const Digest& digest) const {
    std::lock_guard hold(lock);
    const auto& verified = user.verified;
    return verified &&
           equalInConstantTime({reinterpret_cast<const char*>(digest.data()), digest.size()},
                               {reinterpret_cast<const char*>(verified->data()), verified->size()});
}

bool BasicAuth::remembered(std::string_view user, std::string_view password) const {
    auto found = users.find(user);
    return found != users.end() && matchesVerified(found->second, digestOf(user, password));
}

bool BasicAuth::check(std::string_view user, std::string_view password) {
    auto found = users.find(user);
    if (found == users.end()) {
        dummyCheck(dummyHashCost);  // the work a known user's wrong password takes
        std::lock_guard hold(lock);
        ++slowChecks;
        return false;
    }
    Digest digest = digestOf(user, password);
    if (matchesVerified(found->second, digest)) return true;
    {
        std::lock_guard hold(lock);
        ++slowChecks;
    }
    // bcrypt outside the lock: other requests need not wait for it.
    bool matches = bcryptMatches(password, found->second.hash);
    work += uint64_t{1} << std::max(4U, bcryptCost(found->second.hash));
    if (!matches) {
        // 2^c + 2^c + 2^(c+1) + ... + 2^(max-1) = 2^max: a cheaper user's
        // refusal costs what the costliest's does.
        for (unsigned cost = std::max(4U, bcryptCost(found->second.hash)); cost < dummyHashCost; ++cost)
            dummyCheck(cost);
        return false;
    }
    std::lock_guard hold(lock);
    found->second.verified = digest;
    return true;
}

uint64_t BasicAuth::bcryptChecks() const {
    std::lock_guard hold(lock);
    return slowChecks;
}

}  // namespace exporter
