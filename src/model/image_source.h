// Where an image's bytes come from: a plain mapping of the file (ImageData),
// the chunk map of an Android sparse image, or a journal's replayed blocks over
// another source. Readers ask for bytes by offset and never learn how they are
// stored, as e2fsprogs' io managers hide theirs.
#pragma once

#include "bytes.h"
#include "message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

// A piece of a file open for reading: where some of an image's bytes are
// stored as they read.
struct FileRange {
    int fd = -1;
    uint64_t offset = 0;
    // The same bytes in a read-only mapping of the file, when it is mapped.
    const std::byte* mapped = nullptr;
};

class ImageSource {
public:
    ImageSource() = default;
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;
    virtual ~ImageSource() = default;

    // The image's length in bytes (a sparse image's expanded length).
    virtual uint64_t size() const = 0;
    // Copies the bytes at [offset, offset + out.size()) into out; what lies
    // past the end reads as zeros. Safe to call from several threads at once.
    virtual void read(uint64_t offset, MutableByteSpan out) const = 0;
    // The bytes at [offset, offset + n) when they lie in memory in one piece
    // (a mapping), otherwise nullptr; the range must lie inside size().
    virtual const std::byte* contiguous(uint64_t offset, size_t n) const {
        (void)offset;
        (void)n;
        return nullptr;
    }
    // Where [offset, offset + n) is stored as it reads, in one piece of a
    // file (for a copy the kernel makes file to file); nullopt when it is not
    // (memory, zeros of a sparse image, a journal's replayed block, spare
    // areas between pages). The range must lie inside size().
    virtual std::optional<FileRange> storedIn(uint64_t offset, uint64_t n) const {
        (void)offset;
        (void)n;
        return std::nullopt;
    }
    // Where the run of bytes from offset on that the source knows to read as
    // zeros ends (a sparse image's skipped and zero-filled chunks); offset
    // itself when it knows of none there. A copy passes over such runs.
    virtual uint64_t zerosUntil(uint64_t offset) const { return offset; }
    // Lets go of the pages of a mapping that reading made resident; they come
    // back from the page cache when read again, so pointers stay valid. A
    // walk over a large image calls it now and then, so that what it keeps
    // in memory does not grow with the image.
    virtual void releaseResident() const {}
    // read() for a walk over much of the image: a mapped file is read with
    // system calls, which leave none of its pages resident in the process.
    virtual void readThrough(uint64_t offset, MutableByteSpan out) const { read(offset, out); }
    // Bytes the image takes in its file: less than size() for a sparse image.
    virtual uint64_t storedSize() const { return size(); }
    // Facts for `info` about how the bytes are stored (label/value pairs);
    // nothing for a plain file.
    virtual std::vector<std::pair<std::string, std::string>> describe() const { return {}; }

    // Damage met while the source was opened (a bad checksum, a file cut
    // short): the image still opens, reading zeros where bytes are missing.
    const std::vector<Message>& problems() const { return problems_; }

protected:
    std::vector<Message> problems_;
};

// The bytes at [offset, offset + n): a pointer into the source's memory where
// they lie in one piece, otherwise copied into scratch (n bytes). Empty when
// the range is not wholly inside the source.
ByteSpan view(const ImageSource& src, uint64_t offset, size_t n, std::byte* scratch);

// Reads a fixed-size record (a superblock, a group of descriptors): a copy of
// the bytes, zeros past the end of the source.
Bytes readBytes(const ImageSource& src, uint64_t offset, size_t n);

} // namespace korvane
