// Planning an EXT2/EXT3 image before it is written: the fixed geometry of the
// images Korvane writes, the bytes every object of the tree takes, the image
// size, group and inode counts, the journal size, and the allocator that hands
// out data blocks in that layout.
#pragma once

#include "ext2_format.h"
#include "model/bytes.h"
#include "model/node.h"
#include "model/tree.h"

#include <cstdint>
#include <string_view>

namespace korvane::ext2 {

// Every image Korvane writes: 1024-byte blocks, groups of 8192 blocks and 128
// inodes of 128 bytes. Each group starts with a copy of the superblock and of
// the descriptor table (four blocks, room for 128 groups), its two bitmaps and
// its inode table; its data blocks follow. Block 0 is the boot block, so group
// k begins at block k x 8192 + 1.
constexpr uint32_t kWriteBlockSize = kMinBlockSize;
constexpr uint32_t kGroupBlocks = 8192;
constexpr uint32_t kGroupInodes = 128;
constexpr uint32_t kWriteInodeSize = kGoodOldInodeSize;
constexpr uint32_t kFirstDataBlock = 1;
// A group's metadata, in blocks from its first block.
constexpr uint32_t kGroupDescriptors = 1;
constexpr uint32_t kDescriptorAreaBlocks = 4;
constexpr uint32_t kGroupBlockBitmap = 5;
constexpr uint32_t kGroupInodeBitmap = 6;
constexpr uint32_t kGroupInodeTable = 7;
constexpr uint32_t kDescriptorsPerBlock = kWriteBlockSize / kDescSize;
constexpr uint32_t kMaxGroups = kDescriptorAreaBlocks * kDescriptorsPerBlock; // 128
// A tree of more objects than 128 inodes a group hold gets more inodes in
// every group (a multiple of 8, at most what one bitmap block maps), as mke2fs
// sizes its inode tables, rather than a larger image.
constexpr uint32_t kMaxGroupInodes = kWriteBlockSize * 8;
constexpr uint32_t kMaxInodes = kMaxGroups * kMaxGroupInodes;
// 128 full groups and the boot block.
constexpr uint64_t kMaxImageSize = 0x40000400;

// The lost+found directory every image gets: the first ordinary inode, 12 blocks.
constexpr uint32_t kLostFoundIno = kGoodOldFirstIno;
constexpr uint32_t kLostFoundBlocks = 12;
constexpr std::string_view kLostFoundName = "lost+found";

// A symbolic link target shorter than this is kept in the inode's block map
// (with room for its terminating zero); longer ones take a data block.
constexpr uint64_t kFastSymlinkMax = kBlockMapSize - 1;

// The journal of an EXT3 image: 3 % of the tree in whole MiB, 1 to 8 MiB.
constexpr uint32_t kMinJournalSize = 12288;
constexpr uint32_t kMaxJournalSize = 8u << 20;

// Indirect blocks the block map of a file of dataBlocks blocks needs.
uint64_t IndirectBlocks(uint64_t dataBlocks);
// size in whole blocks plus a block for every indirect block its map needs.
uint64_t IndirectBytes(uint64_t size);

// Lays out the entries of one directory: each entry is its name's length
// raised to a multiple of 4 plus 8 bytes, entries never cross a block, and an
// entry followed by a new block, or the last one, runs to the end of its
// block. With an output buffer it writes the entries (file type 0); without
// one it only measures, so planning and writing cannot disagree.
class DirectoryBuilder {
public:
    explicit DirectoryBuilder(Bytes* out = nullptr) : out_(out) {}

    void add(uint32_t inode, std::string_view name);
    // Runs the last entry to the end of its block; returns the directory's
    // size, a whole number of blocks.
    uint64_t finish();

private:
    void setRecordLength(uint64_t at, uint64_t length);

