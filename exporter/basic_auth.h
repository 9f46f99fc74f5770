// HTTP basic authentication against bcrypt hashes, safe to call from any
// thread.
//
// bcrypt is slow on purpose (tens of milliseconds), far more than a probe
// costs, so a password once verified is remembered: the user's entry keeps a
// keyed SHA-256 of the (user, password) pair, and a later request with the
// same pair matches it without bcrypt. The key is random per process, so the
// digests are of no use outside it; a wrong password never replaces a good
// one; the memory goes with the object (a reload of the web configuration).
//
// Timing: digests and hashes are compared in constant time, and an unknown
// user is checked against a dummy hash of the same cost, so that a wrong
// answer takes as long whether or not the user exists.
#ifndef EXPORTER_BASIC_AUTH_H
#define EXPORTER_BASIC_AUTH_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace exporter {

class BasicAuth {
public:
    using Digest = std::array<uint8_t, 32>;

    // hashes: user -> bcrypt hash (see isBcryptHash); none means everyone is let in.
    explicit BasicAuth(const std::map<std::string, std::string>& hashes);

    bool required() const { return !users.empty(); }
    // Whether the password is the user's. Always false for an unknown user.
    bool check(std::string_view user, std::string_view password);
    // Checks that went to bcrypt, for tests of the memory of verified pairs.
    uint64_t bcryptChecks() const;

private:
    struct User {
        std::string hash;
        std::optional<Digest> verified;  // under lock
    };
    Digest digestOf(std::string_view user, std::string_view password) const;

    std::map<std::string, User, std::less<>> users;
    std::string dummyHash;
    std::array<uint8_t, 32> key{};
    mutable std::mutex lock;
    uint64_t slowChecks = 0;  // under lock
};

// Whether crypt(3) of the password with the hash's salt gives the hash,
// compared in constant time. False for anything crypt refuses.
bool bcryptMatches(std::string_view password, const std::string& hash);

// Whether the two byte strings are equal, in time that depends only on their lengths.
bool equalInConstantTime(std::string_view a, std::string_view b);

}  // namespace exporter

#endif
