// The modules file: every fault is named with its file and line, and the
// default file generated from the tag table loads with the groups users need.
#include <gtest/gtest.h>

#include <string>

#include "config.h"
#include "demo_device.h"
#include "volatile_tags.h"

namespace {

struct BadFile {
    const char* file;
    const char* expected;  // after "DIR/FILE:"
};

const BadFile BAD_FILES[] = {
    {"unknown_module_key.yml",
     "4: unknown key \"colour\" in module device (known: tags, port, timeout, retries)"},
    {"unknown_top_key.yml", "4: unknown key \"scrape\" at the top level (known: modules)"},
    {"unknown_tag.yml", "5: unknown tag name \"TAG_NO_SUCH_TAG\""},
    {"port_out_of_range.yml", "4: port must be a number from 1 to 65535"},
    {"timeout_not_number.yml", "4: timeout must be a number from 0.001 to 300"},
    {"retries_negative.yml", "4: retries must be a number from 0 to 10"},
    {"no_tags.yml", "3: module device has no tags"},
    {"empty_tags.yml", "3: tags must be a non-empty list of tag names"},
    {"repeated_tag.yml", "3: tag TAG_DEV_ID is listed twice"},
    {"repeated_module.yml", "4: \"device\" appears twice in modules"},
    {"bad_module_name.yml", "2: module name \"Device!\" is not [a-z0-9_-]{1,64}"},
    {"syntax_error.yml", "4: flow sequence without a closing bracket"},
    {"module_not_mapping.yml", "2: module device must be a mapping"},
    {"empty.yml", "1: the file is empty: it needs a modules mapping"},
    {"no_modules.yml", "1: modules is empty"},
    {"tag_not_scalar.yml", "4: a tag name must be a single value"},
};

TEST(ExporterConfig, EachBadFileIsRefusedWithItsLineAndReason) {
    for (const BadFile& bad : BAD_FILES) {
        std::string path = std::string(CONFIG_TEST_DATA) + "/" + bad.file;
        exporter::Config config;
        std::string error;
        EXPECT_FALSE(exporter::loadConfigFile(path, config, error)) << bad.file;
        EXPECT_EQ(error, path + ":" + bad.expected);
    }
}

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

const std::string GOOD = "modules:\n  device:\n    tags: [TAG_DEV_ID]\n";

// Aliases that double a list ten times over: a thousand references to it.
// Refused at the first anchor, as every anchor and alias is.
std::string aliasBomb() {
    std::string text = "a0: &a0 [x, x]\n";
    for (int i = 1; i <= 10; ++i)
        text += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [*a" + std::to_string(i - 1) +
                ", *a" + std::to_string(i - 1) + "]\n";
    return text + GOOD;
}

TEST(ExporterConfig, NestingIsCountedOnTheDocumentNotTheText) {
    struct Case {
        std::string text;
        const char* expected;  // empty: accepted
    };
    const Case cases[] = {
        {"# " + repeated("[", 46) + " not nesting\n" + GOOD, ""},
        {GOOD + "    # {{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{\n", ""},
        {"x: [\"" + repeated("[", 40) + "\"]\n" + GOOD,
         "1: unknown key \"x\" at the top level (known: modules)"},
        {"x: " + repeated("[", 31) + repeated("]", 31) + "\n" + GOOD,
         "1: unknown key \"x\" at the top level (known: modules)"},
        {"x: " + repeated("[", 32) + repeated("]", 32) + "\n" + GOOD, "1: nested more than 32 levels deep"},
        {"modules:\n" + repeated("  ", 1) + "device:\n    tags:\n" + repeated("     - ", 1) +
             repeated("[", 40) + repeated("]", 40) + "\n",
         "4: nested more than 32 levels deep"},
        {"x: " + repeated("[", 5000) + repeated("]", 5000) + "\n", "1: nested more than 32 levels deep"},
        {aliasBomb(), "1: anchors and aliases are not allowed"},
        // Invalid YAML is refused as such: a quote left open would fold
        // the lines after it into the tag name, a raw NUL would end it.
        {GOOD + "    port: \"1\n", "4: double-quoted scalar without closing quote"},
        {"modules:\n  device:\n    tags:\n      - \"TAG_DEV_ID\n    port: 1\n",
         "4: wrongly indented double-quoted scalar"},
        {GOOD + "    port: 1" + std::string(1, '\0') + "2\n", "4: a NUL byte, which YAML does not allow"},
    };
    for (const Case& c : cases) {
        exporter::Config config;
        std::string error;
        bool ok = exporter::parseConfig(c.text, "n.yml", config, error);
        EXPECT_EQ(ok, *c.expected == '\0') << error;
        EXPECT_EQ(ok ? "" : error, ok ? "" : std::string("n.yml:") + c.expected) << c.text.substr(0, 80);
    }
}

TEST(ExporterConfig, MissingFileIsRefused) {
    exporter::Config config;
    std::string error;
    EXPECT_FALSE(exporter::loadConfigFile("/nonexistent/tag_exporter.yml", config, error));
    EXPECT_EQ(error, "/nonexistent/tag_exporter.yml:0: cannot be read");
}

TEST(ExporterConfig, ValuesAndDefaultsAreRead) {
    exporter::Config config;
    std::string error;
    ASSERT_TRUE(
        exporter::parseConfig("modules:\n  a:\n    tags: [tag_dev_id, TAG_CCD_TEMP]\n    port: 1\n"
                              "    timeout: 0.25\n    retries: 10\n  b:\n    tags: [TAG_SITE_ID]\n",
                              "x.yml", config, error))
        << error;
    const exporter::Module& a = config.modules.at("a");
    EXPECT_EQ(a.tags, (std::vector<uint8_t>{8, 145}));
    EXPECT_EQ(a.port, 1);
    EXPECT_EQ(a.timeoutSeconds, 0.25);
    EXPECT_EQ(a.retries, 10U);
    const exporter::Module& b = config.modules.at("b");
    EXPECT_EQ(b.port, 60000);
    EXPECT_EQ(b.timeoutSeconds, 5);
    EXPECT_EQ(b.retries, 2U);
}

TEST(ExporterConfig, GeneratedDefaultHasAModulePerGroup) {
    exporter::Config config;
    std::string error;
    ASSERT_TRUE(exporter::loadConfigFile(DEFAULT_MODULES, config, error)) << error;
    for (const char* name : {"device", "io", "ai", "ao", "ccd", "site"})
        EXPECT_TRUE(config.modules.count(name)) << name;
    // Every DEV tag a device holds, in table order, and no other: not the
    // old and new ids of a change of id.
    EXPECT_EQ(config.modules.at("device").tags, (std::vector<uint8_t>{6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

// A text tag is a label value: one that changes on every read would make a
// new series per scrape, so no default module asks for one.
TEST(ExporterConfig, NoDefaultModuleHoldsATextThatChangesOnEveryRead) {
    exporter::Config config;
    std::string error;
    ASSERT_TRUE(exporter::loadConfigFile(DEFAULT_MODULES, config, error)) << error;
    size_t volatileInTable = 0;
    for (const TagEntry& entry : allTags()) volatileInTable += changesOnEveryRead(entry) ? 1 : 0;
    EXPECT_EQ(volatileInTable, 5U);  // the date, the time, two values held as text, the code scanned
    for (const auto& [name, module] : config.modules)
        for (uint8_t id : module.tags)
            EXPECT_FALSE(changesOnEveryRead(*tagById(id))) << name << ": " << tagById(id)->name;
    // The clock's settings stay: they change when someone changes them.
    const auto& datetime = config.modules.at("datetime").tags;
    EXPECT_EQ(datetime, (std::vector<uint8_t>{166, 167, 168}));
}

// A probe of the demo agent with the shipped device module is one exchange:
// the demo device holds every tag the module asks for.
TEST(ExporterConfig, TheDemoDeviceHoldsEveryTagOfTheDeviceModule) {
    exporter::Config config;
    std::string error;
    ASSERT_TRUE(exporter::loadConfigFile(DEFAULT_MODULES, config, error)) << error;
    TagStore store;
    loadDemoDevice(store);
    for (uint8_t id : config.modules.at("device").tags) EXPECT_NE(store.find(id), nullptr) << int(id);
}

}  // namespace
