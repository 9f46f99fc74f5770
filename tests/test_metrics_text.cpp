// The exposition a probe and /metrics serve: literal text, the same under a
// locale whose decimal mark is a comma.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale>
#include <memory>
#include <string>

#include "exporter_stats.h"
#include "metrics_text.h"
#include "probe.h"
#include "tag_vocabulary.h"
#include "vmsg.h"

namespace {

// A reply as a device might send it, quirks included.
std::unique_ptr<VMsg> sampleReply() {
    auto msg = std::make_unique<VMsg>(1);
    msg->addTag(new VTagUInt32(8, 0x2A));  // TAG_DEV_ID
    msg->addTag(
        new VTagString(9, "Rack \"A\\1\"\nrow \xff"));  // TAG_DEV_LABEL: quote, backslash, newline, bad byte
    msg->addTag(new VTagUInt8(6, 1));                   // TAG_DEV_STATE
    msg->addTag(new VTagUInt8(6, 7));                   // repeated: the first one counts
    msg->addTag(new VTag(5, VTAG_NONE));                // TAG_DEV_CFG: no value
    msg->addTag(new VTagUInt16(200, 9));                // no such tag in the table
    float temp = 21.5F;
    uint32_t bits = 0;
    memcpy(&bits, &temp, sizeof bits);
    msg->addTag(new VTagUInt32(145, bits));  // TAG_CCD_TEMP, a float sent as type 2
    float output = 0.1F;
    memcpy(&bits, &output, sizeof bits);
    msg->addTag(new VTagUInt32(84, bits, VTAG_FLOAT));  // TAG_AO_OUTPUT_VALUE, type 6
    msg->addTag(new VTagUInt16(33, 65535));             // TAG_SITE_CURR_EVT_SEQ, sent narrower
    return msg;
}

const char EXPECTED[] =
    "# HELP tag_dev_id Tag TAG_DEV_ID (id 8, UInt32) as the device reports it.\n"
    "# TYPE tag_dev_id gauge\n"
    "tag_dev_id 42\n"
    "# HELP tag_dev_label_info Tag TAG_DEV_LABEL (id 9, String) as the device reports it. The value is in "
    "the "
    "label value.\n"
    "# TYPE tag_dev_label_info gauge\n"
    "tag_dev_label_info{value=\"Rack \\\"A\\\\1\\\"\\nrow \xEF\xBF\xBD\"} 1\n"
    "# HELP tag_dev_state Tag TAG_DEV_STATE (id 6, UInt8) as the device reports it.\n"
    "# TYPE tag_dev_state gauge\n"
    "tag_dev_state 1\n"
    "# HELP tag_ccd_temp Tag TAG_CCD_TEMP (id 145, Float) as the device reports it.\n"
    "# TYPE tag_ccd_temp gauge\n"
    "tag_ccd_temp 21.5\n"
    "# HELP tag_ao_output_value Tag TAG_AO_OUTPUT_VALUE (id 84, Float) as the device reports it.\n"
    "# TYPE tag_ao_output_value gauge\n"
    "tag_ao_output_value 0.1\n"
    "# HELP tag_site_curr_evt_seq Tag TAG_SITE_CURR_EVT_SEQ (id 33, UInt32) as the device reports it.\n"
    "# TYPE tag_site_curr_evt_seq gauge\n"
    "tag_site_curr_evt_seq 65535\n"
    "# HELP tag_probe_success Whether the device answered the probe (1) or not (0).\n"
    "# TYPE tag_probe_success gauge\n"
    "tag_probe_success 1\n"
    "# HELP tag_probe_duration_seconds How long the probe took, in seconds.\n"
    "# TYPE tag_probe_duration_seconds gauge\n"
    "tag_probe_duration_seconds 0.0125\n"
    "# HELP tag_probe_values_dropped Values the device sent of another kind than the tag table gives their "
    "tag, left out.\n"
    "# TYPE tag_probe_values_dropped gauge\n"
    "tag_probe_values_dropped 0\n"
    "# HELP tag_probe_attempts Requests the probe sent, retries included.\n"
    "# TYPE tag_probe_attempts gauge\n"
    "tag_probe_attempts 2\n"
    "# HELP tag_probe_datagrams_sent Datagrams the probe sent to the device.\n"
    "# TYPE tag_probe_datagrams_sent gauge\n"
    "tag_probe_datagrams_sent 2\n"
    "# HELP tag_probe_datagrams_received Reply datagrams the probe took from the device.\n"
    "# TYPE tag_probe_datagrams_received gauge\n"
    "tag_probe_datagrams_received 3\n";

// Switches the C and C++ locales to German, whose decimal mark is a comma
// (scripts/install-deps.sh builds it when the system lacks it).
bool useCommaLocale() {
    if (!setlocale(LC_ALL, "de_DE.UTF-8")) return false;
    std::locale::global(std::locale("de_DE.UTF-8"));
    char text[16];
    snprintf(text, sizeof text, "%.1f", 0.5);
    return std::string(text) == "0,5";
}

void useClassicLocale() {
    setlocale(LC_ALL, "C");
    std::locale::global(std::locale::classic());
}

TEST(MetricsText, ProbeMetricsAreExactlyTheExpectedText) {
    auto reply = sampleReply();
    EXPECT_EQ(exporter::probeMetrics(reply.get(), true, 0.0125, {2, 2, 3}), EXPECTED);
}

TEST(MetricsText, ProbeMetricsAreTheSameUnderACommaDecimalLocale) {
    ASSERT_TRUE(useCommaLocale()) << "no de_DE.UTF-8 locale: run scripts/install-deps.sh";
    auto reply = sampleReply();
    std::string text = exporter::probeMetrics(reply.get(), true, 0.0125, {2, 2, 3});
    exporter::ExporterStats stats;
    stats.observeDuration(0.003);
    std::string own = stats.render("1.2.3");
    useClassicLocale();
    EXPECT_EQ(text, EXPECTED);
    EXPECT_NE(own.find("tag_exporter_probe_duration_seconds_bucket{le=\"0.0025\"} 0\n"
                       "tag_exporter_probe_duration_seconds_bucket{le=\"0.005\"} 1\n"),
              std::string::npos)
        << own;
    EXPECT_NE(own.find("tag_exporter_probe_duration_seconds_sum 0.003\n"), std::string::npos);
}

TEST(MetricsText, FailedProbeHasOnlyTheProbeMetrics) {
    EXPECT_EQ(
        exporter::probeMetrics(nullptr, false, 2, {3, 3, 0}),
        "# HELP tag_probe_success Whether the device answered the probe (1) or not (0).\n"
        "# TYPE tag_probe_success gauge\n"
        "tag_probe_success 0\n"
        "# HELP tag_probe_duration_seconds How long the probe took, in seconds.\n"
        "# TYPE tag_probe_duration_seconds gauge\n"
        "tag_probe_duration_seconds 2\n"
        "# HELP tag_probe_values_dropped Values the device sent of another kind than the tag table gives "
        "their tag, left out.\n"
        "# TYPE tag_probe_values_dropped gauge\n"
        "tag_probe_values_dropped 0\n"
        "# HELP tag_probe_attempts Requests the probe sent, retries included.\n"
        "# TYPE tag_probe_attempts gauge\n"
        "tag_probe_attempts 3\n"
        "# HELP tag_probe_datagrams_sent Datagrams the probe sent to the device.\n"
        "# TYPE tag_probe_datagrams_sent gauge\n"
        "tag_probe_datagrams_sent 3\n"
        "# HELP tag_probe_datagrams_received Reply datagrams the probe took from the device.\n"
        "# TYPE tag_probe_datagrams_received gauge\n"
        "tag_probe_datagrams_received 0\n");
}

// The tag table's kind decides the metric: a value of another kind never
// makes a second series for the tag, it is left out and counted.
TEST(MetricsText, TheTagTablesKindDecidesTheMetric) {
    struct Case {
        VTag* tag;
        const char* sample;  // the line expected, or "" when dropped
    };
    const Case cases[] = {
        {new VTagString(8, "42"), ""},                    // TAG_DEV_ID is UInt32
        {new VTagUInt8(9, 1), ""},                        // TAG_DEV_LABEL is String
        {new VTagUInt16(145, 3), ""},                     // TAG_CCD_TEMP is Float
        {new VTagUInt32(6, 300), "tag_dev_state 300\n"},  // an integer of any width
        {new VTagUInt8(8, 7), "tag_dev_id 7\n"},
        {new VTagString(59, "degC"), "tag_ai_display_unit_info{value=\"degC\"} 1\n"},
        {new VTagUInt32(64, 5, VTAG_FLOAT), ""},  // TAG_VERSION is UInt32, not Float
    };
    for (const Case& c : cases) {
        VMsg reply(MSG_GET);
        uint8_t id = c.tag->tagId;
        reply.addTag(c.tag);
        std::string text = exporter::probeMetrics(&reply, true, 0);
        std::string name = tagById(id)->name;
        for (char& ch : name) ch = char(tolower(ch));
        bool dropped = *c.sample == '\0';
        EXPECT_EQ(text.find("\n" + name),
                  dropped ? std::string::npos : text.find("\n" + std::string(c.sample)))
            << text;
        EXPECT_NE(text.find(dropped ? "\ntag_probe_values_dropped 1\n" : "\ntag_probe_values_dropped 0\n"),
                  std::string::npos)
            << text;
    }
}

TEST(MetricsText, ValuesAndEscapes) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {{0, "0"},
                          {-1.5, "-1.5"},
                          {1e-7, "1e-07"},
                          {4294967295.0, "4294967295"},
                          {std::numeric_limits<double>::quiet_NaN(), "NaN"},
                          {std::numeric_limits<double>::infinity(), "+Inf"},
                          {-std::numeric_limits<double>::infinity(), "-Inf"}};
    for (const Case& c : cases) EXPECT_EQ(exporter::formatValue(c.value), c.text);
    EXPECT_EQ(exporter::formatValue(std::numeric_limits<float>::quiet_NaN()), "NaN");
    // Valid UTF-8 passes whole; truncated, overlong and surrogate forms do not.
    EXPECT_EQ(exporter::escapeLabelValue("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
              "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(exporter::escapeLabelValue("a\xC3"), "a\xEF\xBF\xBD");
    EXPECT_EQ(exporter::escapeLabelValue("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(exporter::escapeLabelValue("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(exporter::escapeHelp("a\\b\n\"c\""), "a\\\\b\\n\"c\"");
}

}  // namespace
