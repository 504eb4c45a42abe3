// The working file: holds the bytes of files added from disk until the image
// is saved. Created exclusively in the temporary folder and unlinked at once,
// so it disappears with the image object even if the program is killed.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <utility>

namespace korvane {

class WorkFile {
public:
    WorkFile(); // throws Error when no temporary file can be created
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    ~WorkFile();

    // Appends bytes and returns the offset at which they begin.
    int64_t append(ByteSpan bytes);
    // Appends size bytes read from the open file fd (from its current position).
    // Returns the offset at which they begin, a multiple of 4096, so that the
    // holes of a sparse source stay holes here. Throws Error on a read or
    // write failure or when the file ends early; the working file is then cut
    // back.
    int64_t appendFrom(int fd, uint64_t size);
    // Appending contents that arrive in pieces with holes between them (an
    // archive's sparse members): appendStart() is where they will begin, a
    // multiple of 4096; writeAt() puts each piece at its place from there on;
    // appendEnd(start, size) makes the size bytes from start part of the file,
    // the bytes never written reading as zeros.
    int64_t appendStart() const { return (size_ + 4095) / 4096 * 4096; }
    void writeAt(int64_t offset, ByteSpan bytes); // offset >= size(); throws Error
    void appendEnd(int64_t start, uint64_t size); // throws Error
    // The first range of data in [from, to): {begin, end} as offsets of this
    // file; {to, to} when only holes follow.
    std::pair<uint64_t, uint64_t> nextData(int64_t from, int64_t to) const;
    // Reads dst.size() bytes at offset; throws Error if they are not there.
    void read(int64_t offset, MutableByteSpan dst) const;
    int64_t size() const { return size_; }

private:
    // Appends from a descriptor that cannot seek (a pipe), by reading.
    void appendStream(int fd, int64_t at, uint64_t size);

    int fd_ = -1;
    int64_t size_ = 0;
};

} // namespace korvane
