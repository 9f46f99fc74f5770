#include "config_yaml.h"

#include <yaml-cpp/yaml.h>

#include <charconv>

#include "tag_vocabulary.h"

namespace exporter {

namespace {

// The shortest text that reads back as the same number (0.6, not
// 0.59999999999999998), whatever the locale.
std::string shortest(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "0";
}

}  // namespace

std::string modulesYaml(const Config& config) {
    YAML::Emitter out;
    out.SetMapFormat(YAML::Block);
    out << YAML::BeginMap << YAML::Key << "modules" << YAML::Value << YAML::BeginMap;
    for (const auto& [name, module] : config.modules) {
        out << YAML::Key << name << YAML::Value << YAML::BeginMap;
        out << YAML::Key << "port" << YAML::Value << module.port;
        out << YAML::Key << "timeout" << YAML::Value << shortest(module.timeoutSeconds);
        out << YAML::Key << "retries" << YAML::Value << module.retries;
        out << YAML::Key << "tags" << YAML::Value << YAML::BeginSeq;
        for (uint8_t id : module.tags) out << tagById(id)->name;
        out << YAML::EndSeq << YAML::EndMap;
    }
    out << YAML::EndMap << YAML::EndMap;
    return std::string(out.c_str()) + "\n";
}

}  // namespace exporter
