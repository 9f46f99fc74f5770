// The credentials of an Authorization header of the Basic scheme: the scheme
// name in any case, one or more spaces, and the base64 of "user:password".
#ifndef EXPORTER_BASIC_CREDENTIALS_H
#define EXPORTER_BASIC_CREDENTIALS_H

#include <string>
#include <string_view>

namespace exporter {

struct Credentials {
    std::string user, password;
    Credentials() = default;
    ~Credentials();  // wipes the password
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
};

// False for another scheme, base64 that is malformed (padding is optional,
// nothing but spaces may follow), text without a ':', and a user or password
// holding a NUL byte: a C string would end there and let "secret\0junk"
// stand for "secret". The user is everything before the first ':'.
bool parseBasicCredentials(std::string_view header, Credentials& credentials);

}  // namespace exporter

#endif
