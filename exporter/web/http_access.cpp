// Who may in: the answer to a request whose credentials were checked, and
// the check itself, cheap on the polling thread or handed to a worker.
#include <microhttpd.h>

#include "basic_credentials.h"
#include "http_request.h"

namespace exporter {

int HttpServer::answerAccess(MHD_Connection* connection, Request& request, const char* url,
                             const char* method) {
    switch (request.access) {
    case Access::Unchecked:
    case Access::Checking: return MHD_YES;  // suspended until a worker has checked
    case Access::Granted: return route(connection, request, url, method);
    case Access::Refused: stats.countUnauthorised(); return askForCredentials(connection);
    case Access::Throttled:
        stats.countThrottled();
        return replyLater(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                          "too many failed password checks from this address", request.retryAfter);
    case Access::Busy:
        stats.countChecksBusy();
        return replyLater(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many password checks waiting", 1);
    }
    return MHD_NO;
}

// On the polling thread, cheap: no credentials or malformed ones are
// refused, a remembered pair is let in, an address past its budget is
// throttled, each settled in request.access; anything else is suspended and
// queued for a worker's bcrypt (true), which settles it and resumes.
bool HttpServer::admit(MHD_Connection* connection, Request& request) {
    request.access = Access::Granted;
    std::shared_ptr<BasicAuth> auth = settings.auth ? settings.auth->get() : nullptr;
    if (!auth || !auth->required()) return false;
    request.access = Access::Refused;
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    Credentials credentials;
    if (!header || !parseBasicCredentials(header, credentials)) return false;
    if (auth->remembered(credentials.user, credentials.password)) {
        request.access = Access::Granted;
        return false;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    FailureBudget::Key key = info ? FailureBudget::keyOf(info->client_addr) : FailureBudget::Key{};
    auto now = FailureBudget::Clock::now();
    FailureBudget::Clock::duration wait{};
    if (!budget.take(key, now, wait)) {
        request.retryAfter = unsigned(std::chrono::ceil<std::chrono::seconds>(wait).count());
        request.access = Access::Throttled;
        return false;
    }
    unsigned rank = budget.rank(key, now);
    request.access = Access::Checking;
    request.connection = connection;
    request.state = Request::State::Running;
    ++suspended;
    MHD_suspend_connection(connection);
    auto done = [this, &request, key](CheckQueue::Verdict verdict) {
        // A right password or a check never run costs the address nothing.
        if (verdict == CheckQueue::Verdict::Granted) budget.succeeded(key, FailureBudget::Clock::now());
        if (verdict == CheckQueue::Verdict::Busy) budget.giveBack(key, FailureBudget::Clock::now());
        request.access = verdict == CheckQueue::Verdict::Granted   ? Access::Granted
                         : verdict == CheckQueue::Verdict::Refused ? Access::Refused
                                                                   : Access::Busy;
        request.state = Request::State::New;
        MHD_resume_connection(request.connection);
        --suspended;
    };
    if (!checks.submit(std::move(auth), credentials.user, credentials.password, rank, done))
        done(CheckQueue::Verdict::Busy);  // stopping
    return true;
}

}  // namespace exporter
