// Where an EROFS file's bytes are: one routine per data layout that maps a
// logical offset to an extent (flat blocks and the tail inline after the
// inode, chunk block maps and indexes, and the cluster indexes of compressed
// files), all giving the same record.
#pragma once

#include "inode.h"
#include "model/image_source.h"
#include "super.h"

#include <cstdint>
#include <vector>

namespace korvane::erofs {

struct Extent {
    enum Kind : uint8_t {
        kHole,     // reads as zeros
        kRaw,      // the bytes lie at pa as they are
        kEncoded,  // a physical cluster at pa of plen bytes decodes to the extent
        kFragment, // the bytes lie in the packed inode at fragmentOff
    };
    Kind kind = kHole;
    uint64_t la = 0;   // where the extent starts in the file
    uint64_t llen = 0; // its length
    uint64_t pa = 0;   // byte offset in the image (of la for kRaw)
    uint32_t plen = 0;
    uint8_t alg = 0; // Algorithm, for kEncoded
    bool partialRef = false;
    uint16_t device = 0; // the device that holds it (0: this image)
    uint64_t fragmentOff = 0;
};

// Maps the contents of one inode. Reads what it needs of the index from
// src as it goes; every read is checked against the image. Throws Error
// saying what is wrong with the index.
class ExtentMap {
public:
    ExtentMap(const ImageSource& src, const Superblock& s, const Inode& inode);
    // The extent holding offset (offset < the inode's size): a compressed
    // file's whole extent, so that it is decoded once.
    Extent at(uint64_t offset);

private:
    struct Lcluster {
        uint8_t type = 0;
        uint32_t clusterOfs = 0;
        uint64_t pblk = 0;
        uint32_t delta0 = 0;
        uint32_t delta1 = 0;
        uint32_t compressedBlocks = 0;
        bool partialRef = false;
        uint64_t lcn = 0;
        uint64_t nextPackOff = 0;
    };

    Extent flatAt(uint64_t offset) const;
    Extent chunkAt(uint64_t offset);
    Extent compressedAt(uint64_t offset);
    void loadHeader();
    void findTail();
    Lcluster load(uint64_t lcn, bool lookahead);
    Lcluster loadFull(uint64_t lcn);
    Lcluster loadCompact(uint64_t lcn, bool lookahead);
    // The head lcluster of the extent that covers offset.
    Lcluster headFor(uint64_t offset, uint64_t* la);
    Lcluster lookback(Lcluster m, uint32_t distance);
    uint32_t compressedBlocks(const Lcluster& head);
    uint64_t extentEnd(uint64_t headLcn, uint64_t la);
    // Reads n bytes of the inode's map at offset. The records are read a
    // window at a time: mapping one extent takes several next to each other,
    // and the next extent's follow them.
    void readAt(uint64_t offset, std::byte* out, size_t n);

    const ImageSource& src_;
    const Superblock& s_;
    Inode inode_;
    // Compressed inodes.
    bool headerLoaded_ = false;
    uint16_t advise_ = 0;
    uint8_t algs_[2] = {0, 0};
    uint32_t lclusterBits_ = 12;
    uint32_t idataSize_ = 0;
    uint64_t fragmentOff_ = 0;
    bool fragment_ = false;
    bool allFragment_ = false;
    uint64_t tailHeadLcn_ = ~uint64_t{0};
    uint64_t tailInlineAt_ = 0;
    uint64_t indexBase_ = 0;
    static constexpr size_t kWindow = 4096;
    std::byte window_[kWindow];
    uint64_t windowAt_ = 0;
    size_t windowLength_ = 0;
};

} // namespace korvane::erofs

namespace korvane::erofs {

// One extent of a compressed file as the writer lays it out: its start in
// the file, the block of its physical cluster (one block), and whether the
// cluster holds the bytes uncompressed.
struct WrittenExtent {
    uint64_t la = 0;
    uint32_t blkaddr = 0;
    bool stored = false;
};

// The bytes after a compressed inode's attributes in the full index form:
// map header (LZ4, one-block clusters), padding, one record per logical
// cluster of the file's size. extents are in file order, the first at 0,
// each at least one block long except the last of a segment.
Bytes encodeFullIndex(const std::vector<WrittenExtent>& extents, uint64_t size, uint32_t blockBits);
// Its length for a file of size bytes.
uint64_t fullIndexSize(uint64_t size, uint32_t blockBits);

} // namespace korvane::erofs
