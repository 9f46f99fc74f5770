// How the HTTP side answers: a body with its type, a 405 naming the methods
// allowed, the challenge for credentials, and a later-please with the
// seconds to wait. Each returns what the library's handler returns.
#ifndef EXPORTER_HTTP_REPLY_H
#define EXPORTER_HTTP_REPLY_H

#include <microhttpd.h>

#include <cstring>
#include <string>

namespace exporter {

inline constexpr const char PLAIN_TEXT[] = "text/plain; charset=utf-8";

// allow: the methods a 405 names.
MHD_Result reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                 const char* allow = "GET, HEAD");

// The text and a line end, as plain text.
MHD_Result replyText(MHD_Connection* connection, unsigned status, const std::string& text,
                     const char* allow = "GET, HEAD");

// 401 with the challenge that makes a browser or client ask for credentials.
MHD_Result askForCredentials(MHD_Connection* connection);

// 429 or 503 with the seconds after which to ask again.
MHD_Result replyLater(MHD_Connection* connection, unsigned status, const std::string& text, unsigned seconds);

inline bool isMethod(const char* method, const char* wanted) { return strcmp(method, wanted) == 0; }

}  // namespace exporter

#endif
