// What each path answers, but for /probe (probe_handler.cpp).
#include <microhttpd.h>

#include "config_yaml.h"
#include "http_request.h"
#include "metrics_text.h"

namespace exporter {

namespace {

std::string htmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string statusPage(const Config& config, const std::string& version) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>tag_exporter</title></head><body>\n"
        "<h1>tag_exporter " +
        htmlEscape(version) +
        "</h1>\n<p><a href=\"metrics\">Metrics of the exporter</a></p>\n"
        "<form action=\"probe\">Probe: <input name=\"target\" placeholder=\"127.0.0.1:60000\"> "
        "<select name=\"module\">";
    for (const auto& [name, module] : config.modules) page += "<option>" + htmlEscape(name) + "</option>";
    page += "</select> <input type=\"submit\" value=\"Probe\"></form>\n<h2>Configuration (" +
            htmlEscape(config.fileName) + ")</h2>\n<pre>" + htmlEscape(config.text) +
            "</pre>\n</body></html>\n";
    return page;
}

}  // namespace

int HttpServer::route(MHD_Connection* connection, Request& request, std::string_view path,
                      const char* method) {
    if (path == "/-/reload") return answerReload(connection, method);
    if (!isMethod(method, MHD_HTTP_METHOD_GET) && !isMethod(method, MHD_HTTP_METHOD_HEAD))
        return replyText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served");
    if (path == "/probe") return startProbe(connection, request);
    if (path == "/metrics")
        return reply(connection, MHD_HTTP_OK, stats.render(settings.version), TEXT_CONTENT_TYPE);
    if (path == "/-/healthy") return replyText(connection, MHD_HTTP_OK, "Healthy");
    if (path == "/-/ready") {
        if (refusing) return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "Stopping");
        return replyText(connection, MHD_HTTP_OK, "Ready");
    }
    if (path == "/config")
        return reply(connection, MHD_HTTP_OK, modulesYaml(*config.get()), "text/yaml; charset=utf-8");
    if (path == "/")
        return reply(connection, MHD_HTTP_OK, statusPage(*config.get(), settings.version),
                     "text/html; charset=utf-8");
    return replyText(connection, MHD_HTTP_NOT_FOUND, "not found; try /probe?target=HOST[:PORT]&module=NAME");
}

// Runs on the polling thread: a reload reads two small files, and doing it
// here keeps reloads one after another, answered in order.
int HttpServer::answerReload(MHD_Connection* connection, const char* method) {
    if (!isMethod(method, MHD_HTTP_METHOD_POST))
        return replyText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only POST reloads", "POST");
    if (!settings.reload)
        return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "reloading is not possible");
    std::string error;
    if (!settings.reload(error))
        return replyText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                         "failed to reload, the configuration in force is kept: " + error);
    return replyText(connection, MHD_HTTP_OK, "reloaded");
}

}  // namespace exporter
