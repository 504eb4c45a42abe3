#include "image_data.h"

#include "error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

void throwSystemError(const std::string& what, int err) {
    throwSystemError(Message{what, {}}, err);
}

void throwSystemError(Message what, int err) {
    what.text += ": %" + std::to_string(what.args.size() + 1);
    what.args.push_back(std::strerror(err));
    throw Error(std::move(what));
}

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
    // Populating the page tables up front is far cheaper than taking one page
    // fault per page while the scan walks the whole file.
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    int err = errno;
    ::close(fd);
    if (p == MAP_FAILED)
        throwSystemError(msg("cannot map %1", path), err);
    std::unique_ptr<ImageData> img(new ImageData());
    img->data_ = static_cast<const std::byte*>(p);
    img->size_ = size;
    img->mapped_ = true;
    img->path_ = path;
    return img;
}

std::unique_ptr<ImageData> ImageData::fromBytes(Bytes bytes) {
    std::unique_ptr<ImageData> img(new ImageData());
    img->memory_ = std::move(bytes);
    img->data_ = img->memory_.data();
    img->size_ = img->memory_.size();
    return img;
}

ImageData::~ImageData() {
    if (mapped_)
        ::munmap(const_cast<std::byte*>(data_), size_);
}

} // namespace korvane
