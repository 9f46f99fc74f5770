// The users in force. A request takes a snapshot, so a reload of the web
// configuration never changes a check half way through.
#ifndef EXPORTER_AUTH_HOLDER_H
#define EXPORTER_AUTH_HOLDER_H

#include <memory>
#include <mutex>

#include "basic_auth.h"

namespace exporter {

class AuthHolder {
public:
    std::shared_ptr<BasicAuth> get() const {
        std::lock_guard guard(lock);
        return current;
    }
    void set(std::shared_ptr<BasicAuth> auth) {
        std::lock_guard guard(lock);
        current = std::move(auth);
    }

private:
    mutable std::mutex lock;
    std::shared_ptr<BasicAuth> current = std::make_shared<BasicAuth>(std::map<std::string, std::string>{});
};

}  // namespace exporter

#endif
