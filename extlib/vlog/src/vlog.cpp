#include "vlog.h"

#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>

namespace {

constexpr const char* APPENDER_NAME = "vlog-stderr";

// A file appender on descriptor 2 rather than an ostream appender: records
// reach standard error unbuffered and the library needs no iostream set-up.
log4cpp::Appender* makeStderrAppender() {
    auto* appender = new log4cpp::FileAppender(APPENDER_NAME, STDERR_FILENO);
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
