#include "http_reply.h"

namespace exporter {

namespace {

constexpr const char REALM[] = "tag_exporter";

MHD_Response* makeResponse(const std::string& body, const char* type) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return nullptr;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    return response;
}

}  // namespace

MHD_Result reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                 const char* allow) {
    MHD_Response* response = makeResponse(body, type);
    if (!response) return MHD_NO;
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result replyText(MHD_Connection* connection, unsigned status, const std::string& text,
                     const char* allow) {
    return reply(connection, status, text + "\n", PLAIN_TEXT, allow);
}

MHD_Result askForCredentials(MHD_Connection* connection) {
    MHD_Response* response = makeResponse("Unauthorized\n", PLAIN_TEXT);
    if (!response) return MHD_NO;
    MHD_Result result = MHD_queue_basic_auth_fail_response(connection, REALM, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result replyLater(MHD_Connection* connection, unsigned status, const std::string& text,
                      unsigned seconds) {
    MHD_Response* response = makeResponse(text + "\n", PLAIN_TEXT);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(seconds).c_str());
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

}  // namespace exporter
