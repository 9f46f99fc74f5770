#include "web_config.h"

#include <gnutls/gnutls.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "basic_auth.h"
#include "yaml_document.h"

namespace exporter {

namespace {

constexpr size_t MAX_FILE_BYTES = size_t{1} << 20;

// Keys of the shared format that this exporter does not implement: refused
// by name, so that nobody believes a client certificate is being checked.
bool unsupportedTlsKey(const std::string& key) {
    static const std::set<std::string> keys = {"client_auth_type",
                                               "client_ca_file",
                                               "cipher_suites",
                                               "curve_preferences",
                                               "min_version",
                                               "max_version",
                                               "prefer_server_cipher_suites",
                                               "client_allowed_sans"};
    return keys.contains(key);
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string resolved(const std::string& folder, const std::string& path) {
    return path.empty() || path[0] == '/' ? path : folder + path;
}

// False when the file cannot be read or is larger than the bound.
bool readSmallFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(MAX_FILE_BYTES + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    return !in.bad() && text.size() <= MAX_FILE_BYTES;
}

// The reason the pair cannot serve TLS, or "" when it can: the same check
// the HTTP library makes at start, made here so that the file is named.
std::string keyPairFault(const std::string& certPem, const std::string& keyPem) {
    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) return "out of memory";
    gnutls_datum_t cert{reinterpret_cast<unsigned char*>(const_cast<char*>(certPem.data())),
                        unsigned(certPem.size())};
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(keyPem.data())),
                       unsigned(keyPem.size())};
    int status = gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(credentials);
    return status < 0 ? gnutls_strerror(status) : "";
}

void readTls(const tagyaml::Node& node, const std::string& folder, WebConfig& config,
             const FileReader& readFile) {
    eachEntry(
        node, "tls_server_config",
        [&](const std::string& key, const tagyaml::Node& keyNode, const tagyaml::Node& value) {
            if (key == "cert_file") {
                config.certFile = resolved(folder, yamlScalar(value, "cert_file"));
            } else if (key == "key_file") {
                config.keyFile = resolved(folder, yamlScalar(value, "key_file"));
            } else if (unsupportedTlsKey(key)) {
                failAt(keyNode, "\"" + key + "\" is not supported by tag_exporter");
            } else {
                failAt(keyNode,
                       "unknown key \"" + key + "\" in tls_server_config (known: cert_file, key_file)");
            }
        },
        EmptyEntry::Allowed);
    if (config.certFile.empty() || config.keyFile.empty())
        failAt(node, "tls_server_config needs both cert_file and key_file");
    if (!readFile(config.certFile, config.certPem))
        failAt(node, "cert_file " + config.certFile + " cannot be read (or is over 1 MiB)");
    if (!readFile(config.keyFile, config.keyPem))
        failAt(node, "key_file " + config.keyFile + " cannot be read (or is over 1 MiB)");
    std::string fault = keyPairFault(config.certPem, config.keyPem);
    if (!fault.empty())
        failAt(node, "cert_file " + config.certFile + " and key_file " + config.keyFile +
                         " are not a PEM certificate and its key: " + fault);
    config.tls = true;
}

// A cost beyond the bound would let one guess hold a core for seconds.
std::string costFault(const std::string& user, const std::string& hash) {
    unsigned cost = bcryptCost(hash);
    if (cost <= MAX_BCRYPT_COST) return "";
    return "the password hash of " + user + " has cost " + std::to_string(cost) +
           ", above the highest allowed (" + std::to_string(MAX_BCRYPT_COST) +
           "); hash the password again with a lower one";
}

void readUsers(const tagyaml::Node& node, WebConfig& config) {
    eachEntry(
        node, "basic_auth_users",
        [&](const std::string& user, const tagyaml::Node& keyNode, const tagyaml::Node& value) {
            // The user name travels before a colon in the Authorization header.
            if (user.empty() || user.find(':') != std::string::npos)
                failAt(keyNode, "user name \"" + user + "\" is empty or holds a ':'");
            std::string hash = yamlScalar(value, "the password hash of " + user);
            if (!isBcryptHash(hash))
                failAt(value, "the password hash of " + user + " is not a bcrypt hash ($2y$...)");
            if (std::string fault = costFault(user, hash); !fault.empty()) failAt(value, fault);
            config.users.emplace(user, hash);
        },
        EmptyEntry::Allowed);
}

void readWebConfig(const tagyaml::Node& root, const std::string& fileName, WebConfig& config,
                   const FileReader& readFile) {
    if (root.isNull()) return;
    eachEntry(
        root, "the top level",
        [&](const std::string& key, const tagyaml::Node& keyNode, const tagyaml::Node& value) {
            if (key == "tls_server_config")
                readTls(value, folderOf(fileName), config, readFile);
            else if (key == "basic_auth_users")
                readUsers(value, config);
            else if (key == "http_server_config")
                failAt(keyNode, "\"http_server_config\" is not supported by tag_exporter");
            else
                failAt(keyNode, "unknown key \"" + key +
                                    "\" at the top level (known: tls_server_config, basic_auth_users)");
        },
        EmptyEntry::Allowed);
}

}  // namespace

bool isBcryptHash(std::string_view hash) {
    static constexpr std::string_view ALPHABET =
        "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$')
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
    if (hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9') return false;
    int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31) return false;
    return std::ranges::all_of(hash.substr(7),
                               [](char c) { return ALPHABET.find(c) != std::string_view::npos; });
}

bool parseWebConfig(std::string_view text, const std::string& fileName, WebConfig& config,
                    std::string& error) {
    return parseWebConfig(text, fileName, config, error, readSmallFile);
}

bool parseWebConfig(std::string_view text, const std::string& fileName, WebConfig& config, std::string& error,
                    const FileReader& readFile) {
    config = WebConfig{};
    return readYamlDocument(
        text, fileName, [&](const tagyaml::Node& root) { readWebConfig(root, fileName, config, readFile); },
        error);
}

bool loadWebConfigFile(const std::string& path, WebConfig& config, std::string& error) {
    std::string text;
    if (!readSmallFile(path, text)) {
        error = path + ":0: cannot be read (or is over 1 MiB)";
        return false;
    }
    return parseWebConfig(text, path, config, error);
}

}  // namespace exporter
