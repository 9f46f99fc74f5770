// Replacing a file whole or not at all, so that a reader never finds it
// cut: written to a temporary file in the same folder, flushed to disk,
// then renamed over the old one.
#ifndef TAGCONF_FILE_REPLACE_H
#define TAGCONF_FILE_REPLACE_H

#include <cstdio>
#include <functional>
#include <string>

namespace tagconf {

// Calls write with the temporary file; when it returns true and every byte
// reached the disk, the file takes the path's place (with the old file's
// mode, or the mode a new file would get). Otherwise the temporary file is
// removed, the path is left as it was, and false comes back with the reason.
// A symbolic link at the path is replaced, not written through.
bool replaceFile(const std::string& path, const std::function<bool(FILE*)>& write, std::string& error);

}  // namespace tagconf

#endif
