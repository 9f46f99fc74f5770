#include "file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tagconf {

namespace {

mode_t modeFor(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The folder's entry made lasting too: a rename is only as durable as it.
void syncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool replaceFile(const std::string& path, const std::function<bool(FILE*)>& write, std::string& error) {
    std::filesystem::path target(path);
    std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    std::string temporary = folder + "/." + target.filename().string() + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write in " + folder + ": " + strerror(errno);
        return false;
    }
    FILE* f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        unlink(temporary.c_str());
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    errno = 0;
    bool whole = write(f) && fflush(f) == 0 && fchmod(fd, modeFor(path)) == 0 && fsync(fd) == 0;
    int saved = errno;
    whole = fclose(f) == 0 && whole;
    if (whole && rename(temporary.c_str(), path.c_str()) == 0) {
        syncFolder(folder);
        return true;
    }
    if (!whole)
        saved = saved ? saved : errno;
    else
        saved = errno;
    error =
        "cannot write " + path + ": " + (saved ? strerror(saved) : "the write failed") + " (left as it was)";
    unlink(temporary.c_str());
    return false;
}

}  // namespace tagconf
