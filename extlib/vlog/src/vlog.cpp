#include "vlog.h"

#include <unistd.h>

#include <string>

#include <log4cpp/Category.hh>
#include <log4cpp/LayoutAppender.hh>
#include <log4cpp/PatternLayout.hh>

namespace {

constexpr const char* APPENDER_NAME = "vlog-stderr";

// Writes each record to descriptor 2 as it comes. Unlike log4cpp's file
// appender it never closes the descriptor: log4cpp destroys its appenders
// at exit, and standard error must outlive that for whatever prints last.
class StderrAppender : public log4cpp::LayoutAppender {
public:
    StderrAppender() : LayoutAppender(APPENDER_NAME) {}
    void close() override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        std::string line = _getLayout().format(event);
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(STDERR_FILENO, p, left);
            if (n <= 0) return;  // nowhere to report a failing standard error
            p += n;
            left -= size_t(n);
        }
    }
};

log4cpp::Appender* makeStderrAppender() {
    auto* appender = new StderrAppender();
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%d{%Y-%m-%d %H:%M:%S} %p %c: %m%n");
    appender->setLayout(layout);
    return appender;
}

}  // namespace

void cVlog::init(VlogPiority priority) {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.setPriority(static_cast<log4cpp::Priority::Value>(priority));
    if (!root.getAppender(APPENDER_NAME)) root.addAppender(makeStderrAppender());
}
