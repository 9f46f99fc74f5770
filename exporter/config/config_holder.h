// The configuration in force. Probes take a snapshot when they start, so a
// reload never changes a probe half way through.
#ifndef EXPORTER_CONFIG_HOLDER_H
#define EXPORTER_CONFIG_HOLDER_H

#include <memory>
#include <mutex>

#include "config.h"

namespace exporter {

class ConfigHolder {
public:
    std::shared_ptr<const Config> get() const {
        std::lock_guard guard(lock);
        return current;
    }
    void set(std::shared_ptr<const Config> config) {
        std::lock_guard guard(lock);
        current = std::move(config);
    }

private:
    mutable std::mutex lock;
    std::shared_ptr<const Config> current;
};

}  // namespace exporter

#endif
