// Planning an EXT image before it is written. EXT2/EXT3 images of the
// geometry Korvane has always written (1 KiB blocks, 8 MiB groups) are sized
// by the estimate below; every other image (ext4, other block or inode sizes,
// a given size, an image like its source) by what the tree allocates, with
// the metadata of its layout (ext_layout.h).
#pragma once

#include "blockmap.h"
#include "ext2_format.h"
#include "ext_layout.h"
#include "extent.h"
#include "model/bytes.h"
#include "model/node.h"
#include "model/timg.h"
#include "model/tree.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

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
// block (with tail, to the 12-byte entry that ends each block and holds its
// checksum). With an output buffer it writes the entries; without one it only
// measures, so planning and writing cannot disagree.
class DirectoryBuilder {
public:
    explicit DirectoryBuilder(Bytes* out = nullptr, uint32_t blockSize = kWriteBlockSize,
                              bool tail = false)
        : out_(out), blockSize_(blockSize),
          room_(blockSize - (tail ? static_cast<uint32_t>(dt::kTailSize) : 0)), tail_(tail) {}

    void add(uint32_t inode, std::string_view name, uint8_t fileType = kFtUnknown);
    // Runs the last entry to the end of its block; returns the directory's
    // size, a whole number of blocks.
    uint64_t finish();

private:
    void setRecordLength(uint64_t at, uint64_t length);
    void newBlock();

    Bytes* out_;
    uint32_t blockSize_;
    uint32_t room_; // bytes of each block the entries may use
    bool tail_;
    uint64_t size_ = 0;  // blocks begun so far, in bytes
    uint64_t end_ = 0;   // where the next entry goes
    uint64_t last_ = 0;  // the latest entry
    uint64_t limit_ = 0; // the end of the current block's entries
    bool empty_ = true;
};

// Whether the tree writer writes child (a child of the root when
// parentIsRoot): objects of no known type have no inode.
bool IsWritten(const Node& child, bool parentIsRoot);

// Every image has a lost+found folder below the root, at inode 11, of at
// least lostFoundBlocks blocks. A folder of that name in the tree becomes it,
// contents and all; without one the writer makes an empty one. A root child
// of that name that is no folder is written under a free name beside it.
const Node* TreeLostFound(const Node& root);
// The name child is written under: its own, or that free name.
std::string WrittenName(const Node& child, bool parentIsRoot);

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
uint64_t DirectoryBytes(const Node& dir, bool isRoot, uint32_t blockSize = kWriteBlockSize,
                        bool tail = false);

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
// them. fileBytes, when given, tells the bytes a file takes (what its data
// and block map allocate); extraBytes is added (attribute blocks). The caller
// refuses a plan that does not fit.
ExtPlan PlanImage(const AbsoluteIndex& tree, bool ext3,
                  const std::function<uint64_t(const Node&)>& fileBytes = {},
                  uint64_t extraBytes = 0);

// The inode of a node the tree writer writes: 2 for the root, else 11 + its
// absolute index.
inline uint64_t InodeFor(size_t absoluteIndex) {
    return absoluteIndex == 0 ? kRootIno : kGoodOldFirstIno + absoluteIndex;
}

// ---- Images sized by what the tree allocates.

// The logical blocks of e's contents that hold data: the holes of a sparse
// source stay holes.
std::vector<BlockSpan> DataSpans(Timg& img, const TImgEntry& e, uint32_t blockSize);

// Extents a run of `blocks` blocks can take at most: runs are cut at 32768
// blocks and wherever group metadata lies in the way.
uint64_t ExtentsAtMost(uint64_t blocks, uint32_t blocksPerGroup);

// What the image is to be: everything the planner and the writer need
// besides the tree.
struct ExtFormat {
    ExtKind kind = ExtKind::kExt2;
    // The EXT2/EXT3 geometry Korvane has always written, sized by PlanImage.
    bool classic = true;
    LayoutStyle style = LayoutStyle::kEveryGroup;
    uint32_t blockSize = kMinBlockSize;
    uint32_t inodeSize = kGoodOldInodeSize;
    uint32_t compat = 0;
    uint32_t incompat = 0;
    uint32_t roCompat = 0;
    uint64_t inodes = 0;     // at least this many inodes
    bool inodeRatio = false; // and one for every 16 KiB of the image
    uint64_t size = 0;       // bytes; 0: what the tree needs
    Message sizeNote;        // why a size asked for (like the source) was not kept
    std::string label;
    std::array<uint8_t, 16> uuid{};
    std::array<uint8_t, 16> hashSeed{};
    uint32_t hashFlags = 0;
    uint8_t hashVersion = 0;

    bool has(CompatFeature f) const { return (compat & f) != 0; }
    bool has(IncompatFeature f) const { return (incompat & f) != 0; }
    bool has(RoCompatFeature f) const { return (roCompat & f) != 0; }
    bool extents() const { return has(kIncompatExtents); }
    bool csum() const { return has(kRoCompatMetadataCsum); }
};

// The bytes of every block-holding object, counted as the writer allocates
// them, and the attribute blocks the tree's attribute sets share.
struct TreeCost {
    uint64_t blocks = 0; // data, folders, link targets, maps, lost+found, attribute blocks
    uint64_t inodesNeeded = kGoodOldFirstIno;
    bool largeFile = false; // a file of 2 GiB or more
    bool xattrs = false;
    // Attribute block contents (as packXattrs makes them) and how many
    // inodes use each.
    std::unordered_map<std::string, uint32_t> xattrRefs;
    // The data of each regular file whose data is not simply every block of
    // its size (holes, or less than its size), by object id, so that the
    // writer need not ask the image again; the other files take no room here.
    std::unordered_map<uint32_t, std::vector<BlockSpan>> fileSpans;
    // The names past its first of every object hard links name, by inode.
    std::unordered_map<uint32_t, uint32_t> hardLinks;

    // The logical blocks of e's data (e a regular file).
    std::vector<BlockSpan> spansOf(const TImgEntry& e, uint32_t blockSize) const;
    // The names of the inode n of an object that is no folder.
    uint32_t namesOf(uint32_t n) const {
        const auto it = hardLinks.find(n);
        return it == hardLinks.end() ? 1 : 1 + it->second;
    }
};

// The blocks lost+found takes: 12 KiB or more, 16 KiB or more where blocks
// allow, at most 12 blocks.
uint32_t LostFoundBlocks(uint32_t blockSize);

// Counts the tree as the writer of format f lays it out. Throws Error naming
// an object whose attributes do not fit.
TreeCost CostTree(Timg& img, const AbsoluteIndex& tree, const ExtFormat& f);

// The journal of an image of `blocks` blocks, as mke2fs sizes it.
uint32_t JournalBlocks(uint64_t blocks);

struct ImagePlan {
    Geometry geo;
    uint32_t lostFoundBlocks = 0;
    TreeCost cost;
};

// Sizes the image of a format that is not classic: the given size, or the
// smallest whole MiB that holds the tree. Throws Error naming the shortfall
// when the tree does not fit the given size, or the limit it would pass.
ImagePlan PlanSizedImage(const ExtFormat& f, TreeCost cost);

} // namespace korvane::ext2
