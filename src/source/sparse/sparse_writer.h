// Where the EXT writer puts an image's bytes: a plain image file, or an
// Android sparse image. A sparse image is built from a scratch copy of the
// plain image beside the target: the blocks never written become "don't care"
// chunks (unless the filesystem needs them zero), blocks of one repeated
// 32-bit word become fill chunks, the rest raw chunks.
#pragma once

#include "model/bytes.h"
#include "model/output_file.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

class ImageOut {
public:
    virtual ~ImageOut() = default;
    // The image's size in bytes; what is not written reads as zeros.
    virtual void resize(uint64_t size) = 0;
    virtual void writeAt(uint64_t offset, ByteSpan bytes) = 0;
    // The bytes [offset, offset + length) must read as zeros on the device
    // the image is written to, though they were never written.
    virtual void zeroed(uint64_t offset, uint64_t length) = 0;
    // Completes the file and renames it over the target. Throws Error.
    virtual void commit() = 0;
};

// A plain image at path, or an Android sparse image of blockSize blocks.
// Nothing exists at path until commit(); without it nothing is left behind.
std::unique_ptr<ImageOut> openImageOut(const std::string& path, bool sparse, uint32_t blockSize);

// A range of bytes, [begin, end).
struct DataRange {
    uint64_t begin = 0;
    uint64_t end = 0;
};

// Reads span.size() bytes of the plain image at offset into span.
using ReadImageFn = std::function<void(uint64_t offset, MutableByteSpan span)>;

// Writes the Android sparse image of a plain image of size bytes (a multiple
// of blockSize) to out: the blocks that touch `data` (sorted, not
// overlapping) are read through read and become raw or fill chunks; the
// others are "don't care", except those in `zeros` (sorted), which become
// fills of zeros.
void writeSparseImage(uint64_t size, uint32_t blockSize, const std::vector<DataRange>& data,
                      const std::vector<DataRange>& zeros, const ReadImageFn& read,
                      OutputFile& out);

} // namespace korvane
