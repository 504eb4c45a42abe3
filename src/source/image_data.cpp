#include "image_data.h"

#include "model/error.h"
#include "model/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

std::unique_ptr<ImageData> ImageData::mapFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwSystemError(msg("cannot open %1", path), errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        throwSystemError(msg("cannot read %1", path), err);
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        ::close(fd);
        throw Error(msg("%1 is not a regular file", path));
    }
    size_t size = static_cast<size_t>(st.st_size);
    if (S_ISBLK(st.st_mode)) {
        off_t end = ::lseek(fd, 0, SEEK_END);
        size = end > 0 ? static_cast<size_t>(end) : 0;
    }
    if (size == 0) {
        ::close(fd);
        throw Error(msg("%1 is empty", path));
    }
    // No pages are made resident up front. Reads go through the descriptor;
    // the mapping serves contiguous().
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        int err = errno;
        ::close(fd);
        throwSystemError(msg("cannot map %1", path), err);
    }
    std::unique_ptr<ImageData> img(new ImageData());
    img->data_ = static_cast<const std::byte*>(p);
    img->size_ = size;
    img->mapped_ = true;
    img->fd_ = fd;
    img->path_ = path;
    img->identity_ = S_ISBLK(st.st_mode) ? FileIdentity{st.st_rdev, 0, true}
                                         : FileIdentity{st.st_dev, st.st_ino, false};
    return img;
}

std::unique_ptr<ImageData> ImageData::fromBytes(Bytes bytes) {
    std::unique_ptr<ImageData> img(new ImageData());
    img->memory_ = std::move(bytes);
    img->data_ = img->memory_.data();
    img->size_ = img->memory_.size();
    return img;
}

void ImageData::read(uint64_t offset, MutableByteSpan out) const {
    if (out.empty())
        return;
    size_t n = 0;
    if (offset < size_) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(out.size(), size_ - offset));
        if (fd_ >= 0) {
            // Through the descriptor, not the mapping: a copy out of the page
            // cache costs no more than one out of the mapping, and leaves no
            // pages resident in the process (the kernel maps a whole large
            // folio at a fault, so a header read through the mapping could
            // make megabytes resident).
            // A file that shrank, or cannot be read, gives zeros.
            n = preadAll(fd_, out.first(want), offset);
        } else {
            std::memcpy(out.data(), data_ + offset, want);
            n = want;
        }
    }
    std::memset(out.data() + n, 0, out.size() - n);
}

ByteSpan view(const ImageSource& src, uint64_t offset, size_t n, std::byte* scratch) {
    const uint64_t total = src.size();
    if (offset > total || n > total - offset)
        return {};
    if (const std::byte* p = src.contiguous(offset, n))
        return {p, n};
    src.read(offset, MutableByteSpan(scratch, n));
    return {scratch, n};
}

Bytes readBytes(const ImageSource& src, uint64_t offset, size_t n) {
    Bytes out(n);
    src.read(offset, MutableByteSpan(out));
    return out;
}

void ImageData::releaseResident() const {
    // The mapping is private and never written: dropped pages read back the
    // same from the file.
    if (mapped_)
        ::madvise(const_cast<std::byte*>(data_), size_, MADV_DONTNEED);
}

ImageData::~ImageData() {
    if (mapped_)
        ::munmap(const_cast<std::byte*>(data_), size_);
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace korvane
