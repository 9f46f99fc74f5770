#include "save_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "fd_stream.h"

namespace tagconf {

namespace {

struct Fault {
    std::string reason;
};

[[noreturn]] void fail(const std::string& what) { throw Fault{what + ": " + strerror(errno)}; }

// The folder's path as open() takes it ("." for a bare file name).
std::string folderOf(const std::string& path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}

// A new file next to path, created by this call alone (O_EXCL), so that no
// other writer's file and no planted link is ever written through.
int createTemporary(const std::string& path, std::string& name) {
    std::random_device entropy;
    std::filesystem::path target(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%08x", unsigned(entropy()));
        name = (target.parent_path() / ("." + target.filename().string() + suffix + ".tmp")).string();
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// The existing file's status, or false when there is none yet.
bool existing(const std::string& path, struct stat& st) {
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) throw Fault{"a symbolic link: give the file it points to"};
        if (!S_ISREG(st.st_mode)) throw Fault{"not a regular file"};
        return true;
    }
    if (errno != ENOENT) fail("cannot inspect it");
    return false;
}

void writeWhole(FdBuf& buffer, const std::function<void(std::ostream&)>& write) {
    std::ostream out(&buffer);
    write(out);
    out.flush();
    errno = buffer.error() ? buffer.error() : EIO;
    if (!out || buffer.error()) fail("cannot write");
    if (fsync(buffer.fd()) != 0) fail("cannot write");
    if (buffer.closeFd() != 0) fail("cannot write");
}

void syncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail("written, but its folder cannot be synced");
    int status = fsync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    if (status != 0) fail("written, but its folder cannot be synced");
}

}  // namespace

bool replaceable(const std::string& path, std::string& error) {
    try {
        struct stat st {};
        existing(path, st);
    } catch (const Fault& fault) {
        error = path + ": " + fault.reason;
        return false;
    }
    return true;
}

bool replaceFile(const std::string& path, const std::function<void(std::ostream&)>& write,
                 std::string& error) {
    std::string temporary;
    try {
        struct stat old {};
        bool replacing = existing(path, old);
        int fd = createTemporary(path, temporary);
        if (fd < 0) {
            temporary.clear();
            fail("cannot create a file in " + folderOf(path));
        }
        FdBuf buffer(fd);
        if (replacing) {
            // Owner first: changing it may clear the set-id bits that the
            // mode then restores. Only root may give a file away, so a
            // user's own save simply stays theirs.
            bool ours = old.st_uid == geteuid() && old.st_gid == getegid();
            if (!ours && fchown(fd, old.st_uid, old.st_gid) != 0 && geteuid() == 0)
                fail("cannot keep its owner");
            if (fchmod(fd, old.st_mode & 07777) != 0) fail("cannot keep its mode");
        }
        writeWhole(buffer, write);
        if (rename(temporary.c_str(), path.c_str()) != 0) fail("cannot replace it");
        temporary.clear();
        syncFolder(folderOf(path));
    } catch (const Fault& fault) {
        if (!temporary.empty()) unlink(temporary.c_str());
        error = path + ": " + fault.reason;
        return false;
    } catch (...) {
        if (!temporary.empty()) unlink(temporary.c_str());
        throw;
    }
    return true;
}

}  // namespace tagconf
