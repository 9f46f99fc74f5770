// Reloading, on SIGHUP or POST /-/reload, one at a time: the modules file and
// the web configuration's users are read whole and checked, then swapped in
// together; any fault keeps everything in force and is counted as a failed
// reload. TLS certificates are read at start only (the HTTP library takes
// them once).
//
// A reload never weakens what protects the exporter: a web configuration
// that leaves out basic_auth_users or tls_server_config while they are in
// force (an empty file, say, caught half written) is a failed reload, and
// removing either takes a restart. Passwords verified before stay verified
// for every user whose hash did not change.
#ifndef EXPORTER_RELOADER_H
#define EXPORTER_RELOADER_H

#include <functional>
#include <mutex>
#include <string>

#include "auth_holder.h"
#include "config_holder.h"
#include "exporter_stats.h"
#include "web_config.h"

namespace exporter {

class Reloader {
public:
    struct Paths {
        std::string modules;
        std::string webConfig;  // empty: none
    };
    // afterReload runs after a successful swap (forgetting what devices were
    // found to lack, say).
    Reloader(Paths paths, const WebConfig& started, ConfigHolder& config, AuthHolder& auth,
             ExporterStats& stats, std::function<void()> afterReload);

    // False with "FILE:LINE: reason" when a file fails to load, "FILE: reason"
    // when the web configuration would remove protection in force.
    bool reload(std::string& error);

private:
    Paths paths;
    WebConfig inForce;  // its users as last reloaded, its TLS as started
    ConfigHolder& config;
    AuthHolder& auth;
    ExporterStats& stats;
    std::function<void()> afterReload;
    std::mutex oneAtATime;
};

}  // namespace exporter

#endif
