// The exporter's log records in logfmt and JSON: one line each, the message
// quoted with every character that could end or forge a record escaped.
#include <gtest/gtest.h>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <nlohmann/json.hpp>
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

// A JSON line is JSON whatever the message holds: control bytes escaped (DEL
// too, as logfmt does), bytes that are no UTF-8 replaced by U+FFFD, UTF-8 and
// the rest as they are, and no message can end its record or forge another.
TEST(LogFormat, JsonLinesStayJsonForHostileMessages) {
    const std::string head = "\"level\":\"info\",\"logger\":\"tag_exporter\",\"msg\":";
    struct Case {
        std::string message, msg;
    } cases[] = {
        {std::string("bell\x07 del\x7f bs\b ff\f esc\x1b[31m nul") + '\0',
         "\"bell\\u0007 del\\u007f bs\\b ff\\f esc\\u001b[31m nul\\u0000\""},
        {"x\"}\n{\"level\":\"error\",\"msg\":\"forged",
         "\"x\\\"}\\n{\\\"level\\\":\\\"error\\\",\\\"msg\\\":\\\"forged\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
        {"bad \xff end", "\"bad \xef\xbf\xbd end\""},
        {"cut \xe2\x82", "\"cut \xef\xbf\xbd\""},
        {"back\\slash", "\"back\\\\slash\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format(LogFormat::Json, c.message, log4cpp::Priority::INFO), head + c.msg + "}\n")
            << c.message;
        log4cpp::LoggingEvent event("tag_exporter", c.message, "", log4cpp::Priority::INFO);
        std::string line = exporter::makeLogLayout(LogFormat::Json)->format(event);
        ASSERT_EQ(line.find('\n'), line.size() - 1) << c.message;
        nlohmann::json record = nlohmann::json::parse(line);  // throws for a line that is no JSON
        EXPECT_EQ(record.size(), 4U) << line;
    }
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
