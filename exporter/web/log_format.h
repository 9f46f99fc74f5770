// How the exporter's log records are written (--log.format), as the
// Prometheus exporters beside it write theirs:
//   logfmt  ts=2026-01-02T03:04:05.678Z level=info logger=tag_exporter msg="listening on port 9727"
//   json    {"ts":"2026-01-02T03:04:05.678Z","level":"info","logger":"tag_exporter","msg":"..."}
// Times are UTC; levels are debug, info, warn and error (log4cpp's NOTICE
// is info, its CRIT and worse are error).
#ifndef EXPORTER_LOG_FORMAT_H
#define EXPORTER_LOG_FORMAT_H

#include <log4cpp/Layout.hh>

#include <memory>
#include <string>

namespace exporter {

enum class LogFormat { Logfmt, Json };

// The layout for the format.
std::unique_ptr<log4cpp::Layout> makeLogLayout(LogFormat format);

// Puts the layout of the format on every appender of log4cpp's root
// category (call after cVlog::init).
void useLogFormat(LogFormat format);

}  // namespace exporter

#endif
