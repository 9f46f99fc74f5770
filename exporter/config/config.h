// The exporter's configuration: named modules, each a set of tags to GET and
// how to ask for them. Read from YAML; every fault is reported with the file
// and line it is on, and a configuration with any fault is refused whole.
#ifndef EXPORTER_CONFIG_H
#define EXPORTER_CONFIG_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

struct Module {
    std::vector<uint8_t> tags;  // tag ids in the order written, no repeats
    uint16_t port = 60000;      // for targets written without a port
    double timeoutSeconds = 5;  // the probe's budget when no scrape time-out is given, and its cap
    unsigned retries = 2;       // further attempts after the first, all within the budget
};

struct Config {
    std::map<std::string, Module> modules;  // never empty once loaded
    std::string text;                       // the file as read, shown on the status page
    std::string fileName;
};

// Parses YAML text; fileName only labels messages. Returns false with
// "FILE:LINE: reason" in error for a syntax error, an unknown or repeated
// key, a wrong type, a value out of range or an unknown tag name.
bool parseConfig(std::string_view text, const std::string& fileName, Config& config, std::string& error);

// Reads and parses the file (at most 1 MiB).
bool loadConfigFile(const std::string& path, Config& config, std::string& error);

}  // namespace exporter

#endif
