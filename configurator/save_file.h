// Replacing a file whole or not at all: what a backup written by cron needs,
// where a cut or half-written file could replace the last good one.
#ifndef TAGCONF_SAVE_FILE_H
#define TAGCONF_SAVE_FILE_H

#include <functional>
#include <ostream>
#include <string>

namespace tagconf {

// Writes a temporary file in path's folder with write(), syncs it to disk,
// renames it over path and syncs the folder, so that path holds either its
// old bytes or all the new ones, whatever fails or stops the program in
// between. The file keeps the old one's permission bits (and owner and
// group, where this user may set them); a new file gets 0666 less the
// umask. Refused, path untouched: a symbolic link (rename would replace the
// link, not write where it points, which would quietly fork the two names)
// and anything but a regular file. Returns false with "path: reason" in
// error when the file was not replaced; the temporary file is removed.
// A write past the file size limit must fail rather than kill the program:
// the caller ignores SIGXFSZ.
// Whether replaceFile could replace path, as far as can be told before
// writing: it is a regular file or there is none. False with the reason in
// error, as replaceFile would give it; lets a caller refuse before it does
// any work.
bool replaceable(const std::string& path, std::string& error);

bool replaceFile(const std::string& path, const std::function<void(std::ostream&)>& write,
                 std::string& error);

}  // namespace tagconf

#endif
