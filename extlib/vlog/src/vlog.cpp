#include "vlog.h"

#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>

namespace {

constexpr const char* APPENDER_NAME = "vlog-stderr";

// Writes each record to descriptor 2 as it comes. Unlike log4cpp's file
// appender it never closes the descriptor: log4cpp destroys its appenders
// at exit, and standard error must outlive that for whatever prints last.
//
// The layout is built when the first record is written: a program that
// logs nothing (the client at priority ERROR, run once per request) never
// pays for parsing the pattern.
class StderrAppender : public log4cpp::AppenderSkeleton {
public:
    StderrAppender() : AppenderSkeleton(APPENDER_NAME) {}
    void close() override {}
    bool reopen() override { return true; }
    bool requiresLayout() const override { return true; }
    void setLayout(log4cpp::Layout* replacement) override { layout.reset(replacement); }

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        // Threads may write their first records at once.
        std::call_once(layoutBuilt, [this] {
            if (!layout) layout = makeLayout();
        });
        std::string line = layout->format(event);
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(STDERR_FILENO, p, left);
            if (n <= 0) return;  // nowhere to report a failing standard error
            p += n;
            left -= size_t(n);
        }
    }

private:
    static std::unique_ptr<log4cpp::Layout> makeLayout() {
        auto pattern = std::make_unique<log4cpp::PatternLayout>();
        pattern->setConversionPattern("%d{%Y-%m-%d %H:%M:%S} %p %c: %m%n");
        return pattern;
    }

    std::unique_ptr<log4cpp::Layout> layout;
    std::once_flag layoutBuilt;
};

}  // namespace

void cVlog::init(VlogPiority priority) {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.setPriority(static_cast<log4cpp::Priority::Value>(priority));
    if (!root.getAppender(APPENDER_NAME)) root.addAppender(new StderrAppender());
}
