#include "credentials.h"

namespace exporter {

std::string credentialPath(const std::string& path, const char* directory) {
    if (path.empty() || path.front() == '/' || directory == nullptr || *directory == '\0') return path;
    std::string folder = directory;
    if (folder.back() != '/') folder += '/';
    return folder + path;
}

}  // namespace exporter
