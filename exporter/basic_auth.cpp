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

// The cost of the users' hashes, so that the dummy one takes as long: that
// of the first user, bcrypt's usual 10 without any. Capped, because the
// dummy hash is made at start and every cost step doubles the time: at 16
// it is some five seconds, at 31 days.
constexpr unsigned long MAX_DUMMY_COST = 16;

unsigned long costOf(const std::map<std::string, std::string>& users) {
    if (users.empty()) return 10;
    const std::string& hash = users.begin()->second;
    return std::min(MAX_DUMMY_COST, (unsigned long)((hash[4] - '0') * 10 + (hash[5] - '0')));
}

std::string makeDummyHash(unsigned long cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$2b$", cost, nullptr, 0, setting, sizeof setting))
        throw std::runtime_error("the crypt library cannot make a bcrypt salt");
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r("not a password anyone has", setting, data.get());
    if (!hash || hash[0] == '*') throw std::runtime_error("the crypt library has no bcrypt");
    return hash;
}

}  // namespace

bool equalInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
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

BasicAuth::BasicAuth(const std::map<std::string, std::string>& hashes) {
    for (const auto& [user, hash] : hashes) users.emplace(user, User{hash, std::nullopt});
    if (users.empty()) return;
    dummyHash = makeDummyHash(costOf(hashes));
    if (gnutls_rnd(GNUTLS_RND_KEY, key.data(), key.size()) != 0)
        throw std::runtime_error("no random bytes for the key of verified passwords");
}

BasicAuth::Digest BasicAuth::digestOf(std::string_view user, std::string_view password) const {
    // HMAC-SHA256 under the process's key, over the user, a separator no
    // user name holds, and the password.
    std::string message;
    message.reserve(user.size() + 1 + password.size());
    message.append(user).push_back(':');
    message.append(password);
    Digest digest{};
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, key.data(), key.size(), message.data(), message.size(),
                     digest.data());
    explicit_bzero(message.data(), message.size());
    return digest;
}

bool BasicAuth::check(std::string_view user, std::string_view password) {
    auto found = users.find(user);
    if (found == users.end()) {
        bcryptMatches(password, dummyHash);  // the time a known user's wrong password takes
        std::lock_guard hold(lock);
        ++slowChecks;
        return false;
    }
    Digest digest = digestOf(user, password);
    std::string_view given(reinterpret_cast<const char*>(digest.data()), digest.size());
    {
        std::lock_guard hold(lock);
        const auto& verified = found->second.verified;
        if (verified &&
            equalInConstantTime(given, {reinterpret_cast<const char*>(verified->data()), verified->size()}))
            return true;
        ++slowChecks;
    }
    // bcrypt outside the lock: other requests need not wait for it.
    if (!bcryptMatches(password, found->second.hash)) return false;
    std::lock_guard hold(lock);
    found->second.verified = digest;
    return true;
}

uint64_t BasicAuth::bcryptChecks() const {
    std::lock_guard hold(lock);
    return slowChecks;
}

}  // namespace exporter
