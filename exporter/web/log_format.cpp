#include "log_format.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace exporter {

namespace {

std::string timestamp(const log4cpp::TimeStamp& stamp) {
    time_t seconds = stamp.getSeconds();
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, stamp.getMilliSeconds());
    return text;
}

const char* levelOf(log4cpp::Priority::Value priority) {
    if (priority <= log4cpp::Priority::ERROR) return "error";
    if (priority <= log4cpp::Priority::WARN) return "warn";
    if (priority <= log4cpp::Priority::INFO) return "info";
    return "debug";
}

// Quotes and escapes for logfmt: backslash, double quote and control bytes
// as escapes; other bytes (UTF-8 included) as they are.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out.push_back(char(c));
            }
        }
    }
    return out + "\"";
}

class LogfmtLayout : public log4cpp::Layout {
public:
    std::string format(const log4cpp::LoggingEvent& event) override {
        return "ts=" + timestamp(event.timeStamp) + " level=" + levelOf(event.priority) +
               " logger=" + (event.categoryName.empty() ? "root" : event.categoryName) +
               " msg=" + quoted(event.message) + "\n";
    }
};

// JSON lets DEL stand as it is, but the log is read on terminals too: it is
// escaped as logfmt escapes it. In valid UTF-8, which dump() gives, the byte
// 0x7f is never part of another character.
std::string escapeDelete(std::string text) {
    for (size_t at = text.find('\x7f'); at != std::string::npos; at = text.find('\x7f', at))
        text.replace(at, 1, "\\u007f");
    return text;
}

class JsonLayout : public log4cpp::Layout {
public:
    // Bytes that are no UTF-8 (a device's, say) become U+FFFD: a JSON line
    // must stay readable as JSON whatever a message holds.
    std::string format(const log4cpp::LoggingEvent& event) override {
        nlohmann::ordered_json record;
        record["ts"] = timestamp(event.timeStamp);
        record["level"] = levelOf(event.priority);
        record["logger"] = event.categoryName;
        record["msg"] = event.message;
        return escapeDelete(record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) + "\n";
    }
};

}  // namespace

std::unique_ptr<log4cpp::Layout> makeLogLayout(LogFormat format) {
    if (format == LogFormat::Json) return std::make_unique<JsonLayout>();
    return std::make_unique<LogfmtLayout>();
}

void useLogFormat(LogFormat format) {
    log4cpp::AppenderSet appenders = log4cpp::Category::getRoot().getAllAppenders();
    for (log4cpp::Appender* appender : appenders) appender->setLayout(makeLogLayout(format).release());
}

}  // namespace exporter
