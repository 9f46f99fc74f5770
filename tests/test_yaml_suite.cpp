// The loader against every case of the YAML test suite: each invalid text
// refused with a line, each valid one either refused for a feature we
// refuse on purpose (anchors, a second document) or read as the suite's
// JSON reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tagyaml.h"

namespace {

using nlohmann::json;

const tagyaml::Bounds BOUNDS{size_t{1} << 20, 64};

// Whether the scalar may be read as other than a text: plain and untagged,
// or tagged with the core schema's tag of that kind.
bool resolvable(const tagyaml::Node& node, std::string_view kind) {
    if (!node.isScalar()) return false;
    if (node.tag().empty()) return node.style() == tagyaml::Style::Plain;
    return node.tag() == "tag:yaml.org,2002:" + std::string(kind);
}

bool plainIs(const tagyaml::Node& node, std::initializer_list<std::string_view> words) {
    if (!resolvable(node, "bool")) return false;
    for (std::string_view word : words)
        if (node.text() == word) return true;
    return false;
}

// A plain scalar's number as the core schema reads it.
bool numberOf(std::string_view text, double& value) {
    std::string s(text);
    if (s == ".inf" || s == "+.inf" || s == ".Inf" || s == ".INF") return value = INFINITY, true;
    if (s == "-.inf" || s == "-.Inf" || s == "-.INF") return value = -INFINITY, true;
    int base = 10;
    std::string digits = s;
    if (s.starts_with("0x")) base = 16, digits = s.substr(2);
    if (s.starts_with("0o")) base = 8, digits = s.substr(2);
    char* end = nullptr;
    value = base == 10 ? std::strtod(digits.c_str(), &end) : double(std::strtoll(digits.c_str(), &end, base));
    return !digits.empty() && *end == '\0';
}

// Whether the node holds what the JSON value holds. A string matches any
// scalar of that text; a number or boolean only a plain untagged one or one
// tagged as such.
bool same(const tagyaml::Node& node, const json& value) {
    switch (value.type()) {
    case json::value_t::object: {
        if (!node.isMapping() || node.size() != value.size()) return false;
        for (const tagyaml::Pair& pair : node.pairs()) {
            if (!pair.key.isScalar()) return false;
            auto it = value.find(std::string(pair.key.isNull() ? "null" : pair.key.text()));
            if (it == value.end() || !same(pair.value, *it)) return false;
        }
        return true;
    }
    case json::value_t::array: {
        if (!node.isSequence() || node.size() != value.size()) return false;
        size_t i = 0;
        for (const tagyaml::Node& item : node.items())
            if (!same(item, value[i++])) return false;
        return true;
    }
    case json::value_t::string: return node.isScalar() && node.text() == value.get<std::string>();
    case json::value_t::boolean:
        return value.get<bool>() ? plainIs(node, {"true", "True", "TRUE"})
                                 : plainIs(node, {"false", "False", "FALSE"});
    case json::value_t::null: return node.isNull();
    default: {
        double number = 0;
        return (resolvable(node, "int") || resolvable(node, "float")) && numberOf(node.text(), number) &&
               number == value.get<double>();
    }
    }
}

// "suite:LINE: reason", LINE from 1, the whole of printable ASCII.
bool faultLine(const std::string& e) {
    size_t digits = e.find_first_not_of("0123456789", 6);
    if (!e.starts_with("suite:") || digits == 6 || e[6] == '0' || digits == std::string::npos ||
        e.compare(digits, 2, ": ") != 0 || digits + 2 == e.size())
        return false;
    return std::all_of(e.begin(), e.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

struct Tally {
    int invalidRefused = 0, validRead = 0, refusedFeature = 0, noJson = 0;
    std::vector<std::string> wrong;  // "ID: why"
};

void check(const json& c, Tally& tally) {
    const std::string id = c.at("id");
    const std::string yaml = c.at("yaml");
    tagyaml::Document doc;
    std::string error;
    bool loaded = tagyaml::load(yaml, "suite", BOUNDS, doc, error);
    if (!loaded && !faultLine(error)) tally.wrong.push_back(id + ": malformed refusal " + error);
    if (c.value("fail", false)) {
        if (loaded)
            tally.wrong.push_back(id + ": invalid YAML accepted");
        else
            ++tally.invalidRefused;
        return;
    }
    if (!loaded) {
        bool feature = error.ends_with("anchors and aliases are not allowed") ||
                       error.find(": a tab: ") != std::string::npos ||
                       error.ends_with("more than one YAML document");
        if (feature)
            ++tally.refusedFeature;
        else
            tally.wrong.push_back(id + ": valid YAML refused: " + error);
        return;
    }
    if (!c.contains("json") || c.at("json").is_null()) {
        ++tally.noJson;
        return;
    }
    std::string text = c.at("json");
    json expected = text.empty() ? json(nullptr) : json::parse(text, nullptr, false);
    if (expected.is_discarded()) {
        // Several JSON values: only a stream of several documents has them.
        tally.wrong.push_back(id + ": one document read where the suite has several");
        return;
    }
    if (same(doc.root(), expected))
        ++tally.validRead;
    else
        tally.wrong.push_back(id + ": values differ from the suite's JSON");
}

TEST(YamlSuite, InvalidCasesRefusedValidCasesReadAsTheirJson) {
    std::ifstream in(YAML_SUITE_CASES);
    ASSERT_TRUE(in) << YAML_SUITE_CASES;
    json cases = json::parse(in);
    ASSERT_EQ(cases.size(), 402u);
    Tally tally;
    for (const json& c : cases) check(c, tally);
    std::ostringstream wrong;
    for (const std::string& w : tally.wrong) wrong << "\n  " << w;
    EXPECT_TRUE(tally.wrong.empty()) << tally.wrong.size() << " cases misbehave:" << wrong.str();
    EXPECT_EQ(tally.invalidRefused, 94);
    std::cout << "invalid refused " << tally.invalidRefused << ", valid read as their JSON "
              << tally.validRead << ", valid but using anchors or several documents " << tally.refusedFeature
              << ", valid without JSON " << tally.noJson << "\n";
}

}  // namespace
