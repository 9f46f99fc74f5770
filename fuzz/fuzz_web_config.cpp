// The web configuration file: parsing never faults; it yields bcrypt hashes
// for users with names that fit a basic-auth header, TLS only with both
// files, or one "FILE:LINE: reason" line. The certificate and key "files"
// hold their own path, so the TLS check sees garbage, never the disk.
#include <cstdlib>
#include <string>
#include <string_view>

#include "basic_auth.h"
#include "web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    exporter::WebConfig config;
    std::string error;
    auto readFile = [](const std::string& path, std::string& content) {
        content = path;
        return path.size() % 2 == 0;  // some paths "cannot be read"
    };
    if (!exporter::parseWebConfig(text, "/fuzz/web.yml", config, error, readFile)) {
        size_t digits = error.find_first_not_of("0123456789", 14);
        if (error.rfind("/fuzz/web.yml:", 0) != 0 || digits == 14 || digits == std::string::npos ||
            error.compare(digits, 2, ": ") != 0)
            abort();
        return 0;
    }
    if (config.tls && (config.certFile.empty() || config.keyFile.empty())) abort();
    for (const auto& [user, hash] : config.users)
        if (user.empty() || user.find(':') != std::string::npos || !exporter::isBcryptHash(hash) ||
            exporter::bcryptCost(hash) > exporter::MAX_BCRYPT_COST)
            abort();
    return 0;
}
