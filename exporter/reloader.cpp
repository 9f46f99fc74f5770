#include "reloader.h"

#include <ctime>
#include <log4cpp/Category.hh>

namespace exporter {

namespace {

log4cpp::Category& logger() { return log4cpp::Category::getInstance("tag_exporter"); }

}  // namespace

Reloader::Reloader(Paths paths, const WebConfig& started, ConfigHolder& config, AuthHolder& auth,
                   ExporterStats& stats, std::function<void()> afterReload)
    : paths(std::move(paths)),
      startedCert(started.certPem),
      startedKey(started.keyPem),
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
        try {
            users = std::make_shared<BasicAuth>(web.users);
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
    if (web.certPem != startedCert || web.keyPem != startedKey)
        logger().warn("%s: TLS settings are read at start only; restart to use the new ones",
                      paths.webConfig.c_str());
    config.set(std::move(modules));
    auth.set(std::move(users));
    if (afterReload) afterReload();
    logger().notice("configuration reloaded from %s", paths.modules.c_str());
    return true;
}

}  // namespace exporter
