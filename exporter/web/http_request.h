// What the HTTP server keeps of one request while it is read, checked,
// probed and answered; shared by the server's own files only.
#ifndef EXPORTER_HTTP_REQUEST_H
#define EXPORTER_HTTP_REQUEST_H

#include <log4cpp/Category.hh>

#include <string>

#include "http_reply.h"
#include "http_server.h"
#include "probe.h"
#include "tagengine.h"

namespace exporter {

// Whether a request may in: Checking while a worker runs bcrypt for it.
enum class HttpServer::Access : uint8_t { Unchecked, Checking, Granted, Refused, Throttled, Busy };

struct HttpServer::Request {
    std::string uri;  // as the client sent it, escapes and all
    enum class State : uint8_t { Headers, New, Running, Done } state = State::Headers;
    Access access = Access::Unchecked;
    unsigned retryAfter = 0;  // seconds, for Throttled
    unsigned status = 0;
    std::string body;
    MHD_Connection* connection = nullptr;
    ProbeQuery query;
    ProbePlan plan;
    tagengine::Clock::time_point start;
    const char* contentType = PLAIN_TEXT;  // of the answer once Done
};

// The exporter's log, where the HTTP side reports.
inline log4cpp::Category& logger() {
    static log4cpp::Category& category = log4cpp::Category::getInstance("tag_exporter");
    return category;
}

}  // namespace exporter

#endif
