// Builds YAFFS2 images chunk by chunk, in any layout, for tests and
// benchmarks: images as a writer makes them, and dumps of used partitions
// (several sequence numbers, erased and bad blocks, rewritten headers, extra
// header information in the tags, flipped bits).
#pragma once

#include "model/bytes.h"
#include "fs/yaffs2/ecc.h"
#include "fs/yaffs2/header.h"
#include "fs/yaffs2/layout.h"
#include "fs/yaffs2/tags.h"
#include "fs/yaffs2/tyaffs2obj.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::test {

class Yaffs2Builder {
public:
    explicit Yaffs2Builder(yaffs2::Layout layout = yaffs2::kDefaultLayout) : layout_(layout) {}

    // Sequence number given to the chunks appended next.
    uint32_t sequence = yaffs2::kSeqLowest;
    // Header chunks' data area around the header, and spare bytes no field
    // covers.
    std::byte dataFill{0xFF};
    std::byte spareFill{0xFF};

    // One chunk with these tags and up to a chunk's worth of data bytes (the
    // rest zero).
    void chunk(const yaffs2::PackedTags& tags, ByteSpan data);
    // A header chunk. With extraInfo the tags carry the type and parent the
    // way a filesystem writes them (chunk id bit 31).
    void header(uint32_t id, const yaffs2::ObjectHeader& h, bool extraInfo = false);
    // A data chunk holding bytes (at most a chunk's worth), with their count
    // as byte count.
    void data(uint32_t id, uint32_t chunkId, ByteSpan bytes);
    void erased(size_t count = 1);
    void zeros(size_t count = 1);

    // Writer-like objects: the header, and for a file its data chunks.
    void root(uint32_t mode = 040755, uint32_t mtime = 0);
    void dir(uint32_t id, uint32_t parent, const std::string& name, uint32_t mode = 040755);
    void file(uint32_t id, uint32_t parent, const std::string& name, ByteSpan contents,
              uint32_t mode = 0100644);
    void symlink(uint32_t id, uint32_t parent, const std::string& name, const std::string& target);
    void hardlink(uint32_t id, uint32_t parent, const std::string& name, uint32_t equivId);
    void special(uint32_t id, uint32_t parent, const std::string& name, uint32_t mode,
                 uint32_t rdev);

    // A header of the given type with times 1000/2000/3000 and owner 0.
    static yaffs2::ObjectHeader make(uint32_t type, uint32_t parent, const std::string& name,
                                     uint32_t mode);

    // Damage as worn flash shows it: one bit flipped in chunk k's record, and
    // the bad-block mark (a zero first spare byte) on chunk k.
    void flipBit(size_t k, size_t offset, unsigned bit);
    void markBad(size_t k);

    const yaffs2::Layout& layout() const { return layout_; }
    const Bytes& bytes() const { return image_; }
    Bytes& bytes() { return image_; }
    size_t chunkCount() const { return image_.size() / layout_.recordSize(); }
    void save(const std::string& path) const;

private:
    yaffs2::Layout layout_;
    Bytes image_;
};

// Opens image bytes as a YAFFS2 image, finding the layout (or with the one
// given); the scan reports to sink.
std::unique_ptr<Tyaffs2obj> openYaffs2(const Bytes& bytes, WorkSink* sink = nullptr);
std::unique_ptr<Tyaffs2obj> openYaffs2(const Bytes& bytes, const yaffs2::Layout& layout);

// Deterministic test contents: size bytes derived from seed.
Bytes pattern(size_t size, uint32_t seed);

// Every object below the root with every field a round trip must keep, one
// line each: path, type, mode, owner, size, times, link target, device
// number, hard link target, extended attributes and a hash of the contents.
std::string describeTree(Timg& img);

} // namespace korvane::test
