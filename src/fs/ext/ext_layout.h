// Where an EXT image being written keeps its group metadata: the geometry of
// the image (block and inode sizes, counts, features) and, from it, the
// blocks of every superblock copy, descriptor table, bitmap and inode table,
// and the allocator that hands out the blocks between them.
#pragma once

#include "ext2_format.h"
#include "model/message.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::ext2 {

enum class ExtKind : uint8_t { kExt2, kExt3, kExt4 };

// "EXT2", "EXT3", "EXT4".
const char* kindName(ExtKind kind);

enum class LayoutStyle : uint8_t {
    // Every group starts with a superblock copy and a four-block descriptor
    // area (room for four blocks of descriptors), then its bitmaps and inode
    // table: the EXT2/EXT3 images of 1 KiB blocks Korvane has always written,
    // and those images with other geometry.
    kEveryGroup,
    // As mke2fs lays groups out: superblock and descriptor copies in the
    // groups sparse_super names (or in all), a descriptor table of the blocks
    // the groups need, and bitmaps and inode tables in their group or, with
    // flex_bg, packed at the start of each flex group.
    kStandard,
};

// The fixed facts of one image.
struct Geometry {
    ExtKind kind = ExtKind::kExt2;
    LayoutStyle style = LayoutStyle::kEveryGroup;
    uint32_t blockSize = kMinBlockSize;
    uint32_t inodeSize = kGoodOldInodeSize;
    uint64_t blocksCount = 0;
    uint32_t inodesPerGroup = 0;
    uint32_t compat = 0;
    uint32_t incompat = 0;
    uint32_t roCompat = 0;
    uint32_t logGroupsPerFlex = 4; // with flex_bg: 16 groups
    uint32_t journalBlocks = 0;    // with has_journal

    bool has(CompatFeature f) const { return (compat & f) != 0; }
    bool has(IncompatFeature f) const { return (incompat & f) != 0; }
    bool has(RoCompatFeature f) const { return (roCompat & f) != 0; }
    // Group descriptors carry checksums (metadata_csum or gdt_csum).
    bool groupCsums() const { return has(kRoCompatMetadataCsum) || has(kRoCompatGdtCsum); }

    uint32_t blocksPerGroup() const { return blockSize * 8; }
    uint32_t firstDataBlock() const { return blockSize == kMinBlockSize ? 1 : 0; }
    uint32_t groupCount() const;
    uint64_t inodesCount() const { return uint64_t{inodesPerGroup} * groupCount(); }
    uint32_t inodeTableBlocks() const {
        return static_cast<uint32_t>((uint64_t{inodesPerGroup} * inodeSize + blockSize - 1) /
                                     blockSize);
    }
    // Blocks of descriptors the groups need, and the blocks each copy of the
    // table takes (four for kEveryGroup, at least what is needed).
    uint32_t descriptorBlocks() const;
    uint32_t descriptorArea() const;
    uint64_t groupFirst(uint32_t g) const {
        return firstDataBlock() + uint64_t{g} * blocksPerGroup();
    }
    uint64_t groupBlocks(uint32_t g) const;
    bool groupHasSuper(uint32_t g) const;
    // Bytes of the extra inode fields and of the room for attributes after them.
    uint32_t extraIsize() const { return inodeSize > kGoodOldInodeSize ? kWrittenExtraIsize : 0; }
    uint32_t inodeXattrRoom() const {
        return inodeSize > kGoodOldInodeSize ? inodeSize - kGoodOldInodeSize - extraIsize() : 0;
    }
};

// The most groups a four-block descriptor area holds.
inline uint32_t maxEveryGroupGroups(uint32_t blockSize) {
    return 4 * blockSize / static_cast<uint32_t>(kDescSize);
}

// Blocks of the image set aside before any data: inUse ones are marked in the
// block bitmap, the others (the unused part of a descriptor area) stay free
// but are never handed out.
struct BlockRange {
    uint64_t first = 0;
    uint64_t count = 0;
    bool inUse = true;

    uint64_t end() const { return first + count; }
};

struct GroupPlace {
    uint64_t blockBitmap = 0;
    uint64_t inodeBitmap = 0;
    uint64_t inodeTable = 0;
};

class Layout {
public:
    // Places every group's metadata. When it does not fit (a group too small
    // for its own metadata, tables past the end), error() says why.
    explicit Layout(const Geometry& geo);

    const Geometry& geometry() const { return geo_; }
    const Message& error() const { return error_; }
    bool fits() const { return error_.empty(); }

    const GroupPlace& group(uint32_t g) const { return groups_[g]; }
    // Sorted, not overlapping.
    const std::vector<BlockRange>& reserved() const { return reserved_; }
    // Reserved blocks marked in use.
    uint64_t metadataBlocks() const { return metadata_; }
    // Blocks left for data, inodes' blocks and the journal.
    uint64_t freeBlocks() const { return geo_.blocksCount - geo_.firstDataBlock() - reservedAll_; }
    // Byte offset of group g's superblock copy.
    uint64_t superblockOffset(uint32_t g) const;

private:
    void reserve(uint64_t first, uint64_t count, bool inUse = true);
    uint64_t place(uint64_t hint, uint64_t count);
    void placeEveryGroup();
    void placeStandard();

    Geometry geo_;
    Message error_;
    std::vector<GroupPlace> groups_;
    std::vector<BlockRange> reserved_;
    std::vector<BlockRange> backups_; // superblock and descriptor copies (kStandard)
    uint64_t metadata_ = 0;
    uint64_t reservedAll_ = 0;
};

// Hands out blocks in order, skipping the reserved ones. Throws Error rather
// than hand out a block past the end of the image.
class BlockAllocator {
public:
    // Hands out blocks from `from` (the first data block) on.
    BlockAllocator(uint64_t blocksCount, std::vector<BlockRange> reserved, uint64_t from);
    // The EXT2/EXT3 layout of 8192-block groups with metadataBlocks blocks of
    // metadata at the head of each.
    explicit BlockAllocator(uint64_t blocksCount, uint32_t metadataBlocks = 23);

    uint32_t NextBlock();
    // The last block handed out; before the first, the block before it.
    uint32_t last() const { return static_cast<uint32_t>(cursor_); }
    // The first block this allocator hands out.
    uint64_t start() const { return start_; }

private:
    uint64_t blocksCount_;
    std::vector<BlockRange> reserved_;
    size_t next_ = 0; // the first reserved range not wholly before the cursor
    uint64_t cursor_ = 0;
    uint64_t start_ = 0;
};

} // namespace korvane::ext2
