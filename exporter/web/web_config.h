// The web configuration file Prometheus exporters share (--web.config.file):
// TLS for the server and the users allowed in by HTTP basic authentication.
//
//   tls_server_config:
//     cert_file: server.crt     # PEM; relative paths are from the file's folder
//     key_file: server.key
//   basic_auth_users:
//     alice: $2y$10$...         # bcrypt hash of the password
//
// Either part may be left out; an empty file asks for neither.
#ifndef EXPORTER_WEB_CONFIG_H
#define EXPORTER_WEB_CONFIG_H

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace exporter {

struct WebConfig {
    bool tls = false;
    std::string certFile, keyFile;             // as resolved against the file's folder
    std::string certPem, keyPem;               // their contents, checked to be a matching pair
    std::map<std::string, std::string> users;  // user -> bcrypt hash ($2a$, $2b$ or $2y$)
};

// Parses the text; fileName labels messages and is the folder relative paths
// are taken from. False with "FILE:LINE: reason" for a syntax error, an
// unknown, repeated or unsupported key, a hash that is not bcrypt or costs
// more than MAX_BCRYPT_COST (basic_auth.h), or
// certificate and key files that cannot be read or do not make a pair
// (read as the modules file is: 1 MiB, 32 levels, no aliases). Reads the
// certificate and key files; never anything else.
bool parseWebConfig(std::string_view text, const std::string& fileName, WebConfig& config,
                    std::string& error);

// The same, with the certificate and key files read by readFile (false when
// one cannot be read), so that a fuzzer never touches the file system.
using FileReader = std::function<bool(const std::string& path, std::string& text)>;
bool parseWebConfig(std::string_view text, const std::string& fileName, WebConfig& config, std::string& error,
                    const FileReader& readFile);

// Reads and parses the file (at most 1 MiB).
bool loadWebConfigFile(const std::string& path, WebConfig& config, std::string& error);

// Whether the text is a bcrypt hash the system's crypt library checks:
// $2a$, $2b$ or $2y$, a two-digit cost from 04 to 31, 53 characters of
// bcrypt's base-64.
bool isBcryptHash(std::string_view hash);

}  // namespace exporter

#endif
