#include "config.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include "tag_vocabulary.h"
#include "yaml_document.h"

namespace exporter {

namespace {

constexpr size_t MAX_FILE_BYTES = size_t{1} << 20;
constexpr double MAX_TIMEOUT_SECONDS = 300;
constexpr unsigned MAX_RETRIES = 10;

template <typename T>
T number(const tagyaml::Node& node, const std::string& what, T low, T high) {
    std::string text = yamlScalar(node, what);
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= low) ||
        !(value <= high)) {
        std::ostringstream range;
        range << what << " must be a number from " << low << " to " << high;
        failAt(node, range.str());
    }
    return value;
}

std::vector<uint8_t> readTags(const tagyaml::Node& node) {
    if (!node.isSequence() || node.size() == 0) failAt(node, "tags must be a non-empty list of tag names");
    std::vector<uint8_t> ids;
    for (const tagyaml::Node& item : node.items()) {
        std::string name = yamlScalar(item, "a tag name");
        const TagEntry* entry = tagByName(name.c_str());
        if (!entry) failAt(item, "unknown tag name \"" + name + "\"");
        for (uint8_t id : ids)
            if (id == entry->id) failAt(item, "tag " + std::string(entry->name) + " is listed twice");
        ids.push_back(entry->id);
    }
    return ids;
}

Module readModule(const tagyaml::Node& node, const std::string& name) {
    Module module;
    bool haveTags = false;
    eachEntry(node, "module " + name,
              [&](const std::string& key, const tagyaml::Node& keyNode, const tagyaml::Node& value) {
                  if (key == "tags") {
                      module.tags = readTags(value);
                      haveTags = true;
                  } else if (key == "port") {
                      module.port = number<uint16_t>(value, "port", 1, 65535);
                  } else if (key == "timeout") {
                      module.timeoutSeconds = number<double>(value, "timeout", 0.001, MAX_TIMEOUT_SECONDS);
                  } else if (key == "retries") {
                      module.retries = number<unsigned>(value, "retries", 0, MAX_RETRIES);
                  } else {
                      failAt(keyNode, "unknown key \"" + key + "\" in module " + name +
                                          " (known: tags, port, timeout, retries)");
                  }
              });
    if (!haveTags) failAt(node, "module " + name + " has no tags");
    return module;
}

bool validModuleName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

void readConfig(const tagyaml::Node& root, Config& config) {
    if (root.isNull()) throw YamlFault{1, "the file is empty: it needs a modules mapping"};
    bool haveModules = false;
    eachEntry(root, "the top level",
              [&](const std::string& key, const tagyaml::Node& keyNode, const tagyaml::Node& value) {
                  if (key != "modules")
                      failAt(keyNode, "unknown key \"" + key + "\" at the top level (known: modules)");
                  haveModules = true;
                  eachEntry(value, "modules",
                            [&](const std::string& name, const tagyaml::Node& nameNode,
                                const tagyaml::Node& module) {
                                if (!validModuleName(name))
                                    failAt(nameNode, "module name \"" + name + "\" is not [a-z0-9_-]{1,64}");
                                config.modules.emplace(name, readModule(module, name));
                            });
                  if (config.modules.empty()) failAt(value, "modules is empty");
              });
    if (!haveModules) failAt(root, "no modules mapping");
}

}  // namespace

bool parseConfig(std::string_view text, const std::string& fileName, Config& config, std::string& error) {
    config = Config{};
    if (!readYamlDocument(
            text, fileName, [&](const tagyaml::Node& root) { readConfig(root, config); }, error))
        return false;
    config.text.assign(text);
    config.fileName = fileName;
    return true;
}

bool loadConfigFile(const std::string& path, Config& config, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ":0: cannot be read";
        return false;
    }
    std::string text(MAX_FILE_BYTES + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    return parseConfig(text, path, config, error);
}

}  // namespace exporter
