// The exporter's log records in logfmt and JSON: one line each, the message
// quoted with every character that could end or forge a record escaped.
#include <gtest/gtest.h>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <string>

#include "log_format.h"

namespace {

using exporter::LogFormat;

// The record without its time stamp, which is the clock's.
std::string format(LogFormat format, const std::string& message, log4cpp::Priority::Value priority) {
    log4cpp::LoggingEvent event("tag_exporter", message, "", priority);
    std::string line = exporter::makeLogLayout(format)->format(event);
    size_t stampEnd = format == LogFormat::Json ? line.find("\",") + 2 : line.find(' ') + 1;
    return line.substr(stampEnd);
}

TEST(LogFormat, EachFormatQuotesAndEscapesTheMessage) {
    struct Case {
        LogFormat format;
        std::string message;
        log4cpp::Priority::Value priority;
        std::string line;
    } cases[] = {
        {LogFormat::Logfmt, "listening on port 9727", log4cpp::Priority::NOTICE,
         "level=info logger=tag_exporter msg=\"listening on port 9727\"\n"},
        {LogFormat::Logfmt, "a \"b\" \\ c\nlevel=error", log4cpp::Priority::WARN,
         "level=warn logger=tag_exporter msg=\"a \\\"b\\\" \\\\ c\\nlevel=error\"\n"},
        {LogFormat::Logfmt, std::string("bell\x07") + "del\x7f", log4cpp::Priority::ERROR,
         "level=error logger=tag_exporter msg=\"bell\\u0007del\\u007f\"\n"},
        {LogFormat::Logfmt, "x", log4cpp::Priority::DEBUG, "level=debug logger=tag_exporter msg=\"x\"\n"},
        {LogFormat::Logfmt, "x", log4cpp::Priority::CRIT, "level=error logger=tag_exporter msg=\"x\"\n"},
        {LogFormat::Json, "reload failed: \"m.yml\":3", log4cpp::Priority::ERROR,
         "\"level\":\"error\",\"logger\":\"tag_exporter\",\"msg\":\"reload failed: \\\"m.yml\\\":3\"}\n"},
        {LogFormat::Json, "tab\there", log4cpp::Priority::INFO,
         "\"level\":\"info\",\"logger\":\"tag_exporter\",\"msg\":\"tab\\there\"}\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(format(c.format, c.message, c.priority), c.line) << c.message;
}

TEST(LogFormat, TimesAreUtcWithMilliseconds) {
    log4cpp::LoggingEvent event("tag_exporter", "x", "", log4cpp::Priority::INFO);
    std::string line = exporter::makeLogLayout(LogFormat::Logfmt)->format(event);
    ASSERT_GE(line.size(), 28U);
    EXPECT_EQ(line.substr(0, 3), "ts=");
    EXPECT_EQ(line[13], 'T');
    EXPECT_EQ(line[22], '.');
    EXPECT_EQ(line[26], 'Z');
}

}  // namespace