    Bytes* out_;
    uint64_t size_ = 0; // blocks begun so far, in bytes
    uint64_t end_ = 0;  // where the next entry goes
    uint64_t last_ = 0; // the latest entry
    bool empty_ = true;
};

// Whether the tree writer writes child (a child of the root when parentIsRoot):
// a source "lost+found" directly below the root is replaced by the new one,
// and objects of no known type have no inode.
bool IsWritten(const Node& child, bool parentIsRoot);

// Calls fn(node, absoluteIndex) for every node the tree writer writes, root
// first, in tree order.
template <typename Fn>
void ForEachWritten(const AbsoluteIndex& tree, Fn&& fn) {
    if (tree.size() == 0)
        return;
    Node* root = tree.at(0);
    fn(root, size_t{0});
    for (size_t i = 1; i < tree.size();) {
        Node* n = tree.at(i);
        if (!IsWritten(*n, n->parent == root)) {
            i = tree.end(i);
            continue;
        }
        fn(n, i);
        i = n->isDirectory() ? i + 1 : tree.end(i);
    }
}

// The exact bytes of a directory's entries as the tree writer lays them out.
uint64_t DirectoryBytes(const Node& dir, bool isRoot);

// The bytes one node takes in the image, indirect blocks included.
uint64_t PlanBlocks(const Node& node, bool isRoot);

// The journal size for a tree of estimatedBytes.
uint32_t JournalSize(uint64_t estimatedBytes);
// The metadata blocks at the head of every group with inodesPerGroup inodes.
constexpr uint32_t GroupMetadataBlocks(uint32_t inodesPerGroup) {
    return kGroupInodeTable + inodesPerGroup * kWriteInodeSize / kWriteBlockSize;
}

// The image size for estimatedBytes of data: whole groups when the data fills
// them exactly, else rounded up to a whole MiB.
uint64_t ImageSize(uint64_t estimatedBytes, uint32_t inodesPerGroup = kGroupInodes);

struct ExtPlan {
    bool ext3 = false;
    uint64_t estimatedBytes = 0; // the tree, lost+found and, for EXT3, the journal
    uint32_t journalSize = 0;
    uint64_t imageSize = 0;
    uint64_t blocksCount = 0;
    uint64_t groupCount = 0;
    uint64_t inodesCount = 0;
    uint32_t inodesPerGroup = kGroupInodes;
    uint64_t inodesNeeded = 0; // the highest inode number the tree uses

    uint32_t metadataBlocks() const { return GroupMetadataBlocks(inodesPerGroup); }

    // Within the 1 GiB (128 groups) the layout has room for.
    bool sizeFits() const { return imageSize <= kMaxImageSize; }
    bool inodesFit() const { return inodesNeeded <= inodesCount; }
};

// Plans the image of the tree (tree.at(0) is the root). When the tree needs
// more inodes than 128 a group give, every group gets more; only when even
// full inode tables are too few are groups added, as long as 128 groups hold
// them. The caller refuses a plan that does not fit.
ExtPlan PlanImage(const AbsoluteIndex& tree, bool ext3);

// The inode of a node the tree writer writes: 2 for the root, else 11 + its
// absolute index.
inline uint64_t InodeFor(size_t absoluteIndex) {
    return absoluteIndex == 0 ? kRootIno : kGoodOldFirstIno + absoluteIndex;
}

// Hands out data blocks in order, skipping each group's metadata. Throws
// Error rather than hand out a block past the end of the image.
class BlockAllocator {
public:
    explicit BlockAllocator(uint64_t blocksCount,
                            uint32_t metadataBlocks = GroupMetadataBlocks(kGroupInodes))
        : blocksCount_(blocksCount), metadataBlocks_(metadataBlocks), cursor_(metadataBlocks) {}

    uint32_t NextBlock();
    // The last block handed out (the last metadata block of group 0, 23 with
    // 128 inodes a group, before the first).
    uint32_t last() const { return cursor_; }

private:
    uint64_t blocksCount_;
    uint32_t metadataBlocks_;
    uint32_t cursor_;
};

} // namespace korvane::ext2
