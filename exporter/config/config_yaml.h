// The modules in force as YAML, for /config: what the exporter made of the
// modules file, every default filled in, in the file's own format (it loads
// back as the same modules).
#ifndef EXPORTER_CONFIG_YAML_H
#define EXPORTER_CONFIG_YAML_H

#include <string>

#include "config.h"

namespace exporter {

std::string modulesYaml(const Config& config);

}  // namespace exporter

#endif
