// Files handed over by systemd's LoadCredential=. The service runs as a
// dynamic user that cannot read a root-owned key of mode 0600; systemd
// copies such files, readable by the service alone, into a folder it names
// in $CREDENTIALS_DIRECTORY, whose path differs from unit to unit.
#ifndef EXPORTER_CREDENTIALS_H
#define EXPORTER_CREDENTIALS_H

#include <string>

namespace exporter {

// A relative path is taken in the credentials folder when there is one
// (directory neither null nor empty); any other path is left as it is. The
// web configuration's own relative paths then resolve beside it, in the
// same folder.
std::string credentialPath(const std::string& path, const char* directory);

}  // namespace exporter

#endif
