#include "workfile.h"

#include "error.h"
#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace {

void writeAll(int fd, const std::byte* p, size_t n, int64_t offset) {
    pwriteAll(fd, ByteSpan(p, n), static_cast<uint64_t>(offset),
              msg("cannot write the working file"));
}

} // namespace

WorkFile::WorkFile() {
    std::string name = temporaryFolder() + "/korvane-work-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0)
        throwSystemError(msg("cannot create the working file in %1", temporaryFolder()), errno);
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

namespace {

// Copies n bytes from src at srcOff to dst at dstOff: in the kernel where it
// can (no trip through a user buffer; reflinks where the filesystem can),
// through a buffer where it cannot.
void copyRange(int src, int64_t srcOff, int dst, int64_t dstOff, uint64_t n,
               std::atomic<bool>& kernelCopy) {
    thread_local Bytes buffer(1u << 20);
    const uint64_t done =
        copyBetweenFiles(src, static_cast<uint64_t>(srcOff), dst, static_cast<uint64_t>(dstOff), n,
                         buffer, kernelCopy, msg("cannot write the working file"));
    if (done < n && errno != 0)
        throwSystemError("read failed", errno);
    if (done < n)
        throw Error("the file ended early");
}

} // namespace

void WorkFile::appendStream(int fd, int64_t at, uint64_t size) {
    Bytes buf(static_cast<size_t>(std::min<uint64_t>(size, 1u << 20)));
    for (uint64_t done = 0; done < size;) {
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
}

int64_t WorkFile::appendFrom(int fd, uint64_t size) {
    const int64_t at = (size_ + 4095) / 4096 * 4096;
    try {
        off_t start = ::lseek(fd, 0, SEEK_CUR);
        if (start < 0 && errno == ESPIPE) {
            appendStream(fd, at, size);
            size_ = at + static_cast<int64_t>(size);
            return at;
        }
        if (start < 0)
            throwSystemError("read failed", errno);
        const int64_t end = start + static_cast<int64_t>(size);
        // Only the data ranges are copied: holes stay holes.
        std::atomic<bool> kernelCopy{true};
        int64_t pos = start;
        while (pos < end) {
            off_t data = ::lseek(fd, pos, SEEK_DATA);
            if (data < 0 && errno == ENXIO)
                break; // only a hole is left
            if (data < 0)
                data = pos; // no hole support: everything is data
            if (data >= end)
                break;
            off_t hole = ::lseek(fd, data, SEEK_HOLE);
            if (hole < 0 || hole > end)
                hole = end;
            if (hole <= data)
                hole = end;
            copyRange(fd, data, fd_, at + (data - start), static_cast<uint64_t>(hole - data),
                      kernelCopy);
            pos = hole;
        }
        // The length: a hole at the end, too, belongs to the file.
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size < end)
            throw Error("the file ended early");
        if (::ftruncate(fd_, at + static_cast<int64_t>(size)) != 0 &&
            at + static_cast<int64_t>(size) > size_)
            throwSystemError("cannot write the working file", errno);
        (void)::lseek(fd, end, SEEK_SET);
    } catch (...) {
        (void)::ftruncate(fd_, size_);
        throw;
    }
    size_ = at + static_cast<int64_t>(size);
    return at;
}

void WorkFile::writeAt(int64_t offset, ByteSpan bytes) {
    if (offset < size_)
        throw Error("the working file's contents cannot be overwritten");
    writeAll(fd_, bytes.data(), bytes.size(), offset);
}

void WorkFile::appendEnd(int64_t start, uint64_t size) {
    if (start < size_)
        throw Error("the working file's contents cannot be overwritten");
    const int64_t end = start + static_cast<int64_t>(size);
    if (::ftruncate(fd_, end) != 0)
        throwSystemError("cannot write the working file", errno);
    size_ = end;
}

std::pair<uint64_t, uint64_t> WorkFile::nextData(int64_t from, int64_t to) const {
    if (from >= to)
        return {static_cast<uint64_t>(to), static_cast<uint64_t>(to)};
    off_t data = ::lseek(fd_, from, SEEK_DATA);
    if (data < 0 && errno == ENXIO)
        return {static_cast<uint64_t>(to), static_cast<uint64_t>(to)};
    if (data < 0)
        return {static_cast<uint64_t>(from), static_cast<uint64_t>(to)};
    if (data >= to)
        return {static_cast<uint64_t>(to), static_cast<uint64_t>(to)};
    off_t hole = ::lseek(fd_, data, SEEK_HOLE);
    if (hole < 0 || hole > to)
        hole = to;
    return {static_cast<uint64_t>(data), static_cast<uint64_t>(hole)};
}

void WorkFile::read(int64_t offset, MutableByteSpan dst) const {
    if (offset < 0 || offset + static_cast<int64_t>(dst.size()) > size_)
        throw Error("the working file does not hold the requested bytes");
    if (preadAll(fd_, dst, static_cast<uint64_t>(offset)) < dst.size())
        throwSystemError("cannot read the working file", errno != 0 ? errno : EIO);
}

} // namespace korvane
