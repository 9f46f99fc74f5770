#include "fd_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tagconf {

namespace {

constexpr size_t BUFFER_SIZE = size_t{64} * 1024;

const char* fileKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

}  // namespace

FdBuf::FdBuf(int fd) : descriptor(fd) {}

FdBuf::~FdBuf() {
    if (descriptor >= 0) close(descriptor);
}

FdBuf::int_type FdBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    in.resize(BUFFER_SIZE);
    ssize_t n;
    do n = read(descriptor, in.data(), in.size());
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n < 0 && !failure) failure = errno;
        return traits_type::eof();
    }
    setg(in.data(), in.data(), in.data() + n);
    return traits_type::to_int_type(*gptr());
}

bool FdBuf::flushOut() {
    for (const char* p = pbase(); p < pptr();) {
        ssize_t n = write(descriptor, p, size_t(pptr() - p));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!failure) failure = n < 0 ? errno : EIO;
            return false;
        }
        p += n;
    }
    setp(out.data(), out.data() + out.size());
    return true;
}

FdBuf::int_type FdBuf::overflow(int_type c) {
    if (out.empty()) {
        out.resize(BUFFER_SIZE);
        setp(out.data(), out.data() + out.size());
    } else if (failure || !flushOut()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

int FdBuf::closeFd() {
    int status = close(descriptor);
    descriptor = -1;
    if (status != 0 && !failure) failure = errno;
    return status;
}

int FdBuf::sync() { return out.empty() || (!failure && flushOut()) ? 0 : -1; }

std::unique_ptr<FdIStream> openRegularFile(const std::string& path, std::string& why) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = strerror(errno);
        return nullptr;
    }
    struct stat st {};
    std::string fault;
    if (fstat(fd, &st) != 0)
        fault = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        fault = std::string(fileKind(st.st_mode)) + ", not a regular file";
    if (!fault.empty()) {
        why = fault;
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::make_unique<FdIStream>(fd);
}

}  // namespace tagconf
