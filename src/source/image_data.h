// The bytes of an open image file as they stand: a read-only mapping of the
// file, or a memory block for an image that was started from nothing.
#pragma once

#include "model/bytes.h"
#include "model/image_source.h"
#include "model/output_file.h"

#include <memory>
#include <optional>
#include <string>

namespace korvane {

class ImageData : public ImageSource {
public:
    // Maps the whole file read-only. Throws Error when the file cannot be
    // opened or mapped, or is empty.
    static std::unique_ptr<ImageData> mapFile(const std::string& path);
    static std::unique_ptr<ImageData> fromBytes(Bytes bytes);

    ~ImageData() override;

    const std::byte* data() const { return data_; }
    uint64_t size() const override { return size_; }
    ByteSpan span() const { return {data_, size_}; }
    // The file's path; empty for a memory block.
    const std::string& path() const { return path_; }
    // Which file was mapped, as it was when it was opened (saving over it is
    // saving in place whatever the spelling of the target); nullopt for a
    // memory block.
    const std::optional<FileIdentity>& identity() const { return identity_; }

    // A mapped file is read with pread (see read()); readThrough is read.
    void read(uint64_t offset, MutableByteSpan out) const override;
    void releaseResident() const override;
    std::optional<FileRange> storedIn(uint64_t offset, uint64_t n) const override {
        if (fd_ < 0 || offset > size_ || n > size_ - offset)
            return std::nullopt;
        return FileRange{fd_, offset, data_ + offset};
    }
    const std::byte* contiguous(uint64_t offset, size_t n) const override {
        return offset <= size_ && n <= size_ - offset ? data_ + offset : nullptr;
    }

private:
    ImageData() = default;

    const std::byte* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    int fd_ = -1; // of a mapped file, which read() goes through
    Bytes memory_;
    std::string path_;
    std::optional<FileIdentity> identity_;
};

} // namespace korvane
