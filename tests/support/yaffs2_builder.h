// Builds YAFFS2 images chunk by chunk for tests and benchmarks: images as a
// writer makes them, and dumps of used partitions (several sequence numbers,
// erased blocks, rewritten headers, extra header information in the tags).
#pragma once

#include "model/bytes.h"
#include "yaffs2/tyaffs2obj.h"
#include "yaffs2/yaffs2_format.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::test {

struct Yaffs2Layout {
    size_t tagOffset = yaffs2::kTagOffsetPlain;
    yaffs2::EccKind ecc = yaffs2::kEccNone;
    bool tagEcc = true;
    std::byte dataFill{0xFF};  // header chunks' data area around the header
    std::byte spareFill{0xFF}; // spare bytes no field covers
};

class Yaffs2Builder {
public:
    explicit Yaffs2Builder(Yaffs2Layout layout = {}) : layout_(layout) {}

    // Sequence number given to the chunks appended next.
    uint32_t sequence = yaffs2::kSeqLowest;

    // One chunk with these tags and up to 2048 data bytes (the rest zero).
    void chunk(const yaffs2::PackedTags& tags, ByteSpan data);
    // A header chunk. With extraInfo the tags carry the type and parent the
    // way a filesystem writes them (chunk id bit 31).
    void header(uint32_t id, const yaffs2::ObjectHeader& h, bool extraInfo = false);
    // A data chunk holding bytes (at most 2048), with their count as byte count.
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

    const Bytes& bytes() const { return image_; }
    Bytes& bytes() { return image_; }
    size_t chunkCount() const { return image_.size() / yaffs2::kChunkSize; }
    void save(const std::string& path) const;

private:
    Yaffs2Layout layout_;
    Bytes image_;
};

// Opens image bytes as a YAFFS2 image (the scan reports to sink).
std::unique_ptr<Tyaffs2obj> openYaffs2(const Bytes& bytes, WorkSink* sink = nullptr);

// Deterministic test contents: size bytes derived from seed.
Bytes pattern(size_t size, uint32_t seed);

} // namespace korvane::test
