#include "materialize.h"

#include "image_data.h"
#include "model/error.h"
#include "model/file_io.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

namespace korvane {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

bool allZero(ByteSpan b) {
    for (std::byte x : b)
        if (x != std::byte{0})
            return false;
    return true;
}

} // namespace

std::shared_ptr<const ImageSource> inOnePiece(std::shared_ptr<const ImageSource> src,
                                              const std::atomic<int>* cancel, uint64_t limit) {
    const uint64_t size = src->size();
    if (size == 0 || src->contiguous(0, static_cast<size_t>(size)))
        return src;
    // A sparse image may claim terabytes in a few bytes: what cannot fit is
    // refused before anything is written, not when the folder runs full.
    const std::string folder = temporaryFolder();
    uint64_t room = limit > 0 ? limit : UINT64_MAX;
    if (struct statvfs fs{}; ::statvfs(folder.c_str(), &fs) == 0)
        room = std::min<uint64_t>(room, uint64_t{fs.f_bavail} * fs.f_frsize);
    if (size > room)
        throw Error(msg("reading the image needs a copy of it in one piece (%1 MB) in %2, which "
                        "has room for %3 MB",
                        (size + (1u << 20) - 1) >> 20, folder, room >> 20));
    std::string path = folder + "/korvane-copy-XXXXXX";
    FileDescriptor fd(::mkostemp(path.data(), O_CLOEXEC));
    if (fd.get() < 0)
        throwSystemError(msg("cannot create a file in %1", folder), errno);
    struct Unlink {
        std::string path;
        ~Unlink() { ::unlink(path.c_str()); }
    } unlink{path};
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
        throwSystemError(msg("cannot write %1", path), errno);
    Bytes buffer(kStreamBuffer);
    for (uint64_t at = src->zerosUntil(0); at < size; at = src->zerosUntil(at)) {
        if (cancel && cancel->load())
            throw Error(msg("cancelled"));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
        MutableByteSpan part(buffer.data(), n);
        src->readThrough(at, part);
        if (!allZero(part)) // zeros stay a hole of the copy
            pwriteAll(fd.get(), part, at, msg("cannot write %1", path));
        at += n;
    }
    std::unique_ptr<ImageData> copy = ImageData::mapFile(path);
    return copy;
}

namespace {

class EntrySource : public ImageSource {
public:
    EntrySource(Timg& img, const TImgEntry& e) : img_(img), entry_(e), size_(img.contentSize(e)) {}
    uint64_t size() const override { return size_; }
    void read(uint64_t offset, MutableByteSpan out) const override {
        size_t got = 0;
        if (offset < size_)
            got = img_.ReadRange(entry_, offset, out);
        std::fill(out.begin() + static_cast<ptrdiff_t>(got), out.end(), std::byte{0});
    }

private:
    Timg& img_;
    TImgEntry entry_;
    uint64_t size_;
};

} // namespace

std::unique_ptr<ImageSource> entrySource(Timg& img, const TImgEntry& e) {
    return std::make_unique<EntrySource>(img, e);
}

} // namespace korvane
