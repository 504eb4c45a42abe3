#include "workfile.h"

#include "error.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace korvane {

namespace {

std::string tempFolder() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

void writeAll(int fd, const std::byte* p, size_t n, int64_t offset) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, offset);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throwSystemError("cannot write the working file", w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<size_t>(w);
        offset += w;
    }
}

} // namespace

WorkFile::WorkFile() {
    std::string name = tempFolder() + "/korvane-work-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0)
        throwSystemError("cannot create the working file in " + tempFolder(), errno);
    ::unlink(name.c_str());
}

WorkFile::~WorkFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t WorkFile::append(ByteSpan bytes) {
    int64_t at = size_;
    try {
        writeAll(fd_, bytes.data(), bytes.size(), at);
    } catch (...) {
        (void)::ftruncate(fd_, at);
        throw;
    }
    size_ += static_cast<int64_t>(bytes.size());
    return at;
}

int64_t WorkFile::appendFrom(int fd, uint64_t size) {
    const int64_t at = size_;
    uint64_t done = 0;
    try {
        // In-kernel copy first (no trip through a user buffer; reflinks where
        // the filesystem can); read and write where it is not supported.
        bool kernelCopy = true;
        while (done < size && kernelCopy) {
            off_t out = at + static_cast<int64_t>(done);
            size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 30));
            ssize_t r = ::copy_file_range(fd, nullptr, fd_, &out, want, 0);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && done == 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                 errno == EBADF)) {
                kernelCopy = false;
                break;
            }
            if (r < 0)
                throwSystemError("read failed", errno);
            if (r == 0)
                throw Error("the file ended early");
            done += static_cast<uint64_t>(r);
        }
        Bytes buf(std::min<uint64_t>(size - done, 8u << 20));
        while (done < size) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
            ssize_t r = ::read(fd, buf.data(), want);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                throwSystemError("read failed", errno);
            if (r == 0)
                throw Error("the file ended early");
            writeAll(fd_, buf.data(), static_cast<size_t>(r), at + static_cast<int64_t>(done));
            done += static_cast<uint64_t>(r);
        }
    } catch (...) {
        (void)::ftruncate(fd_, at);
        throw;
    }
    size_ += static_cast<int64_t>(size);
    return at;
}

void WorkFile::read(int64_t offset, MutableByteSpan dst) const {
    if (offset < 0 || offset + static_cast<int64_t>(dst.size()) > size_)
        throw Error("the working file does not hold the requested bytes");
    std::byte* p = dst.data();
    size_t n = dst.size();
    while (n > 0) {
        ssize_t r = ::pread(fd_, p, n, offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            throwSystemError("cannot read the working file", r < 0 ? errno : EIO);
        p += r;
        n -= static_cast<size_t>(r);
        offset += r;
    }
}

} // namespace korvane
