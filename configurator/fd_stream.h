// Streams over a file descriptor this code opened itself, so that the
// caller chooses the open flags (O_NONBLOCK, O_EXCL) and sees errno when a
// read or a write fails, which the standard file streams hide.
#ifndef TAGCONF_FD_STREAM_H
#define TAGCONF_FD_STREAM_H

#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace tagconf {

// Owns the descriptor and closes it when destroyed, unless closeFd() did.
class FdBuf : public std::streambuf {
public:
    explicit FdBuf(int fd);
    ~FdBuf() override;
    FdBuf(const FdBuf&) = delete;
    FdBuf& operator=(const FdBuf&) = delete;

    int fd() const { return descriptor; }
    // Closes the descriptor now, as a writer must to learn of a failure
    // that only close reports (0, or -1 with error() set).
    int closeFd();
    // The errno of the first failed read or write; 0 while none failed.
    int error() const { return failure; }

protected:
    int_type underflow() override;
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool flushOut();

    int descriptor;
    int failure = 0;
    std::vector<char> in, out;
};

// An input stream that owns its FdBuf.
class FdIStream : public std::istream {
public:
    explicit FdIStream(int fd) : std::istream(nullptr), buffer(fd) { rdbuf(&buffer); }
    const FdBuf& buf() const { return buffer; }

private:
    FdBuf buffer;
};

// Opens a file to read, refusing at once what is not a regular file (a
// FIFO would block until a writer came, a device may never end); null with
// the reason in why when it cannot.
std::unique_ptr<FdIStream> openRegularFile(const std::string& path, std::string& why);

}  // namespace tagconf

#endif
