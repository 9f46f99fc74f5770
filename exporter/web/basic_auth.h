// HTTP basic authentication against bcrypt hashes, safe to call from any
// thread.
//
// bcrypt is slow on purpose (tens of milliseconds), far more than a probe
// costs, so a password once verified is remembered: the user's entry keeps a
// keyed SHA-256 of the (user, password) pair, and a later request with the
// same pair matches it without bcrypt. The key is random per process, so the
// digests are of no use outside it; a wrong password never replaces a good
// one. A reload builds a new object from the one in force and keeps what was
// verified for every user whose hash did not change.
//
// Timing: digests and hashes are compared in constant time, and every
// refusal costs the work of one check at the highest cost among the users:
// an unknown user is checked against a dummy salt of that cost, and the
// wrong password of a cheaper user is followed by dummy checks of each cost
// from its own up to the highest but one (each cost step doubles the work,
// so together they make up the difference). A refusal thus takes as long
// whether or not the user exists, whatever the user's cost and the
// machine's load.
#ifndef EXPORTER_BASIC_AUTH_H
#define EXPORTER_BASIC_AUTH_H

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace exporter {

// The highest bcrypt cost a web configuration may use: each step doubles a
// check's time, and at 12 one check is already some 0.2 s of a core.
constexpr unsigned MAX_BCRYPT_COST = 12;

class BasicAuth {
public:
    using Digest = std::array<uint8_t, 32>;

    // hashes: user -> bcrypt hash (see isBcryptHash) of at most
    // MAX_BCRYPT_COST; none means everyone is let in. previous: the users in
    // force until now, whose verified passwords are kept for every user
    // whose hash is the same.
    // Throws when the crypt library has no bcrypt or no random key is had.
    explicit BasicAuth(const std::map<std::string, std::string>& hashes, const BasicAuth* previous = nullptr);

    bool required() const { return !users.empty(); }
    // Whether the password is the user's; always false for an unknown user.
    bool check(std::string_view user, std::string_view password);
    // Whether the pair was verified before: the cheap check, without bcrypt,
    // that a request may have on the HTTP thread.
    bool remembered(std::string_view user, std::string_view password) const;
    // Checks that went to bcrypt, for tests of the memory of verified pairs.
    uint64_t bcryptChecks() const;
    // The bcrypt work done so far, as the sum of 2^cost over every hash
    // computed, real or dummy: what a refusal costs, counted rather than
    // timed.
    uint64_t bcryptWork() const { return work.load(); }
    // The cost of the dummy check: the highest of the users' costs.
    unsigned dummyCost() const { return dummyHashCost; }

private:
    struct User {
        std::string hash;
        std::optional<Digest> verified;  // under lock
    };
    Digest digestOf(std::string_view user, std::string_view password) const;
    bool matchesVerified(const User& user, const Digest& digest) const;
    void dummyCheck(unsigned cost) const;

    std::map<std::string, User, std::less<>> users;
    std::map<unsigned, std::string> dummySalts;  // cost -> a bcrypt setting of that cost
    unsigned dummyHashCost = 0;
    mutable std::mutex lock;
    uint64_t slowChecks = 0;  // under lock
    mutable std::atomic<uint64_t> work{0};
};

// Whether crypt(3) of the password with the hash's salt gives the hash,
// compared in constant time. False for anything crypt refuses, and for a
// password holding a NUL, which crypt would read only up to it.
bool bcryptMatches(std::string_view password, const std::string& hash);

// The cost a bcrypt hash names ("$2y$10$..." is 10); 0 for text that is not one.
unsigned bcryptCost(std::string_view hash);

// Whether the two byte strings are equal, in time that depends only on their lengths.
bool equalInConstantTime(std::string_view a, std::string_view b);

}  // namespace exporter

#endif
