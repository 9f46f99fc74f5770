#include "reloader.h"

#include <ctime>
#include <log4cpp/Category.hh>

namespace exporter {

namespace {

log4cpp::Category& logger() { return log4cpp::Category::getInstance("tag_exporter"); }

// What the next web configuration would take away of the protection in
// force; "" when nothing.
std::string weakening(const WebConfig& inForce, const WebConfig& next) {
    std::string lost;
    if (!inForce.users.empty() && next.users.empty()) lost = "basic_auth_users";
    if (inForce.tls && !next.tls) lost += std::string(lost.empty() ? "" : " and ") + "tls_server_config";
    if (lost.empty()) return "";
    bool empty = next.users.empty() && !next.tls;
    return std::string(empty ? "is empty (or sets nothing) and " : "") + "would remove the " + lost +
           " in force: a reload never removes authentication or TLS, a restart does";
}

}  // namespace

Reloader::Reloader(Paths paths, const WebConfig& started, ConfigHolder& config, AuthHolder& auth,
                   ExporterStats& stats, std::function<void()> afterReload)
    : paths(std::move(paths)),
      inForce(started),
      config(config),
      auth(auth),
      stats(stats),
      afterReload(std::move(afterReload)) {}

bool Reloader::reload(std::string& error) {
    std::lock_guard hold(oneAtATime);
    auto modules = std::make_shared<Config>();
    WebConfig web;
    std::shared_ptr<BasicAuth> users;
    bool ok = loadConfigFile(paths.modules, *modules, error) &&
              (paths.webConfig.empty() || loadWebConfigFile(paths.webConfig, web, error));
    if (ok) {
        if (std::string lost = paths.webConfig.empty() ? "" : weakening(inForce, web); !lost.empty()) {
            ok = false;
            error = paths.webConfig + ": " + lost;
        }
    }
    if (ok) {
        try {
            users = std::make_shared<BasicAuth>(web.users, auth.get().get());
        } catch (const std::exception& e) {
            ok = false;
            error = paths.webConfig + ":0: " + e.what();
        }
    }
    stats.countReload(ok, double(time(nullptr)));
    if (!ok) {
        logger().error("reload failed, keeping the configuration in force: %s", error.c_str());
        return false;
    }
    if (web.certPem != inForce.certPem || web.keyPem != inForce.keyPem)
        logger().warn("%s: TLS settings are read at start only; restart to use the new ones",
                      paths.webConfig.c_str());
    config.set(std::move(modules));
    auth.set(std::move(users));
    inForce.users = std::move(web.users);
    if (afterReload) afterReload();
    logger().notice("configuration reloaded from %s", paths.modules.c_str());
    return true;
}

}  // namespace exporter
