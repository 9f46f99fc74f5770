// libvlog: one-call set-up of log4cpp for a program's own log records.
#ifndef VLOG_H
#define VLOG_H

#define VLOG_API __attribute__((visibility("default")))

class VLOG_API cVlog {
public:
    // log4cpp's priority scale: lower is more severe.
    enum VlogPiority {
        EMERG = 0,
        FATAL = 0,
        ALERT = 100,
        CRIT = 200,
        ERROR = 300,
        WARN = 400,
        NOTICE = 500,
        INFO = 600,
        DEBUG = 700,
        NOTSET = 800,
    };

    // Sets log4cpp's root category to the priority, with one appender writing
    // to standard error. Records below the priority print nothing. Calling it
    // again only changes the priority.
    static void init(VlogPiority priority);
};

#endif
