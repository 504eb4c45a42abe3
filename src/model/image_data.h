// The bytes of an open image: a read-only mapping of a file, or a memory block
// for an image that was started from nothing.
#pragma once

#include "bytes.h"

#include <memory>
#include <string>

namespace korvane {

class ImageData {
public:
    // Maps the whole file read-only. Throws Error when the file cannot be
    // opened or mapped, or is empty.
    static std::unique_ptr<ImageData> mapFile(const std::string& path);
    static std::unique_ptr<ImageData> fromBytes(Bytes bytes);

    ImageData(const ImageData&) = delete;
    ImageData& operator=(const ImageData&) = delete;
    ~ImageData();

    const std::byte* data() const { return data_; }
    size_t size() const { return size_; }
    ByteSpan span() const { return {data_, size_}; }
    // The file's path; empty for a memory block.
    const std::string& path() const { return path_; }

private:
    ImageData() = default;

    const std::byte* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    Bytes memory_;
    std::string path_;
};

} // namespace korvane
